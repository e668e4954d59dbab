// AVX2 + FMA instantiation of the fused row loop: two vectors of four adjacent pixels per block.
// Compiled for those instructions through a target pragma rather than a per-file compiler flag,
// so the build needs no special case; the driver calls it only when the CPU reports AVX2 and FMA.

#if defined(__x86_64__) || defined(__i386__)

// Every header is included before the target pragma: library inline functions compiled under it
// could be merged with the baseline copies used elsewhere (see fused_kernel_body.hpp).
#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "core/fused_kernel_row.hpp"

// Clang ignores GCC's target pragma; it applies the attribute to every function instead.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

#include "core/fused_kernel_body.hpp"
#include "core/rule_floats_x86.hpp"

namespace sovelk::fused::detail {
namespace {

struct Avx2Vec : LaneIndices<4> {
    static constexpr int lanes = 4;
    static constexpr bool has_fma = true;
    using D = __m256d;
    using Narrower = ScalarVec;
    static D zero() { return _mm256_setzero_pd(); }
    static D set1(double x) { return _mm256_set1_pd(x); }
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    // Four scalar loads: on this class of CPU they beat vgatherdpd, and they need no index
    // arithmetic in vector registers at all. at(l) is lane l's address.
    template <class At>
    static D load_lanes(At at) {
        const __m128d lo = _mm_loadh_pd(_mm_load_sd(at(0)), at(1));
        const __m128d hi = _mm_loadh_pd(_mm_load_sd(at(2)), at(3));
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
    }
    static D lookup(const Centre& c, const uint32_t* g) {
        return load_lanes([&](int l) { return c.base[l] + g[l]; });
    }
    // Packed guidance: each lane's range weight, a product of scalars (lane_products), then one
    // vector of them. Inlined by force: Clang otherwise calls it once per offset, passing the
    // fields through memory.
    template <int GC>
    __attribute__((always_inline)) static D field_product(const double* t, const Fields& f, int gc) {
        double p[4];
        lane_products<GC>(t, f, gc, p);
        return _mm256_set_pd(p[3], p[2], p[1], p[0]);
    }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }    // a * b + c
    static D fnmadd(D a, D b, D c) { return _mm256_fnmadd_pd(a, b, c); }  // c - a * b
    static D quotient_in_fma_domain(D w, D sum, D reciprocal) { return fma_quotient<Avx2Vec>(w, sum, reciprocal); }
    // For the cheap pass, on finite values: rounding with an explicit mode and exceptions
    // suppressed, quiet compares; lane masks with bit l for lane l.
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D trunc(D x) { return _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D nearest(D x) { return _mm256_round_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static unsigned differ(D a, D b) { return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_NEQ_UQ))); }
    // float32_differs() of each lane, on the bits.
    static __m256i float32_bits(__m256i b) {
        const __m256i odd = _mm256_and_si256(_mm256_srli_epi64(b, 29), _mm256_set1_epi64x(1));
        const __m256i up = _mm256_add_epi64(_mm256_add_epi64(b, _mm256_set1_epi64x(kFloat32Half)), odd);
        return _mm256_and_si256(up, _mm256_set1_epi64x(static_cast<int64_t>(kFloat32Cut)));
    }
    static __m256i float32_abnormal(__m256i b) {  // magnitude outside [2^-126, 2^127)
        const __m256i m = _mm256_and_si256(b, _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
        return _mm256_or_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<int64_t>(kFloat32Low)), m),
                               _mm256_cmpgt_epi64(m, _mm256_set1_epi64x(static_cast<int64_t>(kFloat32High - 1))));
    }
    static unsigned float32_differ(D a, D b) {
        const __m256i x = _mm256_castpd_si256(a), y = _mm256_castpd_si256(b);
        const __m256i same = _mm256_cmpeq_epi64(float32_bits(x), float32_bits(y));
        const __m256i bad = _mm256_or_si256(_mm256_or_si256(float32_abnormal(x), float32_abnormal(y)),
                                            _mm256_xor_si256(same, _mm256_set1_epi64x(-1)));
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(bad)));
    }
    // Range checks on the values' bit patterns, as signed 64-bit integers: for 0 <= lo <= hi,
    // lo < x <= hi exactly when lo's pattern < x's <= hi's, a negative x (-0.0 too) being a
    // negative integer and +inf, then NaN, lying above every finite value. Integer compares raise
    // no floating-point flag; Clang turns quiet ordered compare predicates into signaling ones,
    // which raise invalid on a NaN lane that the reference arithmetic leaves unflagged.
    static __m256i bits(D x) { return _mm256_castpd_si256(x); }
    static __m256i bits(double v) { return bits(_mm256_set1_pd(v)); }
    static D inside(D x, double lo, double hi) {
        return _mm256_castsi256_pd(_mm256_andnot_si256(_mm256_cmpgt_epi64(bits(x), bits(hi)),
                                                       _mm256_cmpgt_epi64(bits(x), bits(lo))));
    }
    static unsigned outside(D x, double lo, double hi) {
        return static_cast<unsigned>(_mm256_movemask_pd(inside(x, lo, hi))) ^ 0xFu;
    }
    static D keep_inside(D x, double lo, double hi, double other) {
        return _mm256_blendv_pd(_mm256_set1_pd(other), x, inside(x, lo, hi));
    }
    // True when lo <= |x| <= hi in every lane (0 <= lo <= hi), on bit patterns as inside(): a
    // NaN lane just fails, raising no invalid flag that the reference arithmetic would not raise.
    static bool abs_in_range(D x, double lo, double hi) {
        const __m256i magnitude = bits(_mm256_andnot_pd(_mm256_set1_pd(-0.0), x));
        const __m256i out = _mm256_or_si256(_mm256_cmpgt_epi64(bits(lo), magnitude),
                                            _mm256_cmpgt_epi64(magnitude, bits(hi)));
        return _mm256_testz_si256(out, out) != 0;
    }
};

// Sixteen floats in two vectors: the lanes of two blocks of Pair<Avx2Vec>, for the
// single-precision pass.
struct Avx2Widen {
    using D = Pair<Avx2Vec>::D;
    static void apply(__m256 lo, __m256 hi, D* out) {
        out[0] = {_mm256_cvtps_pd(_mm256_castps256_ps128(lo)), _mm256_cvtps_pd(_mm256_extractf128_ps(lo, 1))};
        out[1] = {_mm256_cvtps_pd(_mm256_castps256_ps128(hi)), _mm256_cvtps_pd(_mm256_extractf128_ps(hi, 1))};
    }
};
using Avx2Float = TwoM256Float<Avx2Widen>;

// The range rule's floats of one block, in the blocks' double vectors.
struct Avx2Rule4 : M128Rule {
    static __m256d widen(W x) { return _mm256_cvtps_pd(x); }
    static W narrow(__m256d d) { return _mm256_cvtpd_ps(d); }
};
struct Avx2Rule8 : M256Rule {
    static Pair<Avx2Vec>::D widen(W x) {
        return {_mm256_cvtps_pd(_mm256_castps256_ps128(x)), _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1))};
    }
    static W narrow(Pair<Avx2Vec>::D d) { return _mm256_set_m128(_mm256_cvtpd_ps(d.hi), _mm256_cvtpd_ps(d.lo)); }
};
template <>
struct RuleFloatsOf<Avx2Vec> {
    using type = Avx2Rule4;
};
template <>
struct RuleFloatsOf<Pair<Avx2Vec>> {
    using type = Avx2Rule8;
};

}  // namespace

void filter_row_avx2(const RowArgs& args) { filter_row<Pair<Avx2Vec>, Avx2Float>(args); }

}  // namespace sovelk::fused::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
