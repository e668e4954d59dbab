// The range rule's weights in the row loop: pass 1 for a guidance of any type but uint8, whose
// range weight is computed (RangeRule, fused_kernel.hpp) instead of looked up. Part of
// fused_kernel_body.hpp, included by it: the same anonymous namespace, the same rule of calling
// no library function.
//
// Every path evaluates the rule with the same float32 operations in the same order, one rounding
// each, so the weights have the same bits whatever the vector width; the product with the spatial
// weight and everything after it are the exact sequence's float64 operations.

namespace sovelk::fused::detail {
namespace {

// 2^(f / 8) for |f| <= 1/2 + 2^-14 within a relative 3.75e-8 (float32 coefficients, lowest
// first), and 2^(j / 8) for j = 0 .. 7 rounded to float32 (within a relative 3.2e-8), twice over
// for a permute that reads four index bits.
constexpr float kExp2Poly[4] = {0x1p+0f, 0x1.62e432p-4f, 0x1.ec0f8ep-9f, 0x1.c6a59ap-14f};
alignas(64) constexpr float kExp2Eighths[16] = {
    0x1p+0f, 0x1.172b84p+0f, 0x1.306fe0p+0f, 0x1.4bfdaep+0f, 0x1.6a09e6p+0f, 0x1.8ace54p+0f, 0x1.ae89fap+0f, 0x1.d5818ep+0f,
    0x1p+0f, 0x1.172b84p+0f, 0x1.306fe0p+0f, 0x1.4bfdaep+0f, 0x1.6a09e6p+0f, 0x1.8ace54p+0f, 0x1.ae89fap+0f, 0x1.d5818ep+0f};

// The rule's float32 arithmetic one value at a time: ScalarVec's companion, for the scalar path
// and the pixels the vector paths filter one by one.
struct ScalarRule {
    using W = float;
    static W load(const float* p) { return *p; }
    static W set1(float x) { return x; }
    static W add(W a, W b) { return a + b; }
    static W sub(W a, W b) { return a - b; }
    static W mul(W a, W b) { return a * b; }
    static W min(W a, W b) { return b < a ? b : a; }  // never NaN here
    // a * b - p rounded once, as a fused multiply-subtract gives it: the float product is exact in
    // double and p lies within its rounding (or is 0), so the double difference is exact too.
    static W residual(W a, W b, W p) {
        return static_cast<float>(static_cast<double>(a) * static_cast<double>(b) - static_cast<double>(p));
    }
    // To an integer in the thread's rounding mode, as the vector paths' round instruction does:
    // for |x| < 2^22 the sum has no fraction bit left, and subtracting back is exact.
    static W round_current(W x) { return (x + 0x1.8p23f) - 0x1.8p23f; }
    // table[n mod 8] * q rounded once, times 2^floor(n / 8) added to the exponent (the result is
    // normal, so that is exact).
    static W scale_eighths(W q, W n, const float* table) {
        const int32_t ni = static_cast<int32_t>(n);  // integral already
        const float p = table[ni & 7] * q;
        uint32_t bits;
        __builtin_memcpy(&bits, &p, sizeof bits);
        bits += static_cast<uint32_t>((ni - (ni & 7)) / 8) << 23;
        float r;
        __builtin_memcpy(&r, &bits, sizeof r);
        return r;
    }
    static double widen(W x) { return x; }
    static W narrow(double x) { return static_cast<float>(x); }
};

// The float32 vector type of the rule for the double vector type V, with V's lanes. Each
// instruction set names its own; the scalar path's is here.
template <class V>
struct RuleFloatsOf;
template <>
struct RuleFloatsOf<ScalarVec> {
    using type = ScalarRule;
};

template <class RF>
struct RuleConstants {
    typename RF::W kappa_hi, kappa_lo, cap, poly[4];
    explicit RuleConstants(const RangeRule& rule)
        : kappa_hi(RF::set1(rule.kappa_hi)), kappa_lo(RF::set1(rule.kappa_lo)), cap(RF::set1(rule.cap)) {
        for (int k = 0; k < 4; ++k) poly[k] = RF::set1(kExp2Poly[k]);
    }
};

// The range weight of squared distances D2 (already clipped to the cap), as RangeRule states it.
template <class RF>
inline typename RF::W rule_weight(const RuleConstants<RF>& k, typename RF::W d2) {
    using W = typename RF::W;
    const W hi = RF::mul(k.kappa_hi, d2);
    const W lo = RF::add(RF::residual(k.kappa_hi, d2, hi), RF::mul(k.kappa_lo, d2));
    const W n = RF::round_current(hi);
    const W f = RF::add(RF::sub(hi, n), lo);  // hi - n is exact: |hi| <= 961
    W q = RF::add(RF::mul(k.poly[3], f), k.poly[2]);
    q = RF::add(RF::mul(q, f), k.poly[1]);
    q = RF::add(RF::mul(q, f), k.poly[0]);
    return RF::scale_eighths(q, n, kExp2Eighths);
}

// The clipped squared distance D2 the rule weighs, between the guidance at `at` and at `other`
// (channel planes padded_width apart): other minus at, channel by channel. Wide: the guidance is
// in float64 (RowArgs::guid_rows_f64) and each difference is rounded to float32 after it is
// taken; else in float32, where the differences are float32 subtractions. Either way the
// distance from `other` to `at` has the same bits as from `at` to `other` (a rounded difference
// is the negated reverse one), which lets a pixel pair's weight serve both (paired_rule.hpp).
template <class V, int GC, bool Wide, class T, class RF = typename RuleFloatsOf<V>::type>
inline typename RF::W rule_distance(const RowArgs& a, const RuleConstants<RF>& k, const T* other, const T* at) {
    using W = typename RF::W;
    const int gc = GC > 0 ? GC : a.guid_ch;
    const ptrdiff_t pw = a.padded_width;
    auto difference = [&](int ch) -> W {
        if constexpr (Wide)
            return RF::narrow(V::sub(V::load(other + ch * pw), V::load(at + ch * pw)));
        else
            return RF::sub(RF::load(other + ch * pw), RF::load(at + ch * pw));
    };
    W d = difference(0);
    // Clipped after every channel: equal to clipping the whole sum (adding non-negative terms
    // never brings a sum back under the cap), and no sum can overflow.
    W d2 = RF::min(RF::mul(d, d), k.cap);
    for (int ch = 1; ch < gc; ++ch) {
        d = difference(ch);
        d2 = RF::min(RF::add(d2, RF::mul(d, d)), k.cap);
    }
    return d2;
}

// Pass 1's weight of an offset: its spatial weight (in every lane) times the rule's weight of D2,
// in float64. Paired rows compute the very same product (paired_rule.hpp).
template <class V, class RF>
inline typename V::D rule_offset_weight(const RuleConstants<RF>& k, typename V::D spatial, typename RF::W d2) {
    return V::mul(spatial, RF::widen(rule_weight<RF>(k, d2)));
}

// The guidance rows the rule reads: float64 where Wide, else float32.
template <bool Wide>
inline auto rule_guidance(const RowArgs& a, ptrdiff_t row) {
    if constexpr (Wide)
        return a.guid_rows_f64[row];
    else
        return a.guid_rows_f32[row];
}
template <bool Wide>
inline auto rule_centre(const RowArgs& a) {
    if constexpr (Wide)
        return a.centre_f64;
    else
        return a.centre_f32;
}

// Pass 1 with the rule's weights for `lanes` pixels from column c, as weight_sweep() does it with
// the table's: each offset's weight (spatial weight times R, in float64) stored `stride` doubles
// after the last, if Sums keeps them, and summed in offset order from +0.0.
template <class V, int GC, bool Wide, class Sums>
inline typename V::D rule_sweep(const RowArgs& a, ptrdiff_t c, double* weights, ptrdiff_t stride, Sums& sums) {
    using RF = typename RuleFloatsOf<V>::type;
    using W = typename RF::W;
    using D = typename V::D;
    const ptrdiff_t pw = a.padded_width;
    const ptrdiff_t ws = 2 * a.pad + 1;
    const RuleConstants<RF> k(a.rule);
    // The centre's guidance (RowArgs::centre_guid and its kin) is at padded column c + pad.
    const auto centre = rule_centre<Wide>(a) + c + a.pad;
    D sum = V::zero();
    const double* spatial = a.kernel_s;
    double* wp = weights;
    for (ptrdiff_t ox = 0; ox < ws; ++ox) {
        const double* p = a.img_rows[ox] + c;
        const auto row = rule_guidance<Wide>(a, ox) + c;
        for (ptrdiff_t oy = 0; oy < ws; ++oy) {
            const W d2 = rule_distance<V, GC, Wide>(a, k, row + oy, centre);
            const D v = rule_offset_weight<V>(k, V::set1(spatial[oy]), d2);
            sum = V::add(sum, v);
            sums.add(v, p + oy, pw);
            if (Sums::keep_weights) V::store(wp, v);
            wp += stride;
        }
        spatial += ws;
    }
    return sum;
}

}  // namespace
}  // namespace sovelk::fused::detail
