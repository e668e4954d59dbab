#include "core/cheap_pass.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace sovelk::fused::detail {

namespace {

// The nonzero values of an array, when all of them are finite and positive (zeros of either
// sign are fine): their smallest and largest bit patterns, which order as the values do for
// positive doubles. Read from the bits, so that classifying a caller's values raises no flag.
struct PositiveRange {
    bool all_usable = true;  // no negative, infinite or NaN value
    bool any_nonzero = false;
    uint64_t min_bits = ~uint64_t{0}, max_bits = 0;
};

PositiveRange positive_range(const double* values, ptrdiff_t n) {
    PositiveRange r;
    for (ptrdiff_t i = 0; i < n; ++i) {
        uint64_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        if ((bits << 1) == 0) continue;  // +0.0 or -0.0
        if ((bits >> 52) >= 0x7FF) {     // sign bit set (a negative value), or infinite or NaN
            r.all_usable = false;
            return r;
        }
        r.any_nonzero = true;
        if (bits < r.min_bits) r.min_bits = bits;
        if (bits > r.max_bits) r.max_bits = bits;
    }
    return r;
}

// For a positive finite double with these bits: 2^floor_log2 <= x (subnormals: 2^-1074 <= x)
// and x < 2^(floor_log2 + 1) (subnormals: x < 2^-1022).
int64_t floor_log2(uint64_t bits) {
    const int64_t biased = static_cast<int64_t>(bits >> 52);
    return biased == 0 ? -1074 : biased - 1023;
}
int64_t upper_log2(uint64_t bits) {
    const int64_t biased = static_cast<int64_t>(bits >> 52);
    return biased == 0 ? -1022 : biased - 1022;
}

// Smallest e with 2^e >= x, for x >= 1.
int64_t ceil_log2(double x) {
    int64_t e = 0;
    while (std::ldexp(1.0, static_cast<int>(e)) < x) ++e;
    return e;
}

}  // namespace

CheapPass plan_cheap_pass(const CheapPassFacts& f) {
    CheapPass plan;
    if (f.conversion.kind == Conversion::none || f.offsets < 1 || f.guid_ch < 1) return plan;
    // Non-negative values keep every sum free of cancellation: the error bound is relative, and
    // no sum can fall into the subnormals by cancelling. Other images take a bound relative to
    // their largest magnitude.
    if (!f.magnitudes && !(f.img_lo >= 0.0 && f.img_hi <= 0x1p31)) return plan;
    const PositiveRange k = positive_range(f.kernel_s, f.offsets);
    const PositiveRange t = positive_range(f.table, f.table_used);
    if (!k.all_usable || !t.all_usable || !k.any_nonzero || !t.any_nonzero) return plan;

    // A nonzero weight is spatial x (table entries, one per guidance channel), each product
    // rounded. Rounding is monotone, so 2^lowest <= weight <= 2^highest whatever the roundings,
    // as long as the bounds are representable (the last check below).
    const int64_t gc = f.guid_ch;
    const int64_t lowest = gc * floor_log2(t.min_bits) + floor_log2(k.min_bits);
    const int64_t highest = gc * upper_log2(t.max_bits) + upper_log2(k.max_bits);
    // No cheap sum may overflow: n terms w * P below 2^(highest + value_bits), and a rounded
    // sum of non-negative terms is less than twice the exact one (of terms of any sign, of the
    // sum of their magnitudes).
    const int64_t offset_bits = ceil_log2(static_cast<double>(f.offsets));
    if (f.magnitudes) {
        // Rows whose magnitudes stay below 2^(1000 - highest - offset_bits) keep every sum of
        // either sequence below 2^1001.
        const int64_t room = 1000 - highest - offset_bits;
        if (room < 1) return plan;
        // Sums of terms of any sign may fall into the subnormals, where a rounding errs by up to
        // 2^-1075 whatever the value: divided by a weight sum of 2^-20 or more, such errors stay
        // far below the reach's 2^-1000. The centre's weight bounds every pixel's sum where the
        // centre is a sample of the window; elsewhere (upsampling) the row loop leaves pixels of
        // a smaller sum to the exact sequence.
        const double centre = f.kernel_s[f.offsets / 2], zero = f.zero_difference_weight;
        uint64_t centre_bits, zero_bits;
        std::memcpy(&centre_bits, &centre, sizeof centre_bits);
        std::memcpy(&zero_bits, &zero, sizeof zero_bits);
        if (!f.centre_weighs_one)
            plan.min_sum = 0x1p-20;
        else if (!(centre > 0.0 && zero > 0.0) || floor_log2(centre_bits) + gc * floor_log2(zero_bits) < -20)
            return plan;
        plan.magnitudes = true;
        plan.magnitude_limit = room > 1023 ? DBL_MAX : std::ldexp(1.0, static_cast<int>(room));
    } else {
        const int64_t value_bits = ceil_log2(f.img_hi + 1.0);
        if (highest + value_bits + offset_bits + 1 > 1023) return plan;
    }
    // Paired rows add each pixel's weights in another order than the statements: where the
    // spatial weights of offsets o and -o have the same bits, a pair's weight is the same double
    // from either end.
    bool paired = f.pairs && f.window <= 2 * kMaxPairedPad + 1;
    for (ptrdiff_t i = 0; i < f.offsets && paired; ++i)
        paired = std::memcmp(&f.kernel_s[i], &f.kernel_s[f.offsets - 1 - i], sizeof(double)) == 0;
    // A pixel's sum S is at least its smallest nonzero weight. With S <= 2^(lowest + 1022) each
    // exact quotient w / S, and each cheap value N / S, is zero or at least 2^-1022: normal, so
    // neither sequence underflows, and the bound needs no term for subnormal roundings. A sum in
    // another order lies within a factor 1 + 2 gamma(n) of the statements' sum, so paired rows
    // test it against half the limit.
    const int64_t limit_log2 = lowest + 1022 - (paired ? 1 : 0);
    if (limit_log2 < -1074) return plan;
    plan.sum_limit = limit_log2 > 1023 ? DBL_MAX : std::ldexp(1.0, static_cast<int>(limit_log2));
    // |exact - cheap| <= 2 g / (1 - g) * cheap with g = gamma(n + 1) = (n + 1) u / (1 - (n + 1) u)
    // and u = 2^-53; 3 (n + 2) u exceeds it, with room for the roundings of the test itself. With
    // the weight sum too in another order, the difference grows to about (4 n + 2) u: 5 (n + 2) u.
    plan.margin = (paired ? 5.0 : 3.0) * static_cast<double>(f.offsets + 2) * 0x1p-53;
    plan.paired = paired;
    plan.enabled = true;
    return plan;
}

double magnitude_reach(const CheapPass& plan, double magnitude) {
    // |exact - cheap| <= 2 gamma(n + 1) (1 + gamma) magnitude, which margin * magnitude exceeds
    // with room for the roundings of this product and of v - reach and v + reach.
    return plan.margin * magnitude * (1.0 + 0x1p-50) + 0x1p-1000;
}

namespace {

// gamma_k = k u / (1 - k u): the relative error bound of k roundings of unit roundoff u.
double gamma(double k, double u) { return k * u / (1.0 - k * u); }

constexpr double kU32 = 0x1p-24, kU64 = 0x1p-53;

// Offsets per float32 partial sum of the single-precision pass, at most: longer runs cost fewer
// conversions to double, shorter ones a smaller bound.
constexpr ptrdiff_t kRun = 24;

// Where the centre need not weigh anything (upsampling), pixels whose weights add up to less
// than 2^kLeastSumShare of the spatial weights' sum run the exact sequence: their guidance is
// far from every sample's, which is rare, and above it the weights the cap approximates stay
// negligible.
constexpr int kLeastSumShare = -24;

}  // namespace

FloatPlan plan_float_pass(const CheapPassFacts& f, const CheapPass& cheap) {
    FloatPlan plan;
    if (!cheap.enabled || cheap.magnitudes || f.window < 1 || f.window * f.window != f.offsets) return plan;
    // Its margins decide integers, not float32 numbers.
    if (f.conversion.kind != Conversion::truncate && f.conversion.kind != Conversion::round_half_even) return plan;
    if (!(f.img_lo >= 0.0 && f.img_hi < 0x1p24) || f.guid_ch > 4) return plan;
    const int64_t span = f.table_used - 1;
    if (span < 0 || f.guid_ch * span * span >= (int64_t{1} << 24)) return plan;  // D^2 exact in float32

    // Spatial weights: float32 of them is within a relative 2^-24 and normal, and their products
    // with the range weights (at least 2^-64) stay normal. plan_cheap_pass() has ruled out
    // negative and non-finite ones.
    double sum_s = 0.0, max_s = 0.0;
    for (ptrdiff_t i = 0; i < f.offsets; ++i) {
        const double s = f.kernel_s[i];
        if (s != 0.0 && !(s >= 0x1p-40 && s <= 0x1p40)) return plan;
        sum_s += s;
        max_s = s > max_s ? s : max_s;
    }
    // The least weight sum of a pixel the pass decides: the centre's weight, or a floor the pass
    // checks (2^kLeastSumShare times the spatial weights' sum). A float sum above the floor means
    // an exact sum of at least 0.99 times it: the weights below the cap add at most 2^-59 of sum_s, and
    // the float sums are within a relative 2^-10 of the exact ones. So a pixel whose exact sum
    // is 0 (every weight underflowed) is never decided by this pass.
    const double floor_sum = std::ldexp(sum_s, kLeastSumShare);
    const double least_sum = f.centre_weighs_one ? f.kernel_s[f.offsets / 2] : 0.99 * floor_sum;
    if (!(least_sum > 0.0)) return plan;

    // kappa from the last entry that is not tiny; then every entry is held to 2^(kappa d^2).
    const double* t = f.table;
    ptrdiff_t fit = 0;
    for (ptrdiff_t d = 1; d <= span; ++d)
        if (t[d] >= 0x1p-40) fit = d;
    double kappa = 0.0;
    if (fit > 0) kappa = std::log2(t[fit]) / static_cast<double>(fit * fit);
    if (!(kappa <= 0.0 && kappa >= -4.0)) return plan;
    // The row loop takes 2^(kappa D^2) as 2^((8 kappa D^2) / 8): kappa_hi and kappa_lo carry 8 kappa.
    float kappa_hi = static_cast<float>(kappa);
    float kappa_lo = static_cast<float>(kappa - static_cast<double>(kappa_hi));
    // Either factor of kappa * D^2 is zero or large enough that every partial result of the row
    // loop's product and residual is zero or a normal float (a multiple of 2^-120).
    if (kappa_hi != 0.0f && -kappa_hi < 0x1p-100f) return plan;
    if (std::fabs(kappa_lo) < 0x1p-100f) kappa_lo = 0.0f;
    const double k = static_cast<double>(kappa_hi) + static_cast<double>(kappa_lo);  // exact
    // D^2 >= cap puts kappa D^2 at or below -60, and at most |kappa| <= 4 further.
    const double cap = k == 0.0 ? 0x1p24 : std::fmin(std::ceil(60.0 / -k), 0x1p24);

    double delta = 0.0;
    double max_t = 0.0;
    for (ptrdiff_t d = 0; d <= span; ++d) {
        const double x = k * static_cast<double>(d * d);
        max_t = t[d] > max_t ? t[d] : max_t;
        if (static_cast<double>(d * d) >= cap) {
            if (!(t[d] <= 0x1p-59)) return plan;
            continue;
        }
        const double g = std::exp2(x);  // x in (-60, 0]: a normal result
        const double r = std::fabs(t[d] / g - 1.0);
        if (!(r <= 0x1p-30)) return plan;
        delta = r > delta ? r : delta;
    }
    // exp2 within a few units in the last place and the rounding of x (|x| < 60) and of the
    // relative difference: far below this allowance.
    delta += 0x1p-40;
    if (!(max_t <= 1.0 + 2 * delta)) return plan;

    // The statements' weight sum stays at or below the double-precision pass's sum limit, under
    // which neither of its sequences raises an event.
    const int gc = f.guid_ch;
    double max_weight = max_s;
    for (int c = 0; c < gc; ++c) max_weight *= 2.0;
    if (!(2.0 * static_cast<double>(f.offsets) * max_weight <= cheap.sum_limit)) return plan;
    // The pass computes none of the statements' weight products, so none of them may underflow:
    // the event would go unreported. Every nonzero product is at least 2^lowest, and sum_limit
    // is 2^(lowest + 1022). The check above implies this where the largest spatial weight is
    // near 1, as the centre's exp(0) is; a caller's own tiny weights do not.
    if (!(cheap.sum_limit >= 1.0)) return plan;

    // Relative error of each weight (docs/exact_decision.md): the exponential, the float32
    // roundings of the spatial weight and of the product, the table against the Gaussian and the
    // statements' own products.
    const double weight_error = 1.01 * (kExp2Error + 2 * kU32 + gc * (delta + kU64) + kU64);
    // Offsets whose weights are both below 2^-59 of the spatial weight, over a sum of at least
    // least_sum.
    const double tiny = 1.01 * 0x1p-59 * sum_s / (least_sum * (1.0 - 2 * kU32) * (1.0 - kExp2Error));
    const double range = f.img_hi - f.img_lo;
    const double abs_part = range * (weight_error / (1.0 - weight_error) + tiny);
    // Runs of at most kRun offsets: whole rows where they fit, else rows cut in equal parts.
    const ptrdiff_t rows_per_run = f.window <= kRun ? kRun / f.window : 1;
    const ptrdiff_t parts = (f.window + kRun - 1) / kRun;
    const ptrdiff_t chunk = rows_per_run > 1 ? f.window : (f.window + parts - 1) / parts;
    const ptrdiff_t run = rows_per_run * chunk;  // the longest run
    const double runs = static_cast<double>((f.window + rows_per_run - 1) / rows_per_run * parts);
    // Paired rows (paired_pass.hpp) sum one window row, or a part of one, per run: shorter runs,
    // more of them. The margins cover both.
    const double paired_runs = static_cast<double>(f.window * parts);
    const double num = std::fmax(gamma(static_cast<double>(run), kU32) + gamma(runs, kU64),
                                 gamma(static_cast<double>(chunk), kU32) + gamma(paired_runs, kU64));
    const double den = std::fmax(gamma(static_cast<double>(run - 1), kU32) + gamma(runs, kU64),
                                 gamma(static_cast<double>(chunk - 1), kU32) + gamma(paired_runs, kU64));
    const double rel_part = (num + den + kU64) / ((1.0 - num) * (1.0 - kU64));
    const double statements = gamma(static_cast<double>(f.offsets + 1), kU64);
    plan.pass.abs_margin = 1.01 * abs_part * (1.0 + statements);
    plan.pass.rel_margin = 1.01 * (rel_part + statements * (1.0 + rel_part)) + 4 * kU64;
    // Margins that leave most values undecided are not worth the pass (16-bit images).
    if (!(plan.pass.abs_margin + plan.pass.rel_margin * f.img_hi <= 0.01)) return plan;

    plan.kernel.resize(static_cast<size_t>(f.offsets));
    for (ptrdiff_t i = 0; i < f.offsets; ++i) plan.kernel[static_cast<size_t>(i)] = static_cast<float>(f.kernel_s[i]);
    plan.pass.kappa_hi = 8.0f * kappa_hi;
    plan.pass.kappa_lo = 8.0f * kappa_lo;
    plan.pass.d2_cap = static_cast<float>(cap);
    plan.pass.chunk = chunk;
    plan.pass.chunk_rows = rows_per_run;
    plan.pass.min_sum = f.centre_weighs_one ? 0.0 : floor_sum;
    plan.pass.enabled = true;
    // A pair's weight serves both pixels only where the spatial weights of offsets o and -o are
    // the same float32 number.
    bool symmetric = f.window <= 2 * kMaxPairedPad + 1;
    for (ptrdiff_t i = 0; i < f.offsets && symmetric; ++i)
        symmetric = plan.kernel[static_cast<size_t>(i)] == plan.kernel[static_cast<size_t>(f.offsets - 1 - i)];
    plan.pass.paired = symmetric;
    return plan;
}

}  // namespace sovelk::fused::detail
