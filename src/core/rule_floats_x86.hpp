// Float vector types both x86 instruction-set translation units use, with AVX2 and FMA: the range
// rule's float32 arithmetic (range_rule.hpp) in SSE and AVX registers of four and eight floats,
// and the single-precision pass's sixteen floats in two AVX registers. Included after
// fused_kernel_body.hpp, under the target pragma; each unit adds the conversions to its own
// double vector types. The rule's operations round once each, as ScalarRule's do, so that the
// weights have the same bits on every path.

namespace sovelk::fused::detail {
namespace {

struct M256Rule {
    using W = __m256;
    static W load(const float* p) { return _mm256_loadu_ps(p); }
    static W set1(float x) { return _mm256_set1_ps(x); }
    static W add(W a, W b) { return _mm256_add_ps(a, b); }
    static W sub(W a, W b) { return _mm256_sub_ps(a, b); }
    static W mul(W a, W b) { return _mm256_mul_ps(a, b); }
    static W min(W a, W b) { return _mm256_min_ps(a, b); }
    static W residual(W a, W b, W p) { return _mm256_fmsub_ps(a, b, p); }  // exact where it matters
    static W round_current(W x) { return _mm256_round_ps(x, _MM_FROUND_CUR_DIRECTION); }
    // table[n mod 8] * q, then floor(n / 8) added to the product's exponent field.
    static W scale_eighths(W q, W n, __m256 table) {
        const __m256i ni = _mm256_cvtps_epi32(n);  // n is integral: exact
        const __m256 p = _mm256_mul_ps(_mm256_permutevar8x32_ps(table, ni), q);
        const __m256i e = _mm256_and_si256(_mm256_slli_epi32(ni, 20), _mm256_set1_epi32(-(1 << 23)));
        return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(p), e));
    }
    static W scale_eighths(W q, W n, const float* table) { return scale_eighths(q, n, _mm256_load_ps(table)); }
};

struct M128Rule {
    using W = __m128;
    static W load(const float* p) { return _mm_loadu_ps(p); }
    static W set1(float x) { return _mm_set1_ps(x); }
    static W add(W a, W b) { return _mm_add_ps(a, b); }
    static W sub(W a, W b) { return _mm_sub_ps(a, b); }
    static W mul(W a, W b) { return _mm_mul_ps(a, b); }
    static W min(W a, W b) { return _mm_min_ps(a, b); }
    static W residual(W a, W b, W p) { return _mm_fmsub_ps(a, b, p); }
    static W round_current(W x) { return _mm_round_ps(x, _MM_FROUND_CUR_DIRECTION); }
    static W scale_eighths(W q, W n, const float* table) {
        const __m128i ni = _mm_cvtps_epi32(n);
        // The eight entries need the eight-lane permute; its upper lanes are ignored.
        const __m128 t = _mm256_castps256_ps128(_mm256_permutevar8x32_ps(_mm256_load_ps(table), _mm256_castsi128_si256(ni)));
        const __m128 p = _mm_mul_ps(t, q);
        const __m128i e = _mm_and_si128(_mm_slli_epi32(ni, 20), _mm_set1_epi32(-(1 << 23)));
        return _mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(p), e));
    }
};

// Sixteen floats in two AVX registers, for the AVX2 path's single-precision pass; Widen turns
// them into the path's double vectors.
template <class Widen>
struct TwoM256Float {
    static constexpr bool pairs = true;  // paired rows (paired_pass.hpp) pay on this path
    static constexpr bool available = true;
    static constexpr int lanes = 16;
    // Sixteen registers cannot hold the loop's sums and its invariants: see reread().
    static constexpr bool reread_invariants = true;
    struct W {
        __m256 lo, hi;
    };
    template <class Op>
    static W each(Op op, W a, W b) {
        return {op(a.lo, b.lo), op(a.hi, b.hi)};
    }
    static W zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }
    static W set1(float x) { return {_mm256_set1_ps(x), _mm256_set1_ps(x)}; }
    static W load(const float* p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
    static void store(float* p, W x) {
        _mm256_storeu_ps(p, x.lo);
        _mm256_storeu_ps(p + 8, x.hi);
    }
    static W add(W a, W b) { return each(_mm256_add_ps, a, b); }
    static W sub(W a, W b) { return each(_mm256_sub_ps, a, b); }
    static W mul(W a, W b) { return each(_mm256_mul_ps, a, b); }
    static W fmadd(W a, W b, W c) {  // a * b + c
        return {_mm256_fmadd_ps(a.lo, b.lo, c.lo), _mm256_fmadd_ps(a.hi, b.hi, c.hi)};
    }
    static W fmsub(W a, W b, W c) {  // a * b - c
        return {_mm256_fmsub_ps(a.lo, b.lo, c.lo), _mm256_fmsub_ps(a.hi, b.hi, c.hi)};
    }
    // min for non-negative floats, whose bit patterns order as their values: an integer minimum.
    static __m256 min_nonnegative(__m256 a, __m256 b) {
        return _mm256_castsi256_ps(_mm256_min_epi32(_mm256_castps_si256(a), _mm256_castps_si256(b)));
    }
    static W min_nonnegative(W a, W b) { return {min_nonnegative(a.lo, b.lo), min_nonnegative(a.hi, b.hi)}; }
    static __m256 round(__m256 x) { return _mm256_round_ps(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static W round(W x) { return {round(x.lo), round(x.hi)}; }
    // q * 2^(n / 8) for integral n <= 0, as the rule computes it (the result stays normal,
    // exp2_eighths), one table load for both registers.
    static W scale_eighths(W q, W n, const float* table) {
        const __m256 t = _mm256_load_ps(table);
        return {M256Rule::scale_eighths(q.lo, n.lo, t), M256Rule::scale_eighths(q.hi, n.hi, t)};
    }
    // The sixteen floats as the blocks' doubles, exactly.
    static void widen(W x, typename Widen::D* out) { Widen::apply(x.lo, x.hi, out); }
};

}  // namespace
}  // namespace sovelk::fused::detail
