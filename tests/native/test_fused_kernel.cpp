// Tests of the fused native kernel against a plain scalar model of the filter arithmetic.
// Build and run: tests/native/run.sh   (optional argument: random seed)
//
// The model below is written straight from the per-pixel arithmetic of the numpy statements:
// range weight = table[|g - g_centre|] multiplied channel by channel, weight = spatial * range,
// sum from +0.0 in offset order, output = sum from +0.0 of (weight / sum) * pixel. Results must
// match bit for bit (any NaN matches any NaN: payloads depend on operand order, which compilers
// may swap for commutative operations, and the uint8 cast maps every NaN alike), and the
// floating-point events raised must be the same.

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "core/fused_kernel.hpp"
#include "check.hpp"
#include "padded_request.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

namespace {

constexpr int kReported = FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW;

using sovelk::testing::check;

#if defined(__aarch64__)
// The floating-point control register: its flush-to-zero bit has no <cfenv> interface.
uint64_t fpcr() {
    uint64_t v;
    __asm__ volatile("mrs %0, fpcr" : "=r"(v));
    return v;
}
void set_fpcr(uint64_t v) { __asm__ volatile("msr fpcr, %0" : : "r"(v)); }
#endif

std::string flag_names(int f) {
    std::string s;
    if (f & FE_DIVBYZERO) s += "divbyzero ";
    if (f & FE_OVERFLOW) s += "overflow ";
    if (f & FE_INVALID) s += "invalid ";
    if (f & FE_UNDERFLOW) s += "underflow ";
    return s.empty() ? "none" : s;
}

struct Case {
    ptrdiff_t h = 0, w = 0, pad = 0;
    int img_ch = 1, guid_ch = 1;
    std::vector<int32_t> img, guid;  // padded, interleaved
    std::vector<double> kernel, table;
    std::string label;

    ptrdiff_t ws() const { return 2 * pad + 1; }
    ptrdiff_t pw() const { return w + 2 * pad; }
    ptrdiff_t ph() const { return h + 2 * pad; }
    fk::testing::Padded padded() const {
        fk::testing::Padded p;
        p.img = img.data();
        p.guid = guid.data();
        p.h = h;
        p.w = w;
        p.pad = pad;
        p.img_ch = img_ch;
        p.guid_ch = guid_ch;
        p.kernel_s = kernel.data();
        p.table = table.data();
        p.table_len = static_cast<ptrdiff_t>(table.size());
        return p;
    }
    fk::FilterRequest request(double* out) const { return padded().request(out); }
    fk::FilterRequest request_u8(uint8_t* out) const { return padded().request_u8(out); }
};

struct Outcome {
    std::vector<double> out;
    int flags = 0;
};

// The model, one pixel at a time, in the caller's floating-point environment.
Outcome model(const Case& c) {
    const ptrdiff_t ws = c.ws(), n = ws * ws, pw = c.pw();
    Outcome o;
    o.out.assign(static_cast<size_t>(c.h * c.w * c.img_ch), 0.0);
    std::vector<double> weight(static_cast<size_t>(n));
    std::feclearexcept(FE_ALL_EXCEPT);
    for (ptrdiff_t r = 0; r < c.h; ++r) {
        for (ptrdiff_t col = 0; col < c.w; ++col) {
            const int32_t* centre = &c.guid[((r + c.pad) * pw + col + c.pad) * c.guid_ch];
            for (ptrdiff_t i = 0; i < n; ++i) {
                const ptrdiff_t ox = i / ws, oy = i % ws;
                const int32_t* g = &c.guid[((r + ox) * pw + col + oy) * c.guid_ch];
                double range = 0.0;
                for (int k = 0; k < c.guid_ch; ++k) {
                    const double d = std::fabs(static_cast<double>(g[k]) - static_cast<double>(centre[k]));
                    const double t = c.table[static_cast<size_t>(d)];
                    range = k == 0 ? t : range * t;
                }
                weight[i] = c.kernel[i] * range;
            }
            double sum = 0.0;
            for (ptrdiff_t i = 0; i < n; ++i) sum = sum + weight[i];
            for (int k = 0; k < c.img_ch; ++k) {
                double acc = 0.0;
                for (ptrdiff_t i = 0; i < n; ++i) {
                    const ptrdiff_t ox = i / ws, oy = i % ws;
                    const double p = c.img[((r + ox) * pw + col + oy) * c.img_ch + k];
                    acc = acc + (weight[i] / sum) * p;
                }
                o.out[(r * c.w + col) * c.img_ch + k] = acc;
            }
        }
    }
    o.flags = std::fetestexcept(kReported);
    std::feclearexcept(FE_ALL_EXCEPT);
    return o;
}

// Index of the first differing value, or -1. Any NaN equals any NaN; otherwise bits must agree
// (this also tells +0.0 from -0.0).
ptrdiff_t first_difference(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return static_cast<ptrdiff_t>(i);
    }
    return -1;
}

// ---- random inputs -------------------------------------------------------------------------

using Rng = std::mt19937_64;

int pick(Rng& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
double uniform(Rng& rng, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }

// A value a caller might assign into a kernel or a table, bad ones included.
double odd_value(Rng& rng) {
    switch (pick(rng, 0, 11)) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return std::numeric_limits<double>::quiet_NaN();
        case 3: return std::numeric_limits<double>::infinity();
        case 4: return -std::numeric_limits<double>::infinity();
        case 5: return std::numeric_limits<double>::denorm_min() * pick(rng, 1, 1 << 20);
        case 6: return -uniform(rng, 0.0, 2.0);
        case 7: return uniform(rng, 1e290, 1e300);
        case 8: return uniform(rng, 1e-300, 1e-290);
        case 9: return std::ldexp(1.0, pick(rng, -1000, -900));
        case 10: return std::numeric_limits<double>::max();
        default: return uniform(rng, 0.0, 1.0);
    }
}

std::vector<double> gaussian_table(size_t n, double sigma) {
    std::vector<double> t(n);
    for (size_t i = 0; i < n; ++i) t[i] = std::exp(-double(i) * double(i) / (2.0 * sigma * sigma));
    return t;
}

std::vector<double> gaussian_kernel(ptrdiff_t pad, double sigma) {
    const ptrdiff_t ws = 2 * pad + 1;
    std::vector<double> k(static_cast<size_t>(ws * ws));
    for (ptrdiff_t i = 0; i < ws; ++i)
        for (ptrdiff_t j = 0; j < ws; ++j)
            k[i * ws + j] = std::exp(-double((i - pad) * (i - pad) + (j - pad) * (j - pad)) / (2.0 * sigma * sigma));
    return k;
}

// odds: chance that an entry is replaced by an odd value.
void sprinkle(Rng& rng, std::vector<double>& v, double odds) {
    for (double& x : v)
        if (uniform(rng, 0.0, 1.0) < odds) x = odd_value(rng);
}

Case random_case(Rng& rng) {
    Case c;
    c.h = pick(rng, 1, 3) == 1 ? pick(rng, 1, 80) : pick(rng, 1, 24);
    c.w = pick(rng, 1, 3) == 1 ? pick(rng, 1, 80) : pick(rng, 1, 24);
    c.pad = pick(rng, 0, 5);
    static const int img_choices[] = {1, 2, 3, 4, 5, 1, 3, 3, 6, 9};
    c.img_ch = img_choices[pick(rng, 0, 9)];
    c.guid_ch = pick(rng, 0, 9) == 0 ? 5 : pick(rng, 1, 4);

    // Guidance: mostly 8-bit values; sometimes a narrow band anywhere in int32, near its limits
    // too, so that differences are taken of large and negative values.
    int32_t lo = 0, hi = 255;
    switch (pick(rng, 0, 5)) {
        case 0: lo = 0; hi = pick(rng, 0, 3); break;
        case 1: {
            const int32_t band = pick(rng, 0, 400);
            lo = pick(rng, 0, 1) ? std::numeric_limits<int32_t>::max() - band
                                 : std::numeric_limits<int32_t>::min();
            hi = lo + band;
            break;
        }
        case 2: lo = -pick(rng, 0, 300); hi = lo + pick(rng, 0, 300); break;
        default: break;
    }
    const ptrdiff_t cells = c.ph() * c.pw();
    c.guid.resize(static_cast<size_t>(cells * c.guid_ch));
    std::uniform_int_distribution<int32_t> gdist(lo, hi);
    for (auto& v : c.guid) v = gdist(rng);
    c.img.resize(static_cast<size_t>(cells * c.img_ch));
    if (pick(rng, 0, 4) == 0) {
        std::uniform_int_distribution<int32_t> wide(std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max());
        for (auto& v : c.img) v = wide(rng);
    } else {
        std::uniform_int_distribution<int32_t> byte(0, 255);
        for (auto& v : c.img) v = byte(rng);
    }

    const auto [lowest, highest] = std::minmax_element(c.guid.begin(), c.guid.end());
    const size_t span = static_cast<size_t>(static_cast<int64_t>(*highest) - *lowest);
    const size_t len = span + 1 + static_cast<size_t>(pick(rng, 0, 3) == 0 ? pick(rng, 0, 50) : 0);
    c.table = gaussian_table(len, pick(rng, 0, 3) == 0 ? uniform(rng, 0.2, 3.0) : uniform(rng, 5.0, 60.0));
    c.kernel = gaussian_kernel(c.pad, uniform(rng, 0.5, 4.0));
    switch (pick(rng, 0, 5)) {  // how much of the tables a caller has replaced
        case 0: sprinkle(rng, c.table, 0.05); break;
        case 1: sprinkle(rng, c.kernel, 0.05); break;
        case 2: sprinkle(rng, c.table, 0.3); sprinkle(rng, c.kernel, 0.3); break;
        case 3: for (double& x : c.table) x = -x; break;
        default: break;
    }
    char label[160];
    std::snprintf(label, sizeof label, "h=%td w=%td pad=%td img_ch=%d guid_ch=%d guid=[%d,%d] table_len=%zu",
                  c.h, c.w, c.pad, c.img_ch, c.guid_ch, lo, hi, len);
    c.label = label;
    return c;
}

std::vector<fkd::Isa> available_isas() {
    std::vector<fkd::Isa> v;
    for (fkd::Isa isa : fkd::kEveryIsa)
        if (fkd::isa_available(isa)) v.push_back(isa);
    return v;
}

const std::function<bool()> kNeverCancel = [] { return false; };

fkd::Options options(fkd::Isa isa, fkd::Division div) {
    fkd::Options o;
    o.isa = isa;
    o.division = div;
    return o;
}

// Runs one path and compares with the model's outcome; also checks the inputs are untouched.
void compare_path(const Case& c, const Outcome& expected, const fkd::Options& o, int threads,
                  const std::string& context) {
    const Case before = c;
    std::vector<double> out(expected.out.size(), -12345.0);
    const fk::Result res = fkd::filter_with(c.request(out.data()), threads, kNeverCancel, o);
    char where[96];
    std::snprintf(where, sizeof where, " [%s, %s, %d threads]", fkd::isa_name(o.isa),
                  o.division == fkd::Division::automatic ? "fma/divide" : "divide", threads);
    const std::string tag = context + " " + c.label + where;
    if (res.status != fk::Status::ok) {
        check(false, tag + ": status not ok");
        return;
    }
    const ptrdiff_t diff = first_difference(out, expected.out);
    if (diff >= 0) {
        char msg[128];
        std::snprintf(msg, sizeof msg, ": value %td is %.17g, model %.17g", diff, out[diff], expected.out[diff]);
        check(false, tag + msg);
    } else if (res.fp_flags != expected.flags) {
        check(false, tag + ": flags " + flag_names(res.fp_flags) + "vs model " + flag_names(expected.flags));
    } else if (before.img != c.img || before.guid != c.guid ||
               std::memcmp(before.kernel.data(), c.kernel.data(), c.kernel.size() * 8) != 0 ||
               std::memcmp(before.table.data(), c.table.data(), c.table.size() * 8) != 0) {
        check(false, tag + ": an input buffer changed");
    } else {
        check(true, tag);
    }
}

// A gray-guided three-channel case with the usual Gaussian kernel and table.
Case large_case(ptrdiff_t h, ptrdiff_t w, ptrdiff_t pad) {
    Case c;
    c.h = h;
    c.w = w;
    c.pad = pad;
    c.img_ch = 3;
    c.guid_ch = 1;
    c.img.assign(static_cast<size_t>(c.ph() * c.pw() * 3), 100);
    c.guid.assign(static_cast<size_t>(c.ph() * c.pw()), 50);
    c.kernel = gaussian_kernel(pad, pad / 3.0);
    c.table = gaussian_table(256, 25.5);
    return c;
}

// ---- groups of tests -------------------------------------------------------------------------

// Random shapes, tables and kernels through every path, division mode and thread count.
void test_random_cases(Rng& rng, int count) {
    const auto isas = available_isas();
    for (int n = 0; n < count; ++n) {
        const Case c = random_case(rng);
        const Outcome expected = model(c);
        for (fkd::Isa isa : isas)
            for (fkd::Division div : {fkd::Division::automatic, fkd::Division::real_divide})
                compare_path(c, expected, options(isa, div), pick(rng, 1, 3), "random");
        // The public entry point with the default path.
        std::vector<double> out(expected.out.size());
        const fk::Result res = fk::filter(c.request(out.data()), pick(rng, 1, 3), kNeverCancel);
        check(res.status == fk::Status::ok && first_difference(out, expected.out) < 0 &&
                  res.fp_flags == expected.flags,
              "filter() " + c.label);
    }
}

// The same output whatever the number of threads, on an image with many rows, also when no
// worker thread is started and the calling thread filters alone.
void test_thread_counts(Rng& rng) {
    Case c;
    do {
        c = random_case(rng);
    } while (c.h < 20);
    const Outcome expected = model(c);
    for (int threads : {1, 2, 3, 7, 1000, 0, -5})
        compare_path(c, expected, fkd::Options{}, threads, "threads");
    fkd::Options inline_run;
    inline_run.on_calling_thread = true;
    compare_path(c, expected, inline_run, 2, "calling thread alone");
}

// Typical filter settings: 8-bit guidance, Gaussian kernel and table. No event is expected, and
// none may be reported, or every call would take the slow path.
void test_typical_inputs_raise_nothing(Rng& rng) {
    for (int guid_ch : {1, 3}) {
        Case c;
        c.h = 37;
        c.w = 45;
        c.pad = 3;
        c.img_ch = 3;
        c.guid_ch = guid_ch;
        c.img.resize(static_cast<size_t>(c.ph() * c.pw() * 3));
        c.guid.resize(static_cast<size_t>(c.ph() * c.pw() * guid_ch));
        for (auto& v : c.img) v = pick(rng, 0, 255);
        for (auto& v : c.guid) v = pick(rng, 0, 255);
        c.kernel = gaussian_kernel(c.pad, 1.0);
        c.table = gaussian_table(256, 25.5);
        c.label = "typical guid_ch=" + std::to_string(guid_ch);
        const Outcome expected = model(c);
        check(expected.flags == 0, c.label + ": model raises " + flag_names(expected.flags));
        for (fkd::Isa isa : available_isas())
            compare_path(c, expected, options(isa, fkd::Division::automatic), 2, "typical");
    }
}

// Each reportable event, provoked on purpose; the model must raise it and every path report it.
// The guidance alternates 0, 1 along a row, so in a 3x3 window the middle column (offsets with
// oy == 1) has difference 0 and the outer columns difference 1.
void test_each_event_is_reported() {
    struct Provocation {
        const char* name;
        int flag;
        std::vector<double> table;  // entries for difference 0 and 1
        double middle, outer;       // spatial weight of the middle and of the outer columns
    };
    const Provocation cases[] = {
        // 3 weights of 2 and 6 of -1: the sum is exactly 0 and weight / 0 follows
        {"divide by zero", FE_DIVBYZERO, {1.0, -1.0}, 2.0, 1.0},
        // every weight 0: 0 / 0
        {"invalid", FE_INVALID, {0.0, 0.0}, 1.0, 1.0},
        {"overflow", FE_OVERFLOW, {1e300, 1e300}, 1e300, 1e300},
        {"underflow", FE_UNDERFLOW, {1e-300, 1e-300}, 1e-300, 1e-300},
    };
    for (const auto& p : cases) {
        Case c;
        c.h = 6;
        c.w = 11;
        c.pad = 1;
        c.img_ch = 2;
        c.guid_ch = 1;
        c.img.assign(static_cast<size_t>(c.ph() * c.pw() * 2), 7);
        c.guid.resize(static_cast<size_t>(c.ph() * c.pw()));
        for (ptrdiff_t y = 0; y < c.ph(); ++y)
            for (ptrdiff_t x = 0; x < c.pw(); ++x) c.guid[y * c.pw() + x] = static_cast<int32_t>(x % 2);
        c.table = p.table;
        c.kernel.resize(9);
        for (int i = 0; i < 9; ++i) c.kernel[i] = i % 3 == 1 ? p.middle : p.outer;
        c.label = p.name;
        const Outcome expected = model(c);
        check((expected.flags & p.flag) != 0,
              std::string(p.name) + ": the model raises it (" + flag_names(expected.flags) + ")");
        for (fkd::Isa isa : available_isas())
            for (fkd::Division div : {fkd::Division::automatic, fkd::Division::real_divide})
                compare_path(c, expected, options(isa, div), 2, "event");
    }
}

// Regression: the FMA quotient is only exact for dividends of at least about 2^-960. These pairs
// (found by search) give a last-bit error or a spurious underflow with it, so a kernel holding
// such a weight must make every path divide for real. One weight a at offset 0 and b at the
// centre: the sum rounds to b, and with image 1 at offset 0 and 0 elsewhere the output is a / b.
void test_tiny_weights_are_divided_exactly() {
    const double pairs[][2] = {
        {0x0.000000019aeb5p-1022, 0x1.9986866030dfcp-19},  // FMA result one ulp off
        {0x0.00001d7e3d96ep-1022, 0x1.910594c5d9c2cp-20},  // FMA raises underflow, divide not
    };
    for (const auto& ab : pairs) {
        Case c;
        c.h = 1;
        c.w = 9;
        c.pad = 1;
        c.img_ch = 1;
        c.guid_ch = 1;
        c.guid.assign(static_cast<size_t>(c.ph() * c.pw()), 0);
        c.img.assign(static_cast<size_t>(c.ph() * c.pw()), 0);
        for (ptrdiff_t x = 0; x < c.pw(); ++x) c.img[x] = 1;  // padded row 0
        c.table = {1.0};
        c.kernel.assign(9, 0.0);
        c.kernel[0] = ab[0];
        c.kernel[4] = ab[1];
        c.label = "tiny weight";
        const Outcome expected = model(c);
        check(expected.out[0] == ab[0] / ab[1], "tiny weight: the model's output is a / b");
        for (fkd::Isa isa : available_isas())
            for (fkd::Division div : {fkd::Division::automatic, fkd::Division::real_divide})
                compare_path(c, expected, options(isa, div), 1, "tiny");
    }
}

// A caller's table too large to fold (span above 2^24) is refused before anything is written:
// the caller runs its statements instead.
void test_huge_table(Rng& rng) {
    Case c;
    c.h = 3;
    c.w = 10;
    c.pad = 1;
    c.img_ch = 2;
    c.guid_ch = 1;
    c.img.resize(static_cast<size_t>(c.ph() * c.pw() * 2));
    for (auto& v : c.img) v = pick(rng, 0, 255);
    const int32_t far = (1 << 24) + 5;
    c.guid.resize(static_cast<size_t>(c.ph() * c.pw()));
    for (auto& v : c.guid) v = pick(rng, 0, 3) == 0 ? far - pick(rng, 0, 2) : pick(rng, 0, 2);
    c.guid[0] = 0;
    c.guid[1] = far;
    c.table.resize(static_cast<size_t>(far) + 1);
    for (size_t i = 0; i < c.table.size(); ++i) c.table[i] = 1.0 / double(1 + (i % 1000));
    c.kernel = gaussian_kernel(1, 1.0);
    c.label = "huge table";
    std::vector<double> out(static_cast<size_t>(c.h * c.w * c.img_ch), -1.0);
    for (fkd::Isa isa : available_isas()) {
        const fk::Result res = fkd::filter_with(c.request(out.data()), 2, kNeverCancel, options(isa, fkd::Division::automatic));
        check(res.status == fk::Status::invalid_argument && out[0] == -1.0,
              std::string("huge table refused [") + fkd::isa_name(isa) + "]");
    }
}

// Guidance of 2 to 4 channels is cached as 16-bit fields per channel when its span is below
// 2^15. At the largest such span the differences -span and +span must still find their table
// entries, without a carry or borrow leaking into the next channel's field; one more takes the
// general layout. Values sit mostly at the two ends of the span, and neighbouring table entries
// differ, so an index off by one changes the result.
void test_packed_guidance_limits(Rng& rng) {
    for (int32_t span : {32767, 32768}) {
        for (int gc : {2, 3, 4}) {
            Case c;
            c.h = 5;
            c.w = 19;
            c.pad = 2;
            c.img_ch = 2;
            c.guid_ch = gc;
            const int32_t lo = gc == 3 ? std::numeric_limits<int32_t>::max() - span : -1000;
            c.guid.resize(static_cast<size_t>(c.ph() * c.pw() * gc));
            for (auto& v : c.guid) {
                const int which = pick(rng, 0, 2);
                v = which == 0 ? lo : which == 1 ? lo + span : lo + pick(rng, 0, span);
            }
            c.guid[0] = lo;
            c.guid[1] = lo + span;
            c.img.resize(static_cast<size_t>(c.ph() * c.pw() * 2));
            for (auto& v : c.img) v = pick(rng, 0, 255);
            c.table.resize(static_cast<size_t>(span) + 1);
            for (size_t i = 0; i < c.table.size(); ++i) c.table[i] = 1.0 / double(1 + (i % 1000));
            c.kernel = gaussian_kernel(c.pad, 1.5);
            c.label = "packed limits span=" + std::to_string(span) + " guid_ch=" + std::to_string(gc);
            const Outcome expected = model(c);
            for (fkd::Isa isa : available_isas())
                compare_path(c, expected, options(isa, fkd::Division::automatic), 1, "packed");
        }
    }
}

// Workers use the caller's rounding mode and flush-to-zero setting, like numpy on the calling
// thread would. The FMA quotient assumes round-to-nearest, so it must step aside here.
void test_caller_environment(Rng& rng) {
    struct Mode {
        const char* name;
        int rounding;
        unsigned mxcsr_extra;  // on ARM, FPCR bits
    };
    std::vector<Mode> modes = {{"upward", FE_UPWARD, 0},
                               {"downward", FE_DOWNWARD, 0},
                               {"toward zero", FE_TOWARDZERO, 0}};
#if defined(__x86_64__)
    modes.push_back({"flush to zero + denormals are zero", FE_TONEAREST, 0x8040u});
#elif defined(__aarch64__)
    modes.push_back({"flush to zero (FPCR.FZ)", FE_TONEAREST, 1u << 24});
#endif
    for (const Mode& m : modes) {
        for (int n = 0; n < 6; ++n) {
            Case c = random_case(rng);
            if (n % 2 == 0) sprinkle(rng, c.table, 0.2);  // subnormals matter under FTZ/DAZ
            fenv_t saved;
            std::fegetenv(&saved);
            std::fesetround(m.rounding);
#if defined(__x86_64__)
            _mm_setcsr(_mm_getcsr() | m.mxcsr_extra);
#elif defined(__aarch64__)
            set_fpcr(fpcr() | m.mxcsr_extra);
#endif
            const Outcome expected = model(c);
            for (fkd::Isa isa : available_isas())
                compare_path(c, expected, options(isa, fkd::Division::automatic), 2, std::string("env ") + m.name);
            std::fesetenv(&saved);
        }
    }
    // And the caller's environment, flags included, is as it was after a call.
    Case c = large_case(7, 9, 1);
    c.table.assign(c.table.size(), 0.0);  // every weight 0: 0 / 0, invalid raised in the workers
    std::feclearexcept(FE_ALL_EXCEPT);
    std::fesetround(FE_DOWNWARD);
    std::vector<double> out(static_cast<size_t>(c.h * c.w * c.img_ch));
    const fk::Result res = fk::filter(c.request(out.data()), 2, kNeverCancel);
    const bool env_kept = std::fegetround() == FE_DOWNWARD && std::fetestexcept(FE_ALL_EXCEPT) == 0;
    std::fesetround(FE_TONEAREST);
    check(res.status == fk::Status::ok && (res.fp_flags & FE_INVALID) && env_kept,
          "caller's environment untouched, events reported in the result");
}

// A caller may unmask the denormal-operand exception (MXCSR bit 8), which glibc's
// fedisableexcept leaves alone: subnormal table entries then trapped in the workers (SIGFPE). No
// step of a call may trap, on any path or thread: the results and flags are those of the default
// environment.
void test_unmasked_denormal_operand_never_traps(Rng& rng) {
#if defined(__x86_64__)
    Case c = large_case(30, 70, 2);
    for (auto& v : c.img) v = pick(rng, 0, 255);
    for (auto& v : c.guid) v = pick(rng, 0, 255);
    c.table = gaussian_table(256, 3.0);  // entries 112 to 116 are subnormal
    c.label = "subnormal table, denormal-operand exception unmasked";
    struct Run {
        std::vector<double> sums;
        std::vector<uint8_t> bytes;
        int flags = 0;
        bool ok = true;
    };
    auto run_all = [&c](fkd::Isa isa, bool calling_thread) {
        Run r;
        fkd::Options o = options(isa, fkd::Division::automatic);
        o.on_calling_thread = calling_thread;
        r.sums.assign(static_cast<size_t>(c.h * c.w * c.img_ch), 0.0);
        r.bytes.assign(r.sums.size(), 0);
        const fk::FilterRequest sums = c.request(r.sums.data());
        const fk::FilterRequest bytes = c.request_u8(r.bytes.data());
        const fk::Result a = fkd::filter_with(sums, 2, kNeverCancel, o);
        const fk::Result b = fkd::filter_with(bytes, 2, kNeverCancel, o);
        r.ok = a.status == fk::Status::ok && b.status == fk::Status::ok;
        r.flags = a.fp_flags | b.fp_flags << 8;
        return r;
    };
    for (fkd::Isa isa : available_isas()) {
        for (bool calling_thread : {false, true}) {
            const Run expected = run_all(isa, calling_thread);
            fenv_t saved;
            std::fegetenv(&saved);
            _mm_setcsr(_mm_getcsr() & ~(1u << 8));
            const Run got = run_all(isa, calling_thread);
            std::fesetenv(&saved);
            const bool same = got.ok && expected.ok && got.flags == expected.flags &&
                              std::memcmp(got.sums.data(), expected.sums.data(), got.sums.size() * 8) == 0 &&
                              got.bytes == expected.bytes;
            check(same, c.label + " [" + fkd::isa_name(isa) + (calling_thread ? ", calling thread]" : "]"));
        }
    }
#else
    (void)rng;
#endif
}

// Bad requests are refused without touching `out`.
void test_invalid_requests() {
    Case c;
    c.h = 4;
    c.w = 5;
    c.pad = 1;
    c.img_ch = 3;
    c.guid_ch = 1;
    c.img.assign(static_cast<size_t>(c.ph() * c.pw() * 3), 1);
    c.guid.assign(static_cast<size_t>(c.ph() * c.pw()), 0);
    c.guid[7] = 10;  // span 10
    c.kernel = gaussian_kernel(1, 1.0);
    c.table = gaussian_table(11, 3.0);
    std::vector<double> out(static_cast<size_t>(4 * 5 * 3), 42.0);

    struct Bad {
        const char* name;
        std::function<void(fk::FilterRequest&)> spoil;
    };
    const ptrdiff_t huge = std::numeric_limits<ptrdiff_t>::max() / 4;
    const Bad bads[] = {
        {"table too short for the guidance span", [](fk::FilterRequest& q) { q.table_len = 10; }},
        {"empty table", [](fk::FilterRequest& q) { q.table_len = 0; }},
        {"null image", [](fk::FilterRequest& q) { q.image.data = nullptr; }},
        {"null guidance", [](fk::FilterRequest& q) { q.guidance.data = nullptr; }},
        {"null kernel", [](fk::FilterRequest& q) { q.kernel_s = nullptr; }},
        {"null table", [](fk::FilterRequest& q) { q.table = nullptr; }},
        {"null output", [](fk::FilterRequest& q) { q.out.data = nullptr; }},
        {"negative height", [](fk::FilterRequest& q) { q.rows = q.out.h = -1; }},
        {"negative pad", [](fk::FilterRequest& q) { q.pad = -2; }},
        {"zero image channels", [](fk::FilterRequest& q) { q.image.channels = q.out.channels = 0; }},
        {"zero guidance channels", [](fk::FilterRequest& q) { q.guidance.channels = 0; }},
        {"sizes overflow",
         [huge](fk::FilterRequest& q) {
             q.image.h = q.image.w = q.guidance.h = q.guidance.w = huge;
             q.rows = q.cols = q.out.h = q.out.w = huge - 2;
         }},
        {"window overflows", [](fk::FilterRequest& q) { q.pad = std::numeric_limits<ptrdiff_t>::max() / 8; }},
    };
    for (const Bad& b : bads) {
        fk::FilterRequest q = c.request(out.data());
        b.spoil(q);
        const fk::Result res = fk::filter(q, 2, kNeverCancel);
        const bool untouched = std::all_of(out.begin(), out.end(), [](double v) { return v == 42.0; });
        check(res.status == fk::Status::invalid_argument && untouched, std::string("invalid: ") + b.name);
    }
    // Nothing to compute is not an error.
    fk::FilterRequest q = c.request(out.data());
    q.rows = q.out.h = 0;
    check(fk::filter(q, 2, kNeverCancel).status == fk::Status::ok, "empty image is ok");
    // The table is exactly long enough: span 10, 11 entries.
    check(fk::filter(c.request(out.data()), 2, kNeverCancel).status == fk::Status::ok, "table of span + 1 entries is ok");
}


// poll() returning true stops the workers quickly; poll() throwing joins them and propagates.
void test_cancellation() {
    const Case c = large_case(2000, 600, 15);  // several seconds of work
    std::vector<double> out(static_cast<size_t>(c.h * c.w * 3));
    int polls = 0;
    auto start = std::chrono::steady_clock::now();
    fk::Result res = fk::filter(c.request(out.data()), 2, [&] { return ++polls >= 2; });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    check(res.status == fk::Status::cancelled && polls == 2 && seconds < 1.0,
          "cancel on the second poll: status cancelled within a second (" + std::to_string(seconds) + " s)");

    start = std::chrono::steady_clock::now();
    bool caught = false;
    try {
        fk::filter(c.request(out.data()), 2, []() -> bool { throw std::runtime_error("interrupted"); });
    } catch (const std::runtime_error&) {
        caught = true;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    check(caught && seconds < 1.0, "poll() exception propagates after the workers stop");

    // Without worker threads the calling thread filters, polls between rows and stops as well.
    fkd::Options inline_run;
    inline_run.on_calling_thread = true;
    polls = 0;
    start = std::chrono::steady_clock::now();
    res = fkd::filter_with(c.request(out.data()), 2, [&] { return ++polls >= 2; }, inline_run);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    check(res.status == fk::Status::cancelled && polls == 2 && seconds < 1.0,
          "calling thread alone: cancel on the second poll (" + std::to_string(seconds) + " s)");
    caught = false;
    std::fesetround(FE_UPWARD);
    try {
        fkd::filter_with(c.request(out.data()), 2, []() -> bool { throw std::runtime_error("interrupted"); }, inline_run);
    } catch (const std::runtime_error&) {
        caught = true;
    }
    const bool rounding_kept = std::fegetround() == FE_UPWARD;
    std::fesetround(FE_TONEAREST);
    check(caught && rounding_kept, "calling thread alone: poll() exception propagates, environment restored");
}

// filter() measures the span of an int32 guidance weighed by a table: span + 1 entries serve, one
// fewer is refused, whatever the signs; the int32 extremes lie too far apart for any table.
void test_guidance_span() {
    const int32_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
    const struct {
        std::vector<int32_t> values;
        ptrdiff_t span;
    } spans[] = {{{5, -3, 12, 7}, 15}, {{9}, 0}, {{-7, -7}, 0}, {{hi, lo}, -1}};
    for (const auto& sp : spans) {
        Case c;
        c.h = 1;
        c.w = static_cast<ptrdiff_t>(sp.values.size());
        c.guid = sp.values;
        c.img.assign(sp.values.size(), 1);
        c.kernel = {1.0};
        std::vector<double> out(sp.values.size());
        const std::string what = "guidance span " + std::to_string(sp.span);
        if (sp.span < 0) {
            c.table = gaussian_table(256, 3.0);
            check(fk::filter(c.request(out.data()), 1, kNeverCancel).status == fk::Status::invalid_argument, what);
            continue;
        }
        c.table = gaussian_table(static_cast<size_t>(sp.span + 1), 3.0);
        const bool fits = fk::filter(c.request(out.data()), 1, kNeverCancel).status == fk::Status::ok;
        fk::FilterRequest shorter = c.request(out.data());
        --shorter.table_len;
        const bool refused = fk::filter(shorter, 1, kNeverCancel).status == fk::Status::invalid_argument;
        check(fits && refused, what + ": a table of span + 1 entries, not fewer");
    }
}

void test_helpers() {
    check(fk::default_thread_count() >= 1, "default_thread_count is at least 1");
    check(fkd::isa_available(fkd::Isa::scalar) && fkd::isa_available(fkd::best_isa()),
          "scalar and best paths available");
    using fkd::Isa;
    const bool caps = fkd::capped_isa(Isa::avx512, "avx2") == Isa::avx2 &&
                      fkd::capped_isa(Isa::avx512, "scalar") == Isa::scalar &&
                      fkd::capped_isa(Isa::avx2, "avx512") == Isa::avx2 &&  // never above the CPU
                      fkd::capped_isa(Isa::avx512, nullptr) == Isa::avx512 &&
                      fkd::capped_isa(Isa::avx512, "AVX2") == Isa::avx512 &&
                      fkd::capped_isa(Isa::avx512, "") == Isa::avx512 &&
                      fkd::capped_isa(Isa::neon, "scalar") == Isa::scalar &&
                      fkd::capped_isa(Isa::neon, "avx2") == Isa::neon &&  // another architecture's
                      fkd::capped_isa(Isa::avx512, "neon") == Isa::avx512 &&
                      fkd::capped_isa(Isa::scalar, "neon") == Isa::scalar;
    check(caps, "SOVELK_ISA lowers the path, never raises it, and other settings are ignored");
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20240611;
    const int count = argc > 2 ? std::atoi(argv[2]) : 400;
    Rng rng(seed);
    std::printf("seed %" PRIu64 ", paths:", seed);
    for (fkd::Isa isa : available_isas()) std::printf(" %s", fkd::isa_name(isa));
    std::printf("\n");

    test_helpers();
    test_guidance_span();
    test_invalid_requests();
    test_each_event_is_reported();
    test_tiny_weights_are_divided_exactly();
    test_huge_table(rng);
    test_packed_guidance_limits(rng);
    test_typical_inputs_raise_nothing(rng);
    test_thread_counts(rng);
    test_caller_environment(rng);
    test_unmasked_denormal_operand_never_traps(rng);
    test_random_cases(rng, count);
    test_cancellation();

    return sovelk::testing::checks_passed();
}
