#include "core/cheap_pass.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

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
    // no sum can fall into the subnormals by cancelling.
    if (!(f.img_lo >= 0.0 && f.img_hi <= 0x1p31)) return plan;
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
    // sum of non-negative terms is less than twice the exact one.
    const int64_t value_bits = ceil_log2(f.img_hi + 1.0);
    const int64_t offset_bits = ceil_log2(static_cast<double>(f.offsets));
    if (highest + value_bits + offset_bits + 1 > 1023) return plan;
    // A pixel's sum S is at least its smallest nonzero weight. With S <= 2^(lowest + 1022) each
    // exact quotient w / S, and each cheap value N / S, is zero or at least 2^-1022: normal, so
    // neither sequence underflows, and the bound needs no term for subnormal roundings.
    const int64_t limit_log2 = lowest + 1022;
    if (limit_log2 < -1074) return plan;
    plan.sum_limit = limit_log2 > 1023 ? DBL_MAX : std::ldexp(1.0, static_cast<int>(limit_log2));
    // |exact - cheap| <= 2 g / (1 - g) * cheap with g = gamma(n + 1) = (n + 1) u / (1 - (n + 1) u)
    // and u = 2^-53; 3 (n + 2) u exceeds it, with room for the roundings of the test itself.
    plan.margin = 3.0 * static_cast<double>(f.offsets + 2) * 0x1p-53;
    plan.enabled = true;
    return plan;
}

}  // namespace sovelk::fused::detail
