// Timing of the fused native kernel alone (no Python): the cost per pixel and window offset, with
// the cheap pass and without it, and how many pixels still need the exact sequence.
//
// Build and run (Release, the extension's flags):
//   BUILD_DIR=/tmp/native bash tests/native/run.sh      (builds native_bench next to the tests)
//   taskset -c 1 /tmp/native/native_bench [repeats] [isa] [MHz] [division] [image ...]
// isa: scalar, avx2 or avx512 (default: the best this CPU has); MHz: the clock used to turn
// nanoseconds into cycles (default, or 0: the first "cpu MHz" line of /proc/cpuinfo); division:
// auto (default) or divide, which makes the AVX2 path use real divides only. Images: the synthetic
// scene, noise, flat, saturated or checkerboard, or photos as binary PPM (P6, 8-bit) files, for
// example written by cv2.imwrite("x.ppm", image); none names all five synthetic ones.
//
// A call costs about pixels x (a + b x offsets). Each case is timed at two window sizes (pad 3
// and pad 9: 49 and 361 offsets) on one thread, CPU time; b, the cost per pixel-offset, is the
// difference of the two divided by the pixels and the extra offsets. Cases run interleaved,
// round after round, and each keeps its fastest call, so that another process on a shared
// machine disturbs every case alike; repeat the command and compare the minimums.
//
// Each image is filtered with the 8-bit output, guided by its own gray version ("gray") and by
// itself ("self"), with the cheap pass off (the exact sequence everywhere, as before it existed:
// "exact"), with the double-precision cheap pass ("double") and with the single-precision one
// where the path has it ("single", the default). Gaussian spatial kernel (sigma pad / 3),
// Gaussian range table with sigma 25.5. "exact px" is the share of pixels whose single-precision
// value could not decide the result (every block tried); "exact blk" the share of blocks (steps
// of the single-precision pass) that ran the exact sequence, wholly or for some lanes, with
// prediction on.

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
#include "core/fused_kernel_row.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

namespace {

constexpr ptrdiff_t kSize = 512;
constexpr ptrdiff_t kPads[] = {3, 9};

struct Image {
    std::string name;
    ptrdiff_t h = 0, w = 0;
    std::vector<int32_t> rgb;  // h x w x 3
};

Image synthetic(const std::string& name) {
    Image im{name, kSize, kSize, std::vector<int32_t>(static_cast<size_t>(kSize * kSize * 3))};
    std::mt19937 rng(5);
    for (ptrdiff_t y = 0; y < kSize; ++y)
        for (ptrdiff_t x = 0; x < kSize; ++x)
            for (int k = 0; k < 3; ++k) {
                double v;
                if (name == "scene")  // smooth with noise, so range weights vary as in a photograph
                    v = 128 + 90 * std::sin(0.02 * x * (k + 1)) * std::cos(0.015 * y) + (rng() % 40) - 20.0;
                else if (name == "noise")
                    v = rng() % 256;
                else if (name == "flat")
                    v = 200;
                else if (name == "saturated")
                    v = 255;
                else  // checkerboard of 8-pixel squares
                    v = ((x / 8 + y / 8) % 2) * 255;
                im.rgb[(y * kSize + x) * 3 + k] = static_cast<int32_t>(std::clamp(v, 0.0, 255.0));
            }
    return im;
}

// A binary PPM (P6, maxval 255); exits on anything else.
Image read_ppm(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, maxval = 0;
    f >> magic >> w >> h >> maxval;
    f.get();
    if (!f || magic != "P6" || maxval != 255 || w < 1 || h < 1) {
        std::printf("%s: not an 8-bit binary PPM\n", path.c_str());
        std::exit(2);
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(w) * h * 3);
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::string name = path.substr(path.find_last_of('/') + 1);
    Image im{name.substr(0, name.find('.')), h, w, std::vector<int32_t>(bytes.begin(), bytes.end())};
    return im;
}

std::vector<uint8_t> bytes_of(const std::vector<int32_t>& values) { return {values.begin(), values.end()}; }

struct Inputs {
    ptrdiff_t h, w, pad;
    std::vector<uint8_t> img, gray;
    std::vector<double> kernel, table;
};

Inputs make_inputs(const Image& im, ptrdiff_t pad) {
    Inputs in{im.h, im.w, pad, {}, {}, {}, {}};
    std::vector<int32_t> gray(static_cast<size_t>(im.h * im.w));
    for (size_t i = 0; i < gray.size(); ++i)
        gray[i] = (im.rgb[3 * i] * 299 + im.rgb[3 * i + 1] * 587 + im.rgb[3 * i + 2] * 114) / 1000;
    in.img = bytes_of(im.rgb);
    in.gray = bytes_of(gray);
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

// One call on one thread; returns its CPU time and adds its counts to `counts`.
double time_call(const Inputs& in, bool self, fkd::Options o, std::vector<uint8_t>& out,
                 fkd::CheapPassCounters& counts) {
    // The class's 8-bit path: the caller's arrays read in place, the border mirrored as OpenCV's
    // BORDER_REFLECT pads it, numpy's clip and cast to uint8.
    const int gc = self ? 3 : 1;
    fk::FilterRequest q;
    q.image = {in.img.data(), fk::Sample::uint8, in.h, in.w, 3, in.w * 3, 3, 1};
    q.guidance = {self ? in.img.data() : in.gray.data(), fk::Sample::uint8, in.h, in.w, gc, in.w * gc, gc, 1};
    q.border = fk::Border::reflect;
    q.pad = in.pad;
    q.rows = in.h;
    q.cols = in.w;
    q.kernel_s = in.kernel.data();
    q.table = in.table.data();
    q.table_len = static_cast<ptrdiff_t>(in.table.size());
    q.out = {out.data(), fk::Sample::uint8, in.h, in.w, 3, in.w * 3, 3, 1};
    q.rounding = fk::Rounding::truncate;
    o.statistics = &counts;
    const double c0 = cpu_now_ms();
    const fk::Result res = fkd::filter_with(q, 1, [] { return false; }, o);
    const double cpu = cpu_now_ms() - c0;
    if (res.status != fk::Status::ok || res.fp_flags != 0 || res.nan_in_output) {
        std::printf("unexpected status, flags or NaN\n");
        std::exit(1);
    }
    return cpu;
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
    for (fkd::Isa isa : fkd::kEveryIsa)
        if (std::strcmp(name, fkd::isa_name(isa)) == 0) return isa;
    std::printf("unknown path %s\n", name);
    std::exit(2);
}

double share(uint64_t part, uint64_t whole) { return whole ? 100.0 * double(part) / double(whole) : 0.0; }

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const fkd::Isa isa = argc > 2 ? parse_isa(argv[2]) : fkd::best_isa();
    const double mhz = argc > 3 && std::atof(argv[3]) > 0 ? std::atof(argv[3]) : cpuinfo_mhz();
    fkd::Options base;
    base.isa = isa;
    if (argc > 4 && std::strcmp(argv[4], "divide") == 0) base.division = fkd::Division::real_divide;
    if (!fkd::isa_available(isa)) {
        std::printf("this CPU lacks the %s path\n", fkd::isa_name(isa));
        return 2;
    }
    std::vector<Image> images;
    const char* synthetic_names[] = {"scene", "noise", "flat", "saturated", "checkerboard"};
    for (int i = 5; i < argc; ++i) {
        bool named = false;
        for (const char* name : synthetic_names) named |= std::strcmp(argv[i], name) == 0;
        images.push_back(named ? synthetic(argv[i]) : read_ppm(argv[i]));
    }
    if (images.empty())
        for (const char* name : synthetic_names) images.push_back(synthetic(name));

    struct Case {
        const Image* image;
        bool self;
        Inputs inputs[2];            // per pad
        double ms[2][3];             // [pad][exact, double, single]
        fkd::CheapPassCounters every[2], predicted[2];  // per pad
    };
    std::vector<Case> cases;
    for (const Image& im : images)
        for (bool self : {false, true}) {
            Case c{&im, self, {make_inputs(im, kPads[0]), make_inputs(im, kPads[1])},
                   {{1e300, 1e300, 1e300}, {1e300, 1e300, 1e300}}, {}, {}};
            cases.push_back(std::move(c));
        }
    std::vector<uint8_t> out;
    for (Case& c : cases) {  // shares of exact pixels, every block tried, untimed
        out.resize(static_cast<size_t>(c.image->h * c.image->w * 3));
        for (int p = 0; p < 2; ++p) {
            fkd::Options o = base;
            o.cheap_pass = fkd::CheapPassMode::every_block;
            time_call(c.inputs[p], c.self, o, out, c.every[p]);
        }
    }
    for (int r = 0; r < repeats; ++r)
        for (Case& c : cases) {
            out.resize(static_cast<size_t>(c.image->h * c.image->w * 3));
            for (int p = 0; p < 2; ++p)
                for (int on = 0; on < 3; ++on) {
                    fkd::Options o = base;
                    o.cheap_pass = on ? fkd::CheapPassMode::automatic : fkd::CheapPassMode::off;
                    o.float_pass = on == 2;
                    fkd::CheapPassCounters counts;
                    const double ms = time_call(c.inputs[p], c.self, o, out, counts);
                    c.ms[p][on] = std::min(c.ms[p][on], ms);
                    if (r == 0 && on == 2) c.predicted[p] = counts;
                }
        }

    std::printf("path %s, division %s, 8-bit output, fastest of %d interleaved calls per case, one thread; "
                "clock %.0f MHz (cycles = ns x GHz)\n", fkd::isa_name(isa),
                base.division == fkd::Division::real_divide ? "divide" : "auto", repeats, mhz);
    std::printf("%-13s %-5s %9s | %8s %8s %8s | %8s %8s %8s | %6s %6s %6s | %8s %8s\n", "image", "guide", "size",
                "pad3 ms", "double", "exact", "pad9 ms", "double", "exact", "cyc/po", "double", "exact", "exact px",
                "exact blk");
    std::printf("%-13s %-5s %9s | %8s %8s %8s | %8s %8s %8s | %6s %6s %6s | %8s %8s\n", "(single)", "", "", "", "", "",
                "", "", "", "", "", "", "pad3/9 %", "pad3/9 %");
    for (const Case& c : cases) {
        const double pixels = double(c.image->h) * c.image->w;
        const double extra = double(2 * kPads[1] + 1) * (2 * kPads[1] + 1) - double(2 * kPads[0] + 1) * (2 * kPads[0] + 1);
        double cycles[3];
        for (int on = 0; on < 3; ++on) cycles[on] = (c.ms[1][on] - c.ms[0][on]) * 1e6 / (pixels * extra) * mhz * 1e-3;
        auto exact_blocks = [](const fkd::CheapPassCounters& k) {
            return share(k.exact_blocks + k.skipped_blocks, k.blocks + k.skipped_blocks);
        };
        char size[32];
        std::snprintf(size, sizeof size, "%tdx%td", c.image->w, c.image->h);
        std::printf("%-13s %-5s %9s | %8.2f %8.2f %8.2f | %8.2f %8.2f %8.2f | %6.2f %6.2f %6.2f | %.3f/%.3f %.1f/%.1f\n",
                    c.image->name.c_str(), c.self ? "self" : "gray", size, c.ms[0][2], c.ms[0][1], c.ms[0][0],
                    c.ms[1][2], c.ms[1][1], c.ms[1][0], cycles[2], cycles[1], cycles[0],
                    share(c.every[0].exact_lanes, c.every[0].lanes), share(c.every[1].exact_lanes, c.every[1].lanes),
                    exact_blocks(c.predicted[0]), exact_blocks(c.predicted[1]));
    }
    return 0;
}
