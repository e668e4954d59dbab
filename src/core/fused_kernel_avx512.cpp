// AVX-512 instantiation of the fused row loop: two vectors of eight adjacent pixels per block.
// The same template as the AVX2 path with a wider vector type, so the arithmetic per lane is
// identical. The driver calls it only when the CPU reports AVX-512 F, DQ and VL.

#if defined(__x86_64__) || defined(__i386__)

// Every header is included before the target pragma (see fused_kernel_body.hpp).
#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "core/fused_kernel_row.hpp"

// Clang ignores GCC's target pragma; it applies the attribute to every function instead.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma,avx512f,avx512dq,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512dq,avx512vl")
#endif

#include "core/fused_kernel_body.hpp"
#include "core/rule_floats_x86.hpp"

namespace sovelk::fused::detail {
namespace {

struct Avx512Vec : LaneIndices<8> {
    static constexpr int lanes = 8;
    static constexpr bool has_fma = true;
    using D = __m512d;
    using Narrower = ScalarVec;
    static D zero() { return _mm512_setzero_pd(); }
    static D set1(double x) { return _mm512_set1_pd(x); }
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    // Eight scalar loads, as in the AVX2 path; at(l) is lane l's address.
    template <class At>
    static D load_lanes(At at) {
        const __m128d q0 = _mm_loadh_pd(_mm_load_sd(at(0)), at(1));
        const __m128d q1 = _mm_loadh_pd(_mm_load_sd(at(2)), at(3));
        const __m128d q2 = _mm_loadh_pd(_mm_load_sd(at(4)), at(5));
        const __m128d q3 = _mm_loadh_pd(_mm_load_sd(at(6)), at(7));
        const __m256d lo = _mm256_insertf128_pd(_mm256_castpd128_pd256(q0), q1, 1);
        const __m256d hi = _mm256_insertf128_pd(_mm256_castpd128_pd256(q2), q3, 1);
        // The masked insert with a full mask: the plain one merges into an undefined register,
        // which GCC 12 reports as uninitialised although every lane is overwritten.
        const __m512d low_half = _mm512_castpd256_pd512(lo);
        return _mm512_mask_insertf64x4(low_half, 0xFF, low_half, hi, 1);
    }
    static D lookup(const Centre& c, const uint32_t* g) {
        return load_lanes([&](int l) { return c.base[l] + g[l]; });
    }
    // Packed guidance: each lane's range weight, a product of scalars (lane_products), then one
    // vector of them. Inlined by force: Clang otherwise calls it once per offset, passing the
    // fields through memory.
    template <int GC>
    __attribute__((always_inline)) static D field_product(const double* t, const Fields& f, int gc) {
        double p[8];
        lane_products<GC>(t, f, gc, p);
        return _mm512_set_pd(p[7], p[6], p[5], p[4], p[3], p[2], p[1], p[0]);
    }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D fmadd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }    // a * b + c
    static D fnmadd(D a, D b, D c) { return _mm512_fnmadd_pd(a, b, c); }  // c - a * b
    static D quotient_in_fma_domain(D w, D sum, D reciprocal) { return fma_quotient<Avx512Vec>(w, sum, reciprocal); }
    // For the cheap pass, as in the AVX2 path. Masked forms with a full mask, as in load_lanes:
    // the plain ones merge into an undefined register, which GCC 12 reports.
    static D min(D a, D b) { return _mm512_mask_min_pd(a, 0xFF, a, b); }
    static D max(D a, D b) { return _mm512_mask_max_pd(a, 0xFF, a, b); }
    static D trunc(D x) { return _mm512_mask_roundscale_pd(x, 0xFF, x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D nearest(D x) {
        return _mm512_mask_roundscale_pd(x, 0xFF, x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    static unsigned differ(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    // float32_differs() of each lane, on the bits.
    static __m512i float32_bits(__m512i b) {
        const __m512i odd = _mm512_and_si512(_mm512_maskz_srli_epi64(0xFF, b, 29), _mm512_set1_epi64(1));
        const __m512i up = _mm512_add_epi64(_mm512_add_epi64(b, _mm512_set1_epi64(kFloat32Half)), odd);
        return _mm512_and_si512(up, _mm512_set1_epi64(static_cast<int64_t>(kFloat32Cut)));
    }
    static unsigned float32_differ(D a, D b) {
        const __m512i x = _mm512_castpd_si512(a), y = _mm512_castpd_si512(b);
        const __m512i magnitude = _mm512_set1_epi64(0x7FFFFFFFFFFFFFFF);
        const __m512i low = _mm512_set1_epi64(static_cast<int64_t>(kFloat32Low));
        const __m512i high = _mm512_set1_epi64(static_cast<int64_t>(kFloat32High));
        const __m512i mx = _mm512_and_si512(x, magnitude), my = _mm512_and_si512(y, magnitude);
        const __mmask8 normal = _mm512_cmpge_epi64_mask(mx, low) & _mm512_cmplt_epi64_mask(mx, high) &
                                _mm512_cmpge_epi64_mask(my, low) & _mm512_cmplt_epi64_mask(my, high);
        return static_cast<unsigned>(static_cast<__mmask8>(
            ~(normal & _mm512_cmpeq_epi64_mask(float32_bits(x), float32_bits(y)))));
    }
    // Range checks on the values' bit patterns, as in the AVX2 path (0 <= lo <= hi): integer
    // compares raise no flag on a NaN lane, where Clang makes the quiet predicates signaling.
    static __m512i bits(D x) { return _mm512_castpd_si512(x); }
    static __m512i bits(double v) { return bits(_mm512_set1_pd(v)); }
    static __mmask8 inside(D x, double lo, double hi) {
        return _mm512_cmpgt_epi64_mask(bits(x), bits(lo)) & _mm512_cmple_epi64_mask(bits(x), bits(hi));
    }
    static unsigned outside(D x, double lo, double hi) { return inside(x, lo, hi) ^ 0xFFu; }
    static D keep_inside(D x, double lo, double hi, double other) {
        return _mm512_mask_blend_pd(inside(x, lo, hi), _mm512_set1_pd(other), x);
    }
    // True when lo <= |x| <= hi in every lane (0 <= lo <= hi), on bit patterns as inside().
    static bool abs_in_range(D x, double lo, double hi) {
        const __m512i magnitude = bits(_mm512_abs_pd(x));
        const __mmask8 ok = _mm512_cmpge_epi64_mask(magnitude, bits(lo)) & _mm512_cmple_epi64_mask(magnitude, bits(hi));
        return ok == 0xFF;
    }
};

// Sixteen floats: the lanes of one block of Pair<Avx512Vec>, for the single-precision pass. Masked
// forms with a full mask where the plain ones merge into an undefined register (see load_lanes).
struct Avx512Float {
    static constexpr bool available = true;
    // No paired rows (paired_pass.hpp) here: the loads of their runs, not the weights, set the
    // pace of this path (docs/exact_decision.md, "Tried and dropped").
    static constexpr bool pairs = false;
    static constexpr int lanes = 16;
    static constexpr bool reread_invariants = false;  // thirty-two registers hold them all
    using W = __m512;
    static W zero() { return _mm512_setzero_ps(); }
    static W set1(float x) { return _mm512_set1_ps(x); }
    static W load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, W x) { _mm512_storeu_ps(p, x); }
    static W add(W a, W b) { return _mm512_add_ps(a, b); }
    static W sub(W a, W b) { return _mm512_sub_ps(a, b); }
    static W mul(W a, W b) { return _mm512_mul_ps(a, b); }
    static W fmadd(W a, W b, W c) { return _mm512_fmadd_ps(a, b, c); }  // a * b + c
    static W fmsub(W a, W b, W c) { return _mm512_fmsub_ps(a, b, c); }  // a * b - c
    static W round(W x) {
        return _mm512_mask_roundscale_ps(x, 0xFFFF, x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    // q * 2^(n / 8) for integral n <= 0: table[n mod 16] * q (the table holds its eight entries
    // twice), with floor(n / 8) added to the product's exponent field (exp2_eighths).
    static W scale_eighths(W q, W n, const float* table) {
        const __m512i none = _mm512_setzero_si512();
        const __m512i ni = _mm512_mask_cvtps_epi32(none, 0xFFFF, n);
        const __m512 p = _mm512_mul_ps(_mm512_mask_permutexvar_ps(q, 0xFFFF, ni, _mm512_load_ps(table)), q);
        const __m512i e = _mm512_and_si512(_mm512_mask_slli_epi32(none, 0xFFFF, ni, 20), _mm512_set1_epi32(-(1 << 23)));
        return _mm512_castsi512_ps(_mm512_add_epi32(_mm512_castps_si512(p), e));
    }
    // min for non-negative floats, whose bit patterns order as their values: an integer minimum.
    static W min_nonnegative(W a, W b) {
        const __m512i x = _mm512_castps_si512(a);
        return _mm512_castsi512_ps(_mm512_mask_min_epi32(x, 0xFFFF, x, _mm512_castps_si512(b)));
    }
    // The sixteen floats as the block's doubles, exactly.
    static void widen(W x, Pair<Avx512Vec>::D* out) {
        const __m256 none = _mm256_setzero_ps();
        const __m512d merge = _mm512_setzero_pd();
        out[0] = {_mm512_mask_cvtps_pd(merge, 0xFF, _mm512_mask_extractf32x8_ps(none, 0xFF, x, 0)),
                  _mm512_mask_cvtps_pd(merge, 0xFF, _mm512_mask_extractf32x8_ps(none, 0xFF, x, 1))};
    }
};

// The range rule's floats of one block: eight in an AVX register for Avx512Vec, sixteen for a
// Pair of them. Masked forms with a full mask as in Avx512Float.
struct Avx512Rule8 : M256Rule {
    static __m512d widen(W x) { return _mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF, x); }
    static W narrow(__m512d d) { return _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xFF, d); }
};
struct Avx512Rule16 : Avx512Float {
    static W min(W a, W b) { return min_nonnegative(a, b); }
    static W residual(W a, W b, W p) { return fmsub(a, b, p); }
    static W round_current(W x) { return _mm512_mask_roundscale_ps(x, 0xFFFF, x, _MM_FROUND_CUR_DIRECTION); }
    static Pair<Avx512Vec>::D widen(W x) {
        Pair<Avx512Vec>::D d;
        Avx512Float::widen(x, &d);
        return d;
    }
    static W narrow(Pair<Avx512Vec>::D d) {
        const __m256 none = _mm256_setzero_ps();
        const __m512 lo = _mm512_castps256_ps512(_mm512_mask_cvtpd_ps(none, 0xFF, d.lo));
        return _mm512_mask_insertf32x8(lo, 0xFFFF, lo, _mm512_mask_cvtpd_ps(none, 0xFF, d.hi), 1);
    }
};
template <>
struct RuleFloatsOf<Avx512Vec> {
    using type = Avx512Rule8;
};
template <>
struct RuleFloatsOf<Pair<Avx512Vec>> {
    using type = Avx512Rule16;
};

}  // namespace

void filter_row_avx512(const RowArgs& args) { filter_row<Pair<Avx512Vec>, Avx512Float>(args); }

}  // namespace sovelk::fused::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
