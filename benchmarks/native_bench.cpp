// Timing of the fused native kernel alone (no Python), per path, division mode and thread count.
//
// Build and run (same flags as the extension's Release build):
//   cmake -S . -B /tmp/native -DSOVELK_NATIVE_TESTS=ON && cmake --build /tmp/native --target native_bench
//   (the Release build of the core library, with the extension's flags)
//   /tmp/native/native_bench [repeats]
//
// Case: a 512 x 512 x 3 image, pad 9 (window 19 x 19, as sigma_s 3 gives), Gaussian spatial
// kernel with sigma 3, Gaussian range table with sigma 25.5, gray and 3-channel guidance taken
// from the image itself. Prints the best of `repeats` calls in ms and ratios. Timings on a shared
// machine are noisy: compare ratios from one run, and the CPU column when another process holds
// a core (two threads then cannot run at once, and only CPU time still says what a call costs).
//
// For comparison, OpenCV contrib's joint bilateral filter on the same kind of input, in its own
// virtual environment so the project's opencv-python-headless stays as it is:
//   python3 -m venv /tmp/cvcontrib && /tmp/cvcontrib/bin/pip install numpy opencv-contrib-python-headless
//   then, with cv2.setNumThreads(1 or 2), time on 512x512x3 uint8 `img` and its gray `gray`:
//   cv2.ximgproc.jointBilateralFilter(gray or img, img, d=19, sigmaColor=25.5, sigmaSpace=3)

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/fused_kernel.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

namespace {

struct Inputs {
    ptrdiff_t h = 512, w = 512, pad = 9;
    std::vector<int32_t> img, gray, colour;
    std::vector<double> kernel, table;
};

// Reflect-padded (edge repeated) copy, as the binding prepares it.
std::vector<int32_t> pad_reflect(const std::vector<int32_t>& src, ptrdiff_t h, ptrdiff_t w, int ch, ptrdiff_t p) {
    auto mirror = [](ptrdiff_t i, ptrdiff_t n) {
        while (i < 0 || i >= n) i = i < 0 ? -i - 1 : 2 * n - i - 1;
        return i;
    };
    const ptrdiff_t pw = w + 2 * p;
    std::vector<int32_t> out(static_cast<size_t>((h + 2 * p) * pw * ch));
    for (ptrdiff_t y = 0; y < h + 2 * p; ++y)
        for (ptrdiff_t x = 0; x < pw; ++x)
            for (int k = 0; k < ch; ++k)
                out[(y * pw + x) * ch + k] = src[(mirror(y - p, h) * w + mirror(x - p, w)) * ch + k];
    return out;
}

Inputs make_inputs() {
    Inputs in;
    std::mt19937 rng(5);
    std::vector<int32_t> img(static_cast<size_t>(in.h * in.w * 3));
    // A smooth picture with noise, so range weights vary as in a photograph.
    for (ptrdiff_t y = 0; y < in.h; ++y)
        for (ptrdiff_t x = 0; x < in.w; ++x)
            for (int k = 0; k < 3; ++k) {
                const double v = 128 + 90 * std::sin(0.02 * x * (k + 1)) * std::cos(0.015 * y) + (rng() % 40) - 20.0;
                img[(y * in.w + x) * 3 + k] = static_cast<int32_t>(std::clamp(v, 0.0, 255.0));
            }
    std::vector<int32_t> gray(static_cast<size_t>(in.h * in.w));
    for (size_t i = 0; i < gray.size(); ++i)
        gray[i] = (img[3 * i] * 299 + img[3 * i + 1] * 587 + img[3 * i + 2] * 114) / 1000;
    in.img = pad_reflect(img, in.h, in.w, 3, in.pad);
    in.colour = in.img;
    in.gray = pad_reflect(gray, in.h, in.w, 1, in.pad);
    const ptrdiff_t ws = 2 * in.pad + 1;
    for (ptrdiff_t i = 0; i < ws; ++i)
        for (ptrdiff_t j = 0; j < ws; ++j)
            in.kernel.push_back(std::exp(-double((i - 9) * (i - 9) + (j - 9) * (j - 9)) / 18.0));
    for (int d = 0; d < 256; ++d) in.table.push_back(std::exp(-double(d) * d / (2 * 25.5 * 25.5)));
    return in;
}

struct Timing {
    double wall_ms, cpu_ms;  // best wall-clock time, and the CPU time of that same call
};

double cpu_now_ms() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}

Timing time_call(const Inputs& in, bool colour, fkd::Isa isa, fkd::Division div, int threads, int repeats) {
    std::vector<double> out(static_cast<size_t>(in.h * in.w * 3));
    fk::Request q;
    q.padded_img = in.img.data();
    q.padded_guid = colour ? in.colour.data() : in.gray.data();
    q.h = in.h;
    q.w = in.w;
    q.pad = in.pad;
    q.img_ch = 3;
    q.guid_ch = colour ? 3 : 1;
    q.kernel_s = in.kernel.data();
    q.table = in.table.data();
    q.table_len = 256;
    q.out = out.data();
    Timing best{1e300, 0};
    for (int r = 0; r < repeats; ++r) {
        const double c0 = cpu_now_ms();
        const auto t0 = std::chrono::steady_clock::now();
        fkd::Options o;
        o.isa = isa;
        o.division = div;
        const fk::Result res = fkd::run_with(q, threads, [] { return false; }, o);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = cpu_now_ms() - c0;
        if (res.status != fk::Status::ok || res.fp_flags != 0) {
            std::printf("unexpected status or flags\n");
            std::exit(1);
        }
        if (ms < best.wall_ms) best = {ms, cpu};
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    const Inputs in = make_inputs();
    std::printf("512x512x3, window 19x19, best of %d calls; CPUs available: %d\n", repeats,
                fk::default_thread_count());
    std::printf("wall = elapsed ms of the best call, cpu = CPU ms that call used over all threads\n");
    std::printf("%-7s %-7s %-11s %9s %9s %9s %9s %8s\n", "guide", "path", "division", "1thr wall", "1thr cpu",
                "2thr wall", "2thr cpu", "1/2 wall");
    for (bool colour : {false, true}) {
        Timing scalar_1{0, 0}, avx2_fma_1{0, 0}, avx2_div_1{0, 0};
        for (fkd::Isa isa : {fkd::Isa::scalar, fkd::Isa::avx2, fkd::Isa::avx512}) {
            if (!fkd::isa_available(isa)) continue;
            for (fkd::Division div : {fkd::Division::real_divide, fkd::Division::automatic}) {
                if (isa == fkd::Isa::scalar && div == fkd::Division::automatic) continue;  // same code
                const Timing t1 = time_call(in, colour, isa, div, 1, repeats);
                const Timing t2 = time_call(in, colour, isa, div, 2, repeats);
                if (isa == fkd::Isa::scalar) scalar_1 = t1;
                if (isa == fkd::Isa::avx2) (div == fkd::Division::automatic ? avx2_fma_1 : avx2_div_1) = t1;
                std::printf("%-7s %-7s %-11s %9.1f %9.1f %9.1f %9.1f %7.2fx\n", colour ? "colour" : "gray",
                            fkd::isa_name(isa), div == fkd::Division::automatic ? "fma/divide" : "divide",
                            t1.wall_ms, t1.cpu_ms, t2.wall_ms, t2.cpu_ms, t1.wall_ms / t2.wall_ms);
            }
        }
        if (avx2_fma_1.cpu_ms > 0)
            std::printf("%s, 1 thread, cpu time: scalar / avx2 fma = %.2fx, avx2 divide / avx2 fma = %.2fx\n",
                        colour ? "colour" : "gray", scalar_1.cpu_ms / avx2_fma_1.cpu_ms,
                        avx2_div_1.cpu_ms / avx2_fma_1.cpu_ms);
    }
    return 0;
}
