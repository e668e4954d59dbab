// Timing of the fused native kernel alone (no Python): the cost per pixel and window offset.
//
// Build and run (Release, the extension's flags):
//   BUILD_DIR=/tmp/native bash tests/native/run.sh      (builds native_bench next to the tests)
//   taskset -c 1 /tmp/native/native_bench [repeats] [isa] [MHz] [division]
// isa: scalar, avx2 or avx512 (default: the best this CPU has); MHz: the clock used to turn
// nanoseconds into cycles (default, or 0: the first "cpu MHz" line of /proc/cpuinfo); division:
// auto (default) or divide, which makes the AVX2 path use real divides only.
//
// A call costs about pixels x (a + b x offsets). Each guidance kind is timed at two window sizes
// (pad 3 and pad 9: 49 and 361 offsets) on one thread, CPU time; b, the cost per pixel-offset,
// is the difference of the two divided by the pixels and the extra offsets. Cases run
// interleaved, round after round, and each keeps its fastest call, so that another process on a
// shared machine disturbs every case alike; repeat the command and compare the minimums. Pinned
// with taskset to one CPU, the two-thread columns share it: run unpinned for those.
//
// Case: a 512 x 512 x 3 image, Gaussian spatial kernel (sigma pad / 3), Gaussian range table
// with sigma 25.5, gray and 3-channel guidance taken from the image itself.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/fused_kernel.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

namespace {

constexpr ptrdiff_t kH = 512, kW = 512;
constexpr ptrdiff_t kPads[] = {3, 9};

struct Inputs {
    ptrdiff_t pad = 0;
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

Inputs make_inputs(ptrdiff_t pad) {
    Inputs in;
    in.pad = pad;
    std::mt19937 rng(5);
    std::vector<int32_t> img(static_cast<size_t>(kH * kW * 3));
    // A smooth picture with noise, so range weights vary as in a photograph.
    for (ptrdiff_t y = 0; y < kH; ++y)
        for (ptrdiff_t x = 0; x < kW; ++x)
            for (int k = 0; k < 3; ++k) {
                const double v = 128 + 90 * std::sin(0.02 * x * (k + 1)) * std::cos(0.015 * y) + (rng() % 40) - 20.0;
                img[(y * kW + x) * 3 + k] = static_cast<int32_t>(std::clamp(v, 0.0, 255.0));
            }
    std::vector<int32_t> gray(static_cast<size_t>(kH * kW));
    for (size_t i = 0; i < gray.size(); ++i)
        gray[i] = (img[3 * i] * 299 + img[3 * i + 1] * 587 + img[3 * i + 2] * 114) / 1000;
    in.img = pad_reflect(img, kH, kW, 3, pad);
    in.colour = in.img;
    in.gray = pad_reflect(gray, kH, kW, 1, pad);
    const ptrdiff_t ws = 2 * pad + 1;
    const double sigma = pad / 3.0;
    for (ptrdiff_t i = 0; i < ws; ++i)
        for (ptrdiff_t j = 0; j < ws; ++j)
            in.kernel.push_back(
                std::exp(-double((i - pad) * (i - pad) + (j - pad) * (j - pad)) / (2 * sigma * sigma)));
    for (int d = 0; d < 256; ++d) in.table.push_back(std::exp(-double(d) * d / (2 * 25.5 * 25.5)));
    return in;
}

double cpu_now_ms() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}

struct Timing {
    double cpu_ms = 1e300;   // fastest call, CPU time over all threads
    double wall_ms = 1e300;  // fastest call, elapsed
};

// One call; keeps the minimums in `best`.
void time_call(const Inputs& in, bool colour, const fkd::Options& o, int threads, std::vector<double>& out,
               Timing& best) {
    fk::Request q;
    q.padded_img = in.img.data();
    q.padded_guid = colour ? in.colour.data() : in.gray.data();
    q.h = kH;
    q.w = kW;
    q.pad = in.pad;
    q.img_ch = 3;
    q.guid_ch = colour ? 3 : 1;
    q.kernel_s = in.kernel.data();
    q.table = in.table.data();
    q.table_len = static_cast<ptrdiff_t>(in.table.size());
    q.out = out.data();
    const double c0 = cpu_now_ms();
    const auto t0 = std::chrono::steady_clock::now();
    const fk::Result res = fkd::run_with(q, threads, [] { return false; }, o);
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_now_ms() - c0;
    if (res.status != fk::Status::ok || res.fp_flags != 0) {
        std::printf("unexpected status or flags\n");
        std::exit(1);
    }
    best.cpu_ms = std::min(best.cpu_ms, cpu);
    best.wall_ms = std::min(best.wall_ms, wall);
}

double cpuinfo_mhz() {
    std::ifstream f("/proc/cpuinfo");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("cpu MHz", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) return std::atof(line.c_str() + colon + 1);
        }
    return 0.0;
}

fkd::Isa parse_isa(const char* name) {
    for (fkd::Isa isa : {fkd::Isa::scalar, fkd::Isa::avx2, fkd::Isa::avx512})
        if (std::strcmp(name, fkd::isa_name(isa)) == 0) return isa;
    std::printf("unknown path %s\n", name);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const fkd::Isa isa = argc > 2 ? parse_isa(argv[2]) : fkd::best_isa();
    const double mhz = argc > 3 && std::atof(argv[3]) > 0 ? std::atof(argv[3]) : cpuinfo_mhz();
    fkd::Options o;
    o.isa = isa;
    if (argc > 4 && std::strcmp(argv[4], "divide") == 0) o.division = fkd::Division::real_divide;
    if (!fkd::isa_available(isa)) {
        std::printf("this CPU lacks the %s path\n", fkd::isa_name(isa));
        return 2;
    }
    std::vector<Inputs> inputs;
    for (ptrdiff_t pad : kPads) inputs.push_back(make_inputs(pad));
    std::vector<double> out(static_cast<size_t>(kH * kW * 3));

    // [colour][pad index][threads - 1]
    Timing t[2][2][2];
    for (int r = 0; r < repeats; ++r)
        for (int colour = 0; colour < 2; ++colour)
            for (size_t p = 0; p < inputs.size(); ++p)
                for (int threads = 1; threads <= 2; ++threads)
                    time_call(inputs[p], colour != 0, o, threads, out, t[colour][p][threads - 1]);

    std::printf("%tdx%tdx3 image, path %s, division %s, fastest of %d interleaved calls per case; clock %.0f MHz "
                "(cycles = ns x GHz)\n", kH, kW, fkd::isa_name(isa),
                o.division == fkd::Division::real_divide ? "divide" : "auto", repeats, mhz);
    std::printf("%-7s %5s %13s %13s %13s\n", "guide", "pad", "1 thr cpu ms", "2 thr wall ms", "2 thr cpu ms");
    for (int colour = 0; colour < 2; ++colour)
        for (size_t p = 0; p < inputs.size(); ++p)
            std::printf("%-7s %5td %13.2f %13.2f %13.2f\n", colour ? "colour" : "gray", kPads[p],
                        t[colour][p][0].cpu_ms, t[colour][p][1].wall_ms, t[colour][p][1].cpu_ms);
    const double pixels = double(kH) * kW;
    const double n_small = double(2 * kPads[0] + 1) * (2 * kPads[0] + 1);
    const double n_large = double(2 * kPads[1] + 1) * (2 * kPads[1] + 1);
    for (int colour = 0; colour < 2; ++colour) {
        const double small = t[colour][0][0].cpu_ms, large = t[colour][1][0].cpu_ms;
        const double per_offset_ns = (large - small) * 1e6 / (pixels * (n_large - n_small));
        const double per_pixel_ns = small * 1e6 / pixels - per_offset_ns * n_small;
        std::printf("%-7s per pixel-offset: %.3f ns = %.2f cycles; fixed per pixel: %.1f ns (1 thread)\n",
                    colour ? "colour" : "gray", per_offset_ns, per_offset_ns * mhz * 1e-3, per_pixel_ns);
    }
    return 0;
}
