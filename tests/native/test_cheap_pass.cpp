// Adversarial tests of the row loop's cheap pass: inputs built to sit on its error bound, where a
// wrong decision would change an 8-bit result, checked bit for bit (and for floating-point
// events) against a plain model of the exact arithmetic on every instruction-set path.
// Build and run: tests/native/run.sh
//
// The model: weight = spatial * (table[|d_0|] * table[|d_1|] * ...), summed in offset order from
// +0.0; result = sum in offset order from +0.0 of (weight / sum) * pixel; then trunc(clip(x, 0,
// 255)), with a NaN written as 0 and reported.

#include <cfenv>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/cheap_pass.hpp"
#include "core/fused_kernel.hpp"
#include "core/fused_kernel_body.hpp"  // ScalarVec, for the decision rule at half-integers
#include "check.hpp"
#include "core/upsample.hpp"
#include "padded_request.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

namespace {

constexpr int kReported = FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW;
using sovelk::testing::check;

// A padded request: int32 values (converted to uint8 when every value fits and the table has the
// 256 entries 8-bit guidance needs, to run the 8-bit path as the binding does).
struct Input {
    std::string label;
    ptrdiff_t h = 0, w = 0, pad = 0;
    int ic = 3, gc = 1;
    std::vector<int32_t> img, guid;  // (h + 2 pad) x (w + 2 pad) x channels
    std::vector<double> kernel, table;
    ptrdiff_t pw() const { return w + 2 * pad; }
    ptrdiff_t cells() const { return (h + 2 * pad) * pw(); }
};

struct Outcome {
    std::vector<uint8_t> out;
    int flags = 0;
    bool nan = false;
};

Outcome model(const Input& in) {
    const ptrdiff_t ws = 2 * in.pad + 1, n = ws * ws, pw = in.pw();
    Outcome o;
    o.out.resize(static_cast<size_t>(in.h * in.w * in.ic));
    std::vector<double> weight(static_cast<size_t>(n));
    std::feclearexcept(FE_ALL_EXCEPT);
    for (ptrdiff_t r = 0; r < in.h; ++r)
        for (ptrdiff_t x = 0; x < in.w; ++x) {
            const ptrdiff_t centre = ((r + in.pad) * pw + x + in.pad) * in.gc;
            double sum = 0.0;
            for (ptrdiff_t i = 0; i < n; ++i) {
                const ptrdiff_t at = ((r + i / ws) * pw + x + i % ws) * in.gc;
                double range = 0.0;
                for (int k = 0; k < in.gc; ++k) {
                    const int64_t d = std::llabs(int64_t{in.guid[at + k]} - in.guid[centre + k]);
                    range = k == 0 ? in.table[d] : range * in.table[d];
                }
                weight[i] = in.kernel[i] * range;
                sum = sum + weight[i];
            }
            for (int k = 0; k < in.ic; ++k) {
                double acc = 0.0;
                for (ptrdiff_t i = 0; i < n; ++i)
                    acc = acc + (weight[i] / sum) * in.img[((r + i / ws) * pw + x + i % ws) * in.ic + k];
                uint8_t& b = o.out[(r * in.w + x) * in.ic + k];
                if (std::isnan(acc)) o.nan = true;
                b = std::isnan(acc) || acc <= 0.0 ? 0 : acc >= 255.0 ? 255 : static_cast<uint8_t>(acc);
            }
        }
    o.flags = std::fetestexcept(kReported);
    std::feclearexcept(FE_ALL_EXCEPT);
    return o;
}

bool fits_uint8(const std::vector<int32_t>& v) {
    for (int32_t x : v)
        if (x < 0 || x > 255) return false;
    return true;
}

// Runs the kernel; `counts` receives the cheap pass's counts.
Outcome run(const Input& in, const fkd::Options& options, int threads, fkd::CheapPassCounters& counts) {
    std::vector<uint8_t> img8, guid8;
    fk::testing::Padded p;
    if (fits_uint8(in.img) && fits_uint8(in.guid) && in.table.size() >= 256) {
        img8.assign(in.img.begin(), in.img.end());
        guid8.assign(in.guid.begin(), in.guid.end());
        p.img = img8.data();
        p.guid = guid8.data();
        p.sample = fk::Sample::uint8;
    } else {
        p.img = in.img.data();
        p.guid = in.guid.data();
    }
    p.h = in.h;
    p.w = in.w;
    p.pad = in.pad;
    p.img_ch = in.ic;
    p.guid_ch = in.gc;
    p.kernel_s = in.kernel.data();
    p.table = in.table.data();
    p.table_len = static_cast<ptrdiff_t>(in.table.size());
    Outcome o;
    o.out.assign(static_cast<size_t>(in.h * in.w * in.ic), 77);
    const fk::FilterRequest q = p.request_u8(o.out.data());
    fkd::Options opt = options;
    opt.statistics = &counts;
    const fk::Result res = fkd::filter_with(q, threads, [] { return false; }, opt);
    if (res.status != fk::Status::ok) o.out.clear();
    o.flags = res.fp_flags;
    o.nan = res.nan_in_output;
    return o;
}

// Calls f with the options of every path this CPU has, with the cheap pass tried on every block
// and predicted, the vector paths with their single-precision pass and without it, and a label
// naming them.
void for_each_path(const std::function<void(const fkd::Options&, const std::string&)>& f) {
    for (fkd::Isa isa : fkd::kEveryIsa)
        for (fkd::CheapPassMode mode : {fkd::CheapPassMode::every_block, fkd::CheapPassMode::automatic})
            for (bool single : {true, false}) {
                if (!fkd::isa_available(isa) || (isa == fkd::Isa::scalar && !single)) continue;
                fkd::Options o;
                o.isa = isa;
                o.cheap_pass = mode;
                o.float_pass = single;
                f(o, std::string(" [") + fkd::isa_name(isa) + (single ? "" : ", double pass") +
                         (mode == fkd::CheapPassMode::every_block ? ", every block]" : ", predicted]"));
            }
}

// Every path, the cheap pass on every block and with prediction, one and two threads: the same
// bytes, events and NaN report as the model. Returns the counts of the every-block runs.

fkd::CheapPassCounters compare_all(const Input& in) {
    const Outcome want = model(in);
    fkd::CheapPassCounters every;
    for_each_path([&](const fkd::Options& o, const std::string& path) {
        const bool every_block = o.cheap_pass == fkd::CheapPassMode::every_block;
        fkd::CheapPassCounters counts;
        const Outcome got = run(in, o, every_block ? 1 : 2, every_block ? every : counts);
        const std::string where = in.label + path;
        size_t bad = 0;
        while (bad < want.out.size() && bad < got.out.size() && want.out[bad] == got.out[bad]) ++bad;
        if (got.out.size() != want.out.size() || bad < want.out.size()) {
            char msg[96];
            std::snprintf(msg, sizeof msg, ": byte %zu is %d, model %d", bad,
                          bad < got.out.size() ? got.out[bad] : -1, want.out[bad]);
            check(false, where + msg);
        } else {
            check(got.flags == want.flags && got.nan == want.nan, where + ": same events and NaN report");
        }
    });
    return every;
}

// The filter's range table: differences on the 0 .. 1 scale (level / 255), sigma_r on that scale.
std::vector<double> range_table(size_t levels, double sigma_r) {
    std::vector<double> t;
    for (size_t i = 0; i < levels; ++i) {
        const double diff = static_cast<double>(i) / 255.0;
        t.push_back(std::exp(-(diff * diff) / (2.0 * (sigma_r * sigma_r))));
    }
    return t;
}

Input base(const std::string& label, ptrdiff_t h, ptrdiff_t w, ptrdiff_t pad, int ic, int gc) {
    Input in;
    in.label = label;
    in.h = h;
    in.w = w;
    in.pad = pad;
    in.ic = ic;
    in.gc = gc;
    in.img.assign(static_cast<size_t>(in.cells() * ic), 0);
    in.guid.assign(static_cast<size_t>(in.cells() * gc), 0);
    const ptrdiff_t ws = 2 * pad + 1;
    const double sigma = pad > 0 ? pad / 3.0 : 1.0;
    for (ptrdiff_t i = 0; i < ws; ++i)
        for (ptrdiff_t j = 0; j < ws; ++j)
            in.kernel.push_back(std::exp(-double((i - pad) * (i - pad) + (j - pad) * (j - pad)) / (2 * sigma * sigma)));
    in.table = range_table(256, 0.1);
    return in;
}

using Rng = std::mt19937_64;
int pick(Rng& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

// ---- groups --------------------------------------------------------------------------------

// Flat and saturated images: the real mean is the integer itself, and the exact sequence's
// rounding decides between it and the one below, so no pixel may be decided by the cheap value.
// Every sigma_s from 1 to 10, gray and colour guidance.
void test_flat_and_saturated(Rng& rng) {
    for (int sigma = 1; sigma <= 10; ++sigma)
        for (int value : {1, 37, 200, 255}) {
            const int gc = sigma % 2 ? 1 : 3;
            Input in = base("flat " + std::to_string(value) + " sigma_s " + std::to_string(sigma) +
                                " guid_ch " + std::to_string(gc), 3, 19, 3 * sigma, 3, gc);
            in.img.assign(in.img.size(), value);
            for (auto& g : in.guid) g = pick(rng, 0, 255);  // weights of every kind, the mean stays
            const fkd::CheapPassCounters c = compare_all(in);
            check(c.lanes > 0 && c.exact_lanes == c.lanes, in.label + ": every pixel needed the exact sequence");
        }
}

// Means a hair off an integer: an image of k with one pixel of k + 1 or k - 1 whose weight is
// 2^-e relative to the rest, for e across the bound (the mean is k +- about 2^-e); guidance
// differences pick the weight from a table of powers of two. Near the bound, decided and
// undecided pixels sit side by side.
void test_means_next_to_integers() {
    for (int k : {1, 100, 254, 255})
        for (int sign : {-1, 1}) {
            if (k + sign > 255) continue;
            Input in = base("mean " + std::to_string(k) + (sign > 0 ? " + " : " - ") + "2^-e", 4, 24, 2, 1, 1);
            in.img.assign(in.img.size(), k);
            in.table.assign(64, 0.0);
            in.table[0] = 1.0;
            for (int e = 1; e < 64; ++e) in.table[e] = std::ldexp(1.0, -e - 8);
            // Each pixel's own window holds one odd pixel, straight below it at the window's
            // edge, with guidance difference e (the column index, 1 .. 63).
            for (ptrdiff_t x = 0; x < in.pw(); ++x) {
                for (ptrdiff_t y = 0; y < in.h + 2 * in.pad; ++y) in.guid[y * in.pw() + x] = 0;
                in.guid[(in.h + 2 * in.pad - 1) * in.pw() + x] = static_cast<int32_t>(1 + x % 63);
                in.img[(in.h + 2 * in.pad - 1) * in.pw() + x] = k + sign;
            }
            for (double& s : in.kernel) s = 1.0;
            const fkd::CheapPassCounters c = compare_all(in);
            check(c.exact_lanes > 0 && c.exact_lanes < c.lanes, in.label + ": some pixels decided, some not");
        }
}

// Regression: a mean just above zero (one image value 1 whose weight is 2^-1000 of the rest)
// made the test's own margin subnormal, raising an underflow the exact sequence does not.
void test_mean_just_above_zero() {
    Input in = base("mean 2^-1000 above zero", 3, 20, 1, 2, 1);
    in.table = {1.0, 0x1p-1000};
    for (ptrdiff_t i = 0; i < in.cells(); ++i) {
        in.guid[i] = i % 7 == 0;
        in.img[2 * i] = in.img[2 * i + 1] = i % 7 == 0;
    }
    const fkd::CheapPassCounters c = compare_all(in);
    check(c.lanes > c.exact_lanes, in.label + ": decided by the cheap pass");
}

// Noise, checkerboards and saturated areas at every sigma_s up to 10, also with a tiny sigma_r
// whose table entries reach the subnormals and zero, and colour guidance.
void test_images_at_every_sigma(Rng& rng) {
    for (int sigma = 1; sigma <= 10; ++sigma) {
        const double sigma_r = sigma % 3 == 0 ? 0.004 : 0.1;  // on the 0 .. 1 scale
        for (int kind = 0; kind < 3; ++kind) {
            const int gc = kind == 1 ? 3 : 1;
            Input in = base("", 4, 21, 3 * sigma, 3, gc);
            in.table = range_table(256, sigma_r);
            for (ptrdiff_t i = 0; i < in.cells(); ++i) {
                const ptrdiff_t y = i / in.pw(), x = i % in.pw();
                for (int k = 0; k < 3; ++k) {
                    int v = pick(rng, 0, 255);
                    if (kind == 1) v = ((x / 3 + y / 3) % 2) * 255;         // checkerboard
                    if (kind == 2 && x < in.pw() / 2) v = 255;                // saturated half
                    in.img[i * 3 + k] = v;
                    if (k < gc) in.guid[i * gc + k] = kind == 1 ? v : pick(rng, 0, 255);
                }
            }
            static const char* kinds[] = {"noise", "checkerboard", "half saturated"};
            in.label = std::string(kinds[kind]) + " sigma_s " + std::to_string(sigma) + " sigma_r " +
                       std::to_string(sigma_r);
            compare_all(in);
        }
    }
}

// Large int32 values (the int32 element type with the 8-bit output): image values near 2^31,
// near 255 and 256, negative ones (the cheap pass then stays off), and wide guidance.
void test_large_int32_values(Rng& rng) {
    const int32_t top = std::numeric_limits<int32_t>::max();
    struct Range {
        const char* name;
        int32_t lo, hi;
    };
    const Range ranges[] = {{"near 2^31", top - 1000, top}, {"0 .. 2^31", 0, top},
                            {"254 .. 257", 254, 257}, {"negative", -300, 300}};
    for (const Range& r : ranges)
        for (int gc : {1, 3}) {
            Input in = base(std::string("int32 ") + r.name + " guid_ch " + std::to_string(gc), 5, 23, 3, 2, gc);
            for (auto& v : in.img) v = std::uniform_int_distribution<int32_t>(r.lo, r.hi)(rng);
            for (auto& g : in.guid) g = 1000000 + pick(rng, 0, 400);
            in.table = range_table(401, 0.3);
            compare_all(in);
        }
}

// Tables and kernels a caller may have put in: negative, infinite, NaN and subnormal entries,
// huge weights whose sums overflow. The cheap pass must stay off or raise exactly the events
// of the exact sequence.
void test_odd_weights(Rng& rng) {
    const double odd[] = {-0.5, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                          0x1p-1070, 1e300, 0.0, -0.0};
    for (double value : odd)
        for (bool in_table : {true, false}) {
            Input in = base("", 3, 17, 2, 3, 1);
            for (auto& v : in.img) v = pick(rng, 0, 255);
            for (auto& g : in.guid) g = pick(rng, 0, 255);
            std::vector<double>& target = in_table ? in.table : in.kernel;
            for (size_t i = 1; i < target.size(); i += 3) target[i] = value;
            char label[80];
            std::snprintf(label, sizeof label, "odd %s entries %g", in_table ? "table" : "kernel", value);
            in.label = label;
            compare_all(in);
        }
}

// The facts of a colour-guided 7x7 filter of an 8-bit image, truncated to 0..255.
fkd::CheapPassFacts usual_facts(const std::vector<double>& kernel, const std::vector<double>& table) {
    fkd::CheapPassFacts f;
    f.kernel_s = kernel.data();
    f.offsets = 49;
    f.window = 7;
    f.table = table.data();
    f.table_used = 256;
    f.guid_ch = 3;
    f.img_lo = 0;
    f.img_hi = 255;
    f.conversion = {fkd::Conversion::truncate, 0.0, 255.0};
    return f;
}

// The per-call plan: on for the usual filter, off wherever the bound or the absence of events
// is not proven.
void test_plan() {
    const std::vector<double> kernel(49, 0.5), table = range_table(256, 0.1);
    const fkd::CheapPassFacts usual = usual_facts(kernel, table);
    const fkd::CheapPass on = fkd::plan_cheap_pass(usual);
    check(on.enabled && on.margin > 2 * 50 * 0x1p-53 && on.margin < 1e-12 && on.sum_limit > 1e100,
          "plan: the usual filter gets the cheap pass, a margin above 2 gamma(n + 1) and no practical sum limit");
    fkd::CheapPassFacts signed_values = usual;
    signed_values.magnitudes = true;
    check(fkd::plan_cheap_pass(signed_values).magnitudes, "plan: values of any sign get the bound of magnitudes");
    const std::vector<double> zeros(256, 0.0), huge(256, 1e300);
    struct Spoil {
        const char* name;
        std::function<void(fkd::CheapPassFacts&)> apply;
    };
    const Spoil spoils[] = {
        {"no conversion of its own", [](fkd::CheapPassFacts& f) { f.conversion.kind = fkd::Conversion::none; }},
        {"a negative image value", [](fkd::CheapPassFacts& f) { f.img_lo = -1; }},
        {"image values past 2^31", [](fkd::CheapPassFacts& f) { f.img_hi = 0x1p32; }},
        {"every table entry zero", [&](fkd::CheapPassFacts& f) { f.table = zeros.data(); }},
        {"weights whose sums may overflow", [&](fkd::CheapPassFacts& f) { f.table = huge.data(); }},
        {"values of any sign under a centre weight below 2^-20", [](fkd::CheapPassFacts& f) {
             f.magnitudes = true;
             f.zero_difference_weight = 0x1p-10;
         }},
    };
    for (const Spoil& s : spoils) {
        fkd::CheapPassFacts f = usual;
        s.apply(f);
        check(!fkd::plan_cheap_pass(f).enabled, std::string("plan: off for ") + s.name);
    }
}

// Prediction: a flat image mostly skips the cheap pass; noise is decided by it almost entirely.
void test_prediction(Rng& rng) {
    for (bool flat : {true, false}) {
        Input in = base(flat ? "flat" : "noise", 64, 64, 3, 3, 1);
        for (auto& v : in.img) v = flat ? 99 : pick(rng, 0, 255);
        for (auto& g : in.guid) g = pick(rng, 0, 255);
        fkd::Options o;
        fkd::CheapPassCounters c;
        run(in, o, 1, c);
        const uint64_t total = c.blocks + c.skipped_blocks;
        if (flat)
            check(c.skipped_blocks > 3 * c.blocks, "prediction: a flat image skips most cheap passes");
        else
            check(c.skipped_blocks == 0 && c.exact_lanes * 100 < c.lanes && total > 0,
                  "prediction: noise keeps the cheap pass, which decides over 99% of pixels");
    }
}

// The rounding conversion's rule at half-integers: within the margin of k + 0.5 (and of the clip
// bounds) nothing is decided; a little farther, the value rounds as the exact one would.
void test_rounding_rule() {
    fkd::RowArgs a{};
    a.conversion = {fkd::Conversion::round_half_even, -32768.0, 32767.0};
    a.cheap.margin = 3.0 * 363 * 0x1p-53;
    bool ok = true;
    for (double k : {0.0, 1.0, 2.0, 1000.0, 32766.0}) {
        const double tie = k + 0.5;
        for (int ulps = -4; ulps <= 4; ++ulps) {
            const double v = tie + ulps * std::ldexp(1.0, std::ilogb(tie) - 52);
            ok = ok && fkd::undecided<fkd::ScalarVec>(a, v) == 1u;
        }
        for (double off : {-1e-6, 1e-6}) {
            const double v = tie + off;
            ok = ok && fkd::undecided<fkd::ScalarVec>(a, v) == 0u &&
                 fkd::convert<fkd::ScalarVec>(a.conversion, v) == (off < 0 ? k : k + 1);
        }
    }
    check(ok, "rounding rule: undecided within a few ulps of k + 0.5, decided and right 1e-6 away");
    a.conversion = {fkd::Conversion::truncate, 0.0, 255.0};
    check(fkd::undecided<fkd::ScalarVec>(a, 255.0) == 1u && fkd::undecided<fkd::ScalarVec>(a, 1e9) == 0u &&
              fkd::undecided<fkd::ScalarVec>(a, 0.0) == 0u && fkd::undecided<fkd::ScalarVec>(a, 17.0) == 1u,
          "truncation rule: undecided at an integer and at the upper clip bound, decided beyond it and at 0");
}


// ---- the function's integer outputs -------------------------------------------------------

// numpy's conversion of a float64 result to an integer type: clip to its range, then rint
// (half to even) or truncate.
double convert_like_numpy(double x, double lo, double hi, fk::Rounding rounding) {
    if (std::isnan(x)) return 0.0;
    x = x < lo ? lo : x > hi ? hi : x;
    return rounding == fk::Rounding::truncate ? std::trunc(x) : std::nearbyint(x);
}

// An h x w x ch source image of uint8 or uint16 samples, with a gray guidance, for filter().
struct Source {
    std::string label;
    fk::Sample sample = fk::Sample::uint16;
    ptrdiff_t h = 0, w = 0, pad = 0;
    int ch = 1;
    std::vector<uint16_t> img16;
    std::vector<uint8_t> img8, guid;
    std::vector<double> kernel, table;
    fk::Border border = fk::Border::reflect;
    double cval = 0.0;
    // When set, a uint16 guidance weighed by the range rule of this sigma instead of `guid`.
    std::vector<uint16_t> guid16;
    double rule_sigma = 0.0;

    Source(std::string name, fk::Sample s, ptrdiff_t h_, ptrdiff_t w_, ptrdiff_t pad_, int ch_)
        : label(std::move(name)), sample(s), h(h_), w(w_), pad(pad_), ch(ch_),
          img16(static_cast<size_t>(h_ * w_ * ch_)), img8(img16.size()), guid(static_cast<size_t>(h_ * w_)),
          kernel(static_cast<size_t>((2 * pad_ + 1) * (2 * pad_ + 1)), 0.0), table(256, 1.0) {}
    void set(ptrdiff_t i, int v) {
        img16[static_cast<size_t>(i)] = static_cast<uint16_t>(v);
        img8[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    }

    // filter() into a buffer of O; the values as doubles.
    template <class O>
    std::vector<double> filter(fk::Sample out_sample, fk::Rounding rounding, const fkd::Options& options,
                               int threads, fk::Result& result) const {
        const size_t item = sample == fk::Sample::uint8 ? 1 : 2;
        fk::FilterRequest q;
        q.image = {sample == fk::Sample::uint8 ? static_cast<const void*>(img8.data()) : img16.data(), sample, h, w,
                   ch, static_cast<ptrdiff_t>(item * ch * w), static_cast<ptrdiff_t>(item * ch),
                   static_cast<ptrdiff_t>(item)};
        q.guidance = {guid.data(), fk::Sample::uint8, h, w, 1, w, 1, 1};
        if (rule_sigma > 0.0) {
            q.guidance = {guid16.data(), fk::Sample::uint16, h, w, 1, 2 * w, 2, 2};
            q.rule = fk::make_range_rule(rule_sigma);
        } else {
            q.table = table.data();
            q.table_len = static_cast<ptrdiff_t>(table.size());
        }
        q.border = border;
        q.cval = cval;
        q.pad = pad;
        q.kernel_s = kernel.data();
        q.rows = h;
        q.cols = w;
        std::vector<O> out(img16.size());
        const ptrdiff_t o = sizeof(O);
        q.out = {out.data(), out_sample, h, w, ch, o * ch * w, o * ch, o};
        q.rounding = rounding;
        result = fkd::filter_with(q, threads, [] { return false; }, options);
        return std::vector<double>(out.begin(), out.end());
    }
};

// Every integer output type and both roundings, on every path, with the cheap pass on every block
// and predicted: the same values as the float64 result converted by numpy's rules, and the same
// events. Returns the every-block counts of the call converting to `counted_sample`, rounding
// `counted_rounding`, on the best path, with its single-precision pass if `single`.
fkd::CheapPassCounters compare_integer_outputs(const Source& src, fk::Sample counted_sample,
                                               fk::Rounding counted_rounding, bool single) {
    fk::Result exact;
    fkd::Options plain;
    plain.cheap_pass = fkd::CheapPassMode::off;
    const std::vector<double> values = src.filter<double>(fk::Sample::float64, fk::Rounding::half_even, plain, 1, exact);
    fkd::CheapPassCounters counted;
    for (fk::Sample out : {fk::Sample::uint8, fk::Sample::uint16, fk::Sample::int16, fk::Sample::int32})
        for (fk::Rounding rounding : {fk::Rounding::half_even, fk::Rounding::truncate}) {
            double lo = 0, hi = 0;
            switch (out) {
                case fk::Sample::uint8: hi = 255; break;
                case fk::Sample::uint16: hi = 65535; break;
                case fk::Sample::int16: lo = -32768, hi = 32767; break;
                default: lo = -2147483648.0, hi = 2147483647.0; break;
            }
            std::vector<double> want(values.size());
            for (size_t i = 0; i < values.size(); ++i) want[i] = convert_like_numpy(values[i], lo, hi, rounding);
            for_each_path([&](const fkd::Options& path_options, const std::string& path) {
                fkd::Options o = path_options;
                fkd::CheapPassCounters counts;
                o.statistics = &counts;
                fk::Result r;
                std::vector<double> got;
                switch (out) {
                    case fk::Sample::uint8: got = src.filter<uint8_t>(out, rounding, o, 2, r); break;
                    case fk::Sample::uint16: got = src.filter<uint16_t>(out, rounding, o, 2, r); break;
                    case fk::Sample::int16: got = src.filter<int16_t>(out, rounding, o, 2, r); break;
                    default: got = src.filter<int32_t>(out, rounding, o, 2, r); break;
                }
                if (out == counted_sample && rounding == counted_rounding && o.isa == fkd::best_isa() &&
                    o.cheap_pass == fkd::CheapPassMode::every_block && (o.float_pass == single || o.isa == fkd::Isa::scalar))
                    counted = counts;
                char conversion[64];
                std::snprintf(conversion, sizeof conversion, " (output sample %d, %s)", static_cast<int>(out),
                              rounding == fk::Rounding::truncate ? "truncate" : "half even");
                const std::string where = path + conversion;
                size_t bad = 0;
                while (bad < want.size() && want[bad] == got[bad]) ++bad;
                if (bad < want.size()) {
                    char msg[160];
                    std::snprintf(msg, sizeof msg, ": value %zu is %.17g, numpy's %.17g (float64 %.17g)", bad,
                                  got[bad], want[bad], values[bad]);
                    check(false, src.label + where + msg);
                } else {
                    check(r.status == fk::Status::ok && r.fp_flags == exact.fp_flags,
                          src.label + where + ": same events as the float64 call");
                }
            });
        }
    return counted;
}

// Ties of the rounding to nearest (counted on the double-precision pass, whose margin is far
// below 2^-20): a window of two taps, the pixel and its right neighbour,
// weights 1 and 1 + 2^-e, over columns alternating k and k + 1: the mean is k + 1/2 exactly
// (e = infinity) or within about 2^-e of it, so the cheap value sits on the half-integer, inside
// and just outside its margin. Large and small k, uint16 and uint8 images.
void test_half_integer_means(Rng& rng) {
    for (fk::Sample sample : {fk::Sample::uint16, fk::Sample::uint8})
        for (int e : {1000, 52, 44, 40, 36, 20}) {
            Source src(std::string(sample == fk::Sample::uint8 ? "uint8" : "uint16") + " means k + 1/2 + 2^-" +
                           std::to_string(e),
                       sample, 5, 36, 1, 2);
            src.border = fk::Border::wrap;  // an even width: the alternation goes on across the edge
            const int k = sample == fk::Sample::uint8 ? 200 : 40001;
            for (ptrdiff_t i = 0; i < src.h * src.w * src.ch; ++i) src.set(i, k + (i / src.ch) % src.w % 2);
            for (auto& g : src.guid) g = static_cast<uint8_t>(pick(rng, 0, 255));  // the table is all 1
            src.kernel[4] = 1.0;
            src.kernel[5] = 1.0 + std::ldexp(1.0, -e);
            const fkd::CheapPassCounters c =
                compare_integer_outputs(src, fk::Sample::int32, fk::Rounding::half_even, false);
            if (e >= 44)
                check(c.lanes > 0 && c.exact_lanes == c.lanes, src.label + ": every pixel needed the exact sequence");
            if (e == 20) check(c.lanes > 0 && c.exact_lanes == 0, src.label + ": every pixel decided by the cheap pass");
        }
}

// Images of the function's own kinds: uint16 noise over the whole range, flat and saturated
// uint16 (65535) and uint8 areas, at sigma_s 1 to 4, with every border; a constant border with an
// integer cval keeps the cheap pass, a fractional one bounds it by the rows' magnitudes.
void test_function_images(Rng& rng) {
    const fk::Border borders[] = {fk::Border::reflect, fk::Border::mirror, fk::Border::nearest, fk::Border::wrap,
                                  fk::Border::constant};
    int n = 0;
    for (int sigma = 1; sigma <= 4; ++sigma)
        for (int kind = 0; kind < 3; ++kind) {
            const fk::Sample sample = kind == 2 && sigma % 2 ? fk::Sample::uint8 : fk::Sample::uint16;
            static const char* kinds[] = {"noise", "flat", "saturated"};
            Source src(std::string(kinds[kind]) + " sigma_s " + std::to_string(sigma), sample, 4, 29, 3 * sigma,
                       kind == 0 ? 3 : 1);
            const int top = sample == fk::Sample::uint8 ? 255 : 65535;
            for (ptrdiff_t i = 0; i < src.h * src.w * src.ch; ++i)
                src.set(i, kind == 0 ? pick(rng, 0, top) : kind == 1 ? 31000 % (top + 1) : top);
            for (auto& g : src.guid) g = static_cast<uint8_t>(pick(rng, 0, 255));
            const ptrdiff_t ws = 2 * src.pad + 1;
            const double s = src.pad / 3.0;
            for (ptrdiff_t i = 0; i < ws * ws; ++i) {
                const double dy = static_cast<double>(i / ws - src.pad), dx = static_cast<double>(i % ws - src.pad);
                src.kernel[static_cast<size_t>(i)] = std::exp(-(dx * dx + dy * dy) / (2 * s * s));
            }
            src.table = range_table(256, 0.1);
            src.border = borders[n++ % 5];
            src.cval = src.border == fk::Border::constant ? 7.0 : 0.0;
            for (bool rule : {false, true}) {
                // The range rule's weights on 16-bit guidance take the double-precision pass.
                if (rule) {
                    src.guid16.resize(src.guid.size());
                    for (auto& g : src.guid16) g = static_cast<uint16_t>(pick(rng, 20000, 40000));
                    src.rule_sigma = 0.1 * 65535;
                    src.label += ", 16-bit guidance";
                }
                const fkd::CheapPassCounters c =
                    compare_integer_outputs(src, fk::Sample::uint16, fk::Rounding::truncate, true);
                check(c.lanes > 0, src.label + ": the cheap pass ran");
                if (kind == 0) check(c.exact_lanes * 100 < c.lanes, src.label + ": noise decided almost everywhere");
            }
        }
    Source frac("constant border, cval 7.5", fk::Sample::uint16, 3, 20, 2, 1);
    for (ptrdiff_t i = 0; i < frac.h * frac.w; ++i) frac.set(i, pick(rng, 0, 65535));
    frac.kernel.assign(frac.kernel.size(), 1.0);
    frac.border = fk::Border::constant;
    frac.cval = 7.5;
    const fkd::CheapPassCounters c = compare_integer_outputs(frac, fk::Sample::uint16, fk::Rounding::half_even, true);
    check(c.lanes > 0, frac.label + ": the cheap pass runs with the rows' magnitudes");
}

// Paired rows of the double-precision pass with the range rule (the x86 paths): uint16 noise
// with a flat patch whose blocks the history skips, a last block that overlaps the one before, a
// fractional constant border (sums bounded by the rows' magnitudes); and a kernel that is not
// symmetric, which must not pair.
void test_rule_paired_rows(Rng& rng) {
    for (int kind = 0; kind < 3; ++kind) {
        static const char* names[] = {"paired rule rows", "paired rule rows, cval 7.5", "rule rows, lopsided kernel"};
        Source src(names[kind], fk::Sample::uint16, 30, 45, 5, kind == 1 ? 3 : 1);
        for (ptrdiff_t i = 0; i < src.h * src.w * src.ch; ++i) {
            const ptrdiff_t x = i / src.ch % src.w, y = i / src.ch / src.w;
            src.set(i, x >= 12 && x < 36 && y >= 8 && y < 22 ? 31000 : pick(rng, 0, 65535));
        }
        src.guid16.resize(src.guid.size());
        for (auto& g : src.guid16) g = static_cast<uint16_t>(pick(rng, 20000, 40000));
        src.rule_sigma = 0.1 * 65535;
        const ptrdiff_t ws = 2 * src.pad + 1;
        for (ptrdiff_t i = 0; i < ws * ws; ++i) {
            const double dy = static_cast<double>(i / ws - src.pad), dx = static_cast<double>(i % ws - src.pad);
            src.kernel[static_cast<size_t>(i)] = std::exp(-(dx * dx + dy * dy) / 8.0) * (kind == 2 && dx > 0 ? 1.5 : 1.0);
        }
        if (kind == 1) {
            src.border = fk::Border::constant;
            src.cval = 7.5;
        }
        compare_integer_outputs(src, fk::Sample::uint16, fk::Rounding::truncate, true);
        for (fkd::Isa isa : {fkd::Isa::avx2, fkd::Isa::avx512}) {  // the paths that pair them
            if (!fkd::isa_available(isa)) continue;
            fkd::Options o;
            o.isa = isa;
            fkd::CheapPassCounters counts;
            o.statistics = &counts;
            fk::Result r;
            src.filter<uint16_t>(fk::Sample::uint16, fk::Rounding::truncate, o, 1, r);
            const std::string where = src.label + " [" + fkd::isa_name(isa) + "]";
            if (kind < 2)
                check(counts.paired_rows > 0 && counts.skipped_blocks > 0 && counts.exact_lanes < counts.lanes,
                      where + ": paired rows with skipped blocks ran");
            else
                check(counts.paired_rows == 0 && counts.lanes > 0, where + ": unpaired");
        }
    }
}

// ---- the single-precision pass ----------------------------------------------------------------

// exp2_eighths on one float: the IEEE single operations of the vector types (one rounding per
// FMA and product, ties to even, exact scaling).
struct ScalarFloat {
    static constexpr bool available = true;
    static constexpr int lanes = 1;
    using W = float;
    static W set1(float x) { return x; }
    static W add(W a, W b) { return a + b; }
    static W sub(W a, W b) { return a - b; }
    static W fmadd(W a, W b, W c) { return std::fma(a, b, c); }
    static W round(W x) { return std::nearbyint(x); }
    static W scale_eighths(W q, W n, const float* table) {
        const int32_t ni = static_cast<int32_t>(n);
        const float p = table[ni & 7] * q;
        uint32_t bits;
        std::memcpy(&bits, &p, sizeof bits);
        bits += (static_cast<uint32_t>(ni) << 20) & 0xFF800000u;
        float r;
        std::memcpy(&r, &bits, sizeof r);
        return r;
    }
};

// The exponential's error bound holds over its domain: random arguments, arguments next to the
// half-integers where the reduction changes its integer, the extremes of lo, and tiny ones.
void test_exp2_bound(Rng& rng) {
    double worst = 0.0;
    auto one = [&worst](float hi, float lo) {
        const float e = fkd::exp2_eighths<ScalarFloat>(hi, lo);
        const long double want = std::exp2((static_cast<long double>(hi) + lo) / 8);
        worst = std::max(worst, static_cast<double>(std::fabs(e / want - 1)));
    };
    std::uniform_real_distribution<float> any(-512.0f, 0.0f), small(-0x1p-14f, 0x1p-14f);
    for (int i = 0; i < 2000000; ++i) one(any(rng), small(rng));
    for (int k = -512; k < 0; ++k)
        for (float lo : {-0x1p-14f, 0.0f, 0x1p-14f}) {
            float x = static_cast<float>(k) + 0.5f;
            for (int u = 0; u < 40; ++u, x = std::nextafter(x, 0.0f)) one(x, lo);
            x = static_cast<float>(k) + 0.5f;
            for (int u = 0; u < 40; ++u, x = std::nextafter(x, -1000.0f)) one(x, lo);
        }
    for (float x = -1e-6f; x < 0.0f; x = std::nextafter(x, 0.0f) * 0.999f) one(x, 0.0f);
    char msg[120];
    std::snprintf(msg, sizeof msg, "exp2_eighths: largest relative error %.3g within kExp2Error %.3g", worst,
                  fkd::kExp2Error);
    check(worst <= fkd::kExp2Error && worst > 1e-8, msg);
}

// The single-precision plan: on for the usual filter, gray and colour, with margins that decide
// most values; off wherever its bound or its freedom from events is not proven.
void test_float_plan() {
    std::vector<double> kernel;
    for (int i = 0; i < 49; ++i) kernel.push_back(std::exp(-double((i / 7 - 3) * (i / 7 - 3) + (i % 7 - 3) * (i % 7 - 3)) / 2));
    const std::vector<double> table = range_table(256, 0.1);
    const fkd::CheapPassFacts usual = usual_facts(kernel, table);
    auto plan = [](const fkd::CheapPassFacts& f) { return fkd::plan_float_pass(f, fkd::plan_cheap_pass(f)); };
    for (int gc : {1, 3}) {
        fkd::CheapPassFacts f = usual;
        f.guid_ch = gc;
        const fkd::FloatPlan p = plan(f);
        check(p.pass.enabled && p.pass.abs_margin > 255 * fkd::kExp2Error && p.pass.abs_margin < 2e-4 &&
                  p.pass.rel_margin > 41 * 0x1p-24 && p.pass.rel_margin < 4e-6 && p.kernel.size() == 49 &&
                  p.kernel[24] == 1.0f && p.pass.kappa_hi < 0,
              "single-precision plan: on for the usual filter, guid_ch " + std::to_string(gc));
    }
    std::vector<double> spoilt = table, tiny_kernel = kernel, no_centre = kernel, steep = range_table(256, 0.0016),
                        rising(256);
    for (int d = 0; d < 256; ++d) rising[static_cast<size_t>(d)] = 1.0 + d / 1000.0;
    tiny_kernel[0] = 1e-20;
    no_centre[24] = 0.0;
    struct Spoil {
        const char* name;
        std::function<void(fkd::CheapPassFacts&)> apply;
    };
    const Spoil spoils[] = {
        {"16-bit values, whose margins would decide little", [](fkd::CheapPassFacts& f) { f.img_hi = 65535; }},
        {"values of 2^24, inexact in float32", [](fkd::CheapPassFacts& f) { f.img_hi = 0x1p24; }},
        {"five guidance channels", [](fkd::CheapPassFacts& f) { f.guid_ch = 5; }},
        {"a table entry 2^-20 off the Gaussian", [&](fkd::CheapPassFacts& f) { spoilt[10] *= 1 + 0x1p-20; f.table = spoilt.data(); }},
        {"a spatial weight of 1e-20", [&](fkd::CheapPassFacts& f) { f.kernel_s = tiny_kernel.data(); }},
        {"no centre weight", [&](fkd::CheapPassFacts& f) { f.kernel_s = no_centre.data(); }},
        {"a Gaussian steeper than 2^(-4 d^2)", [&](fkd::CheapPassFacts& f) { f.table = steep.data(); }},
        {"a rising table", [&](fkd::CheapPassFacts& f) { f.table = rising.data(); }},
        {"no double-precision pass", [](fkd::CheapPassFacts& f) { f.conversion.kind = fkd::Conversion::none; }},
    };
    for (const Spoil& s : spoils) {
        fkd::CheapPassFacts f = usual;
        s.apply(f);
        check(!plan(f).pass.enabled, std::string("single-precision plan: off for ") + s.name);
    }
    // The statements' products of spatial weights of 2^-40 and entries near 2^-1000 underflow,
    // which the single-precision pass, computing none of them, would not raise: condition 5
    // rules this out only with a centre weight near 1, as the class and the function make.
    std::vector<double> small_kernel(49, 1.5 * 0x1p-40), tiny_tail = table;
    for (size_t d = 240; d < tiny_tail.size(); ++d) tiny_tail[d] = (1 + 0x1p-52) * 0x1p-1000;
    fkd::CheapPassFacts underflowing = usual;
    underflowing.kernel_s = small_kernel.data();
    underflowing.table = tiny_tail.data();
    underflowing.guid_ch = 1;
    check(fkd::plan_cheap_pass(underflowing).enabled && !plan(underflowing).pass.enabled,
          "single-precision plan: off where the statements' weight products may underflow");
    std::vector<double> close = table, gentle = range_table(256, 0.0017);
    close[10] *= 1 + 0x1p-34;
    fkd::CheapPassFacts f = usual;
    f.table = close.data();
    check(plan(f).pass.enabled, "single-precision plan: on for a table entry 2^-34 off the Gaussian");
    f.table = gentle.data();
    f.guid_ch = 1;  // with three, its entries near 2^-983 leave the double-precision pass off
    check(plan(f).pass.enabled, "single-precision plan: on for 2^(-3.8 d^2), gray");
}

// Means a little above an integer and a little below the next, from 1/16 to 2^-16 away: a window
// of two taps, the pixel and its right neighbour, of weights 1 and e / (1 - e), over columns
// alternating k and k + 1 (and k + 1 and k), so that the single-precision values sit inside, on
// and outside its margin of about 6e-4. A Gaussian range table over a flat guidance.
void test_means_at_the_single_margin() {
    for (int e = 4; e <= 16; e += 2)
        for (bool above : {true, false}) {
            const double eps = std::ldexp(1.0, -e);
            Source src(std::string("mean ") + (above ? "k + 2^-" : "k + 1 - 2^-") + std::to_string(e), fk::Sample::uint8,
                       4, 48, 1, 3);
            src.border = fk::Border::wrap;  // an even width: the alternation goes on across the edge
            for (ptrdiff_t i = 0; i < src.h * src.w * src.ch; ++i)
                src.set(i, 200 + ((i / src.ch) % src.w % 2 == (above ? 1 : 0)));
            src.table = range_table(256, 0.1);
            src.kernel[4] = 1.0;
            src.kernel[5] = eps / (1 - eps);
            const fkd::CheapPassCounters c = compare_integer_outputs(src, fk::Sample::uint8, fk::Rounding::truncate, true);
            if (fkd::best_isa() == fkd::Isa::scalar) continue;
            check(c.single_blocks > 0, src.label + ": the single-precision pass ran");
            if (e <= 6) check(c.exact_lanes == 0, src.label + ": every pixel decided");
            if (e >= 14) check(c.exact_lanes == c.lanes, src.label + ": no pixel decided");
        }
}

// Noise with a flat square of the window's side plus two: in its rows three pixels of a block
// have the flat mean and need the exact sequence alone, the rest of the block is decided.
// Paired rows: bands long enough for the sums of many rows above, flat patches whose steps the
// history skips inside paired rows, a last step that overlaps the one before it.
void test_paired_rows(Rng& rng) {
    for (int gc : {1, 3}) {
        Input in = base(gc == 1 ? "paired rows, gray" : "paired rows, colour", 40, 70, 5, 3, gc);
        for (auto& v : in.img) v = pick(rng, 0, 255);
        for (auto& g : in.guid) g = pick(rng, 100, 140);
        for (ptrdiff_t y = 0; y < in.h + 2 * in.pad; ++y)
            for (ptrdiff_t x = 20; x < 52; ++x)
                for (int k = 0; k < 3; ++k) in.img[static_cast<size_t>((y * in.pw() + x) * 3 + k)] = 200;
        compare_all(in);
        for (fkd::Isa isa : {fkd::Isa::avx2, fkd::Isa::neon}) {  // the paths that pair rows
            if (!fkd::isa_available(isa)) continue;
            fkd::Options o;
            o.isa = isa;
            fkd::CheapPassCounters counts;
            run(in, o, 1, counts);
            check(counts.paired_rows > 0 && counts.skipped_blocks > 0,
                  in.label + ": paired rows with skipped steps ran [" + fkd::isa_name(isa) + "]");
        }
    }
}

void test_lone_lanes(Rng& rng) {
    for (int gc : {1, 3}) {
        Input in = base(gc == 1 ? "lone lanes, gray" : "lone lanes, colour", 12, 40, 2, 3, gc);
        for (auto& v : in.img) v = pick(rng, 0, 255);
        for (auto& g : in.guid) g = pick(rng, 0, 255);
        for (ptrdiff_t y = 3; y < 10; ++y)
            for (ptrdiff_t x = 9; x < 16; ++x) {
                for (int k = 0; k < 3; ++k) in.img[static_cast<size_t>((y * in.pw() + x) * 3 + k)] = 77;
            }
        const fkd::CheapPassCounters c = compare_all(in);
        if (fkd::best_isa() != fkd::Isa::scalar)
            check(c.lone_lanes > 0 && c.single_blocks > 0, in.label + ": filtered one by one");
    }
}

// Range tables from the steepest Gaussian the single-precision pass takes (2^(-3.8 d^2): squared
// distances clipped from 16 on) to nearly flat ones, gray and colour, noise and stripes.
void test_range_tables(Rng& rng) {
    for (double sigma_r : {0.0017, 0.02, 1.0, 100.0})
        for (int gc : {1, 3}) {
            Input in = base("", 5, 37, 4, 3, gc);
            in.table = range_table(256, sigma_r);
            for (ptrdiff_t i = 0; i < in.cells(); ++i)
                for (int k = 0; k < 3; ++k) {
                    const int v = i % in.pw() < in.pw() / 2 ? pick(rng, 0, 255) : (i / in.pw()) % 4 * 60;
                    in.img[static_cast<size_t>(i * 3 + k)] = v;
                    if (k < gc) in.guid[static_cast<size_t>(i * gc + k)] = std::clamp(v + pick(rng, -3, 3), 0, 255);
                }
            char label[80];
            std::snprintf(label, sizeof label, "sigma_r %g, guid_ch %d", sigma_r, gc);
            in.label = label;
            compare_all(in);
        }
}

// Upsampling (upsample.hpp): each phase has a kernel of its own, and its centres are no samples,
// so that every weight of a window may underflow: sigma_r 0.00233 takes the table from 2^-989 at
// a difference of 22 to 0 at 23, a table the single-precision pass still takes for a gray
// guidance. On every path, with the cheap passes on every block and predicted, the bytes and
// events are those of the exact sequence alone, and the vector paths' single-precision pass
// decides pixels.
void test_upsampling(Rng& rng) {
    const ptrdiff_t f = 3, h = 5, w = 40, pad = 2, ws = 2 * pad + 1;
    std::vector<double> kernels;
    for (ptrdiff_t py = 0; py < f; ++py)
        for (ptrdiff_t px = 0; px < f; ++px)
            for (ptrdiff_t i = 0; i < ws; ++i)
                for (ptrdiff_t j = 0; j < ws; ++j) {
                    const double dy = i - pad - ((py + 0.5) / f - 0.5), dx = j - pad - ((px + 0.5) / f - 0.5);
                    kernels.push_back(std::exp(-(dx * dx + dy * dy) / 2.0));
                }
    for (int gc : {1, 3}) {
        std::vector<uint8_t> low(static_cast<size_t>(h * w * 3)), guid(static_cast<size_t>(f * h * f * w * gc));
        for (auto& v : low) v = static_cast<uint8_t>(pick(rng, 100, 160));
        for (size_t i = 0; i < guid.size(); ++i) guid[i] = static_cast<uint8_t>(i % 7 == 0 ? pick(rng, 0, 255) : 120);
        for (double sigma_r : {0.1, 0.00233}) {
            const std::vector<double> table = range_table(256, sigma_r);
            fk::UpsampleRequest u;
            u.factor = static_cast<int>(f);
            fk::FilterRequest& q = u.source;
            q.image = fk::testing::contiguous(low.data(), fk::Sample::uint8, h, w, 3);
            q.guidance = fk::testing::contiguous(guid.data(), fk::Sample::uint8, f * h, f * w, gc);
            q.pad = pad;
            q.kernel_s = kernels.data();
            q.table = table.data();
            q.table_len = 256;
            q.rows = f * h;
            q.cols = f * w;
            q.rounding = fk::Rounding::truncate;
            auto run_with = [&](const fkd::Options& o, int threads, std::vector<uint8_t>& out) {
                out.assign(static_cast<size_t>(q.rows * q.cols * 3), 77);
                q.out = fk::testing::contiguous(out.data(), fk::Sample::uint8, q.rows, q.cols, 3);
                return fkd::upsample_with(u, threads, [] { return false; }, o);
            };
            fkd::Options exact;
            exact.isa = fkd::Isa::scalar;
            exact.cheap_pass = fkd::CheapPassMode::off;
            std::vector<uint8_t> want, got;
            const fk::Result reference = run_with(exact, 1, want);
            char label[80];
            std::snprintf(label, sizeof label, "upsampling, guid_ch %d, sigma_r %g", gc, sigma_r);
            check(reference.status == fk::Status::ok, std::string(label) + ": ran");
            uint64_t single_blocks = 0;
            for_each_path([&](const fkd::Options& path, const std::string& name) {
                fkd::Options o = path;
                fkd::CheapPassCounters counts;
                o.statistics = &counts;
                const fk::Result r = run_with(o, 2, got);
                check(r.status == fk::Status::ok && got == want && r.fp_flags == reference.fp_flags,
                      label + name + ": the exact sequence's bytes and events");
                single_blocks += counts.single_blocks;
            });
            if (fkd::best_isa() != fkd::Isa::scalar && (gc == 1 || sigma_r > 0.01))
                check(single_blocks > 0, std::string(label) + ": the single-precision pass ran");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1905;
    Rng rng(seed);
    std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
    test_plan();
    test_rounding_rule();
    test_prediction(rng);
    test_flat_and_saturated(rng);
    test_means_next_to_integers();
    test_mean_just_above_zero();
    test_images_at_every_sigma(rng);
    test_large_int32_values(rng);
    test_odd_weights(rng);
    test_half_integer_means(rng);
    test_function_images(rng);
    test_rule_paired_rows(rng);
    test_exp2_bound(rng);
    test_float_plan();
    test_means_at_the_single_margin();
    test_lone_lanes(rng);
    test_paired_rows(rng);
    test_upsampling(rng);
    test_range_tables(rng);
    return sovelk::testing::checks_passed();
}
