// The range rule's float32 arithmetic (range_rule.hpp) in SSE and AVX registers of four and
// eight floats, with AVX2 and FMA. Included by the x86 instruction-set translation units after
// fused_kernel_body.hpp, under their target pragma; each adds the conversions to its own double
// vector type. Every operation rounds once, as ScalarRule's does, so that the weights have the
// same bits on every path.

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
    static W scale_eighths(W q, W n, const float* table) {
        const __m256i ni = _mm256_cvtps_epi32(n);  // n is integral: exact
        const __m256 p = _mm256_mul_ps(_mm256_permutevar8x32_ps(_mm256_load_ps(table), ni), q);
        const __m256i e = _mm256_and_si256(_mm256_slli_epi32(ni, 20), _mm256_set1_epi32(-(1 << 23)));
        return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(p), e));
    }
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

}  // namespace
}  // namespace sovelk::fused::detail
