// The double-precision cheap pass: one divide per pixel from the weighted sums of pass 1, stored
// where its proven bound decides the conversion, the exact sequence run where it does not.
//
// Part of the row loop (fused_kernel_body.hpp), included by it: the same anonymous namespace, the
// same rule of calling no library function.

namespace sovelk::fused::detail {
namespace {

// Per pixel and channel, v = N / S with N the sum over the offsets of w_i * P_i (CheapSums) and
// S the exact weight sum of pass 1: one divide per pixel instead of one per offset and no second
// pass. docs/exact_decision.md shows |exact - v| <= margin * v where 0 < S <= sum_limit; if the
// conversion then gives the same integer at v - margin v and at v + margin v, it gives that
// integer at the exact value too (it is monotone), so v is stored in its place.

// The driver's conversion, on values that are finite here.
template <class V>
inline typename V::D convert(const OutputConversion& conv, typename V::D x) {
    x = V::min(V::max(x, V::set1(conv.lo)), V::set1(conv.hi));
    return conv.kind == Conversion::truncate ? V::trunc(x) : V::nearest(x);
}

// Lanes whose values lo and hi may convert to different outputs: different integers, or
// different float32 numbers (V::float32_differ, which also takes lanes beyond float32's normal
// range as undecided).
template <class V>
inline unsigned differ_converted(const OutputConversion& conv, typename V::D lo, typename V::D hi) {
    if (conv.kind == Conversion::to_float32) return V::float32_differ(lo, hi);
    return V::differ(convert<V>(conv, lo), convert<V>(conv, hi));
}

// Lanes whose value v may convert to another output than the exact value within the bound. The
// reach is margin * max(v, 1): no less, and never subnormal, so that a value as small as 2^-1022
// raises no underflow here (v - reach is then exact, the operands being close); for images of
// any sign, the row's reach.
template <class V>
inline unsigned undecided(const RowArgs& a, typename V::D v) {
    const typename V::D reach = a.cheap.magnitudes ? V::set1(a.reach)
                                                   : V::mul(V::max(v, V::set1(1.0)), V::set1(a.cheap.margin));
    return differ_converted<V>(a.conversion, V::sub(v, reach), V::add(v, reach));
}

// The cheap values v = N_k / S into acc[k * lanes + lane]; returns the lanes it cannot decide.
template <class V, int K, bool Store>
inline unsigned cheap_values(const RowArgs& a, const CheapSums<V, K, Store>& sums, typename V::D sum, double* acc) {
    // Outside the trusted range of sums the lanes divide by 1.0 instead, which raises nothing.
    unsigned lanes = V::outside(sum, a.cheap.min_sum, a.cheap.sum_limit);
    const typename V::D divisor = V::keep_inside(sum, a.cheap.min_sum, a.cheap.sum_limit, 1.0);
    for (int k = 0; k < K; ++k) {
        const typename V::D v = V::div(sums.total[k], divisor);
        lanes |= undecided<V>(a, v);
        V::store(acc + k * V::lanes, v);
    }
    return lanes;
}

// The same pixels by the cheap pass with K image channels, and by the exact sequence where it
// cannot decide. Returns the undecided lanes.
template <class V, int GC, Weigh How, int K, bool Store>
__attribute__((noinline)) unsigned cheap_block(const RowArgs& a, ptrdiff_t c) {
    CheapSums<V, K, Store> sums;
    const typename V::D sum = pass_one<V, GC, How>(a, c, a.scratch, sums);
    alignas(kScratchAlign) double acc[K * kMaxLanes];
    const unsigned lanes = cheap_values<V>(a, sums, sum, acc);
    if (lanes == 0)
        scatter<V>(a, c, acc, 0, K);
    else if (Store)
        exact_values<V>(a, c, a.scratch, sum);
    else
        exact_block<V, GC, How>(a, c);
    return lanes;
}

// Output pixels c .. c + lanes - 1 of the row. K > 0 (the image's channel count) tries the
// double-precision cheap pass first, unless the block's history says to skip it; see
// note_cheap_pass for `counted`.
template <class V, int GC, Weigh How, int K>
inline void filter_block(const RowArgs& a, ptrdiff_t c, uint16_t* history, unsigned counted) {
    if constexpr (K > 0) {
        if (!skips_cheap_pass(a, history)) {
            const bool failed_lately = history != nullptr && history_level(*history) > 0;
            const unsigned lanes = failed_lately ? cheap_block<V, GC, How, K, true>(a, c)
                                                 : cheap_block<V, GC, How, K, false>(a, c);
            note_cheap_pass(a, history, lanes, counted, lanes != 0);
            return;
        }
    }
    exact_block<V, GC, How>(a, c);
}

}  // namespace
}  // namespace sovelk::fused::detail
