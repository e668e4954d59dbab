// AArch64 Advanced SIMD (NEON) instantiation of the fused row loop: two vectors of two adjacent
// pixels per block, and sixteen floats in four vectors for the single-precision pass. Every
// AArch64 CPU has these instructions, so the unit needs no target pragma and the driver needs no
// run-time check. Each operation is the one the x86 paths use, rounding once, so the bits are
// the same: FMA only where they fuse too (the cheap sums, the FMA quotient, the single-precision
// pass, the range rule's exact residual); -ffp-contract=off keeps the compiler from fusing more.

#if defined(__aarch64__)

// The headers of the x86 units, in their order (see fused_kernel_body.hpp).
#include <cstddef>
#include <cstdint>
#include <arm_neon.h>

#include "core/fused_kernel_row.hpp"

#include "core/fused_kernel_body.hpp"

namespace sovelk::fused::detail {
namespace {

// The lanes' masks inverted (NEON has no 64-bit NOT).
inline uint64x2_t not_mask(uint64x2_t m) { return vreinterpretq_u64_u32(vmvnq_u32(vreinterpretq_u32_u64(m))); }

// Bit l for lane l of a lane mask (all ones or all zeros per lane).
inline unsigned lane_bits(uint64x2_t mask) {
    const uint64x2_t bit = vcombine_u64(vcreate_u64(1), vcreate_u64(2));
    return static_cast<unsigned>(vaddvq_u64(vandq_u64(mask, bit)));
}

struct NeonVec : LaneIndices<2> {
    static constexpr int lanes = 2;
    static constexpr bool has_fma = true;
    using D = float64x2_t;
    using Narrower = ScalarVec;
    static D zero() { return vdupq_n_f64(0.0); }
    static D set1(double x) { return vdupq_n_f64(x); }
    static D load(const double* p) { return vld1q_f64(p); }
    static void store(double* p, D v) { vst1q_f64(p, v); }
    // Two scalar loads, as the x86 paths do; at(l) is lane l's address.
    template <class At>
    static D load_lanes(At at) {
        return vld1q_lane_f64(at(1), vcombine_f64(vld1_f64(at(0)), vcreate_f64(0)), 1);
    }
    static D lookup(const Centre& c, const uint32_t* g) {
        return load_lanes([&](int l) { return c.base[l] + g[l]; });
    }
    // Packed guidance: each lane's range weight, a product of scalars (lane_products).
    template <int GC>
    __attribute__((always_inline)) static D field_product(const double* t, const Fields& f, int gc) {
        double p[2];
        lane_products<GC>(t, f, gc, p);
        return vcombine_f64(vdup_n_f64(p[0]), vdup_n_f64(p[1]));
    }
    static D add(D a, D b) { return vaddq_f64(a, b); }
    static D sub(D a, D b) { return vsubq_f64(a, b); }
    static D mul(D a, D b) { return vmulq_f64(a, b); }
    static D div(D a, D b) { return vdivq_f64(a, b); }
    static D fmadd(D a, D b, D c) { return vfmaq_f64(c, a, b); }   // a * b + c
    static D fnmadd(D a, D b, D c) { return vfmsq_f64(c, a, b); }  // c - a * b
    static D quotient_in_fma_domain(D w, D sum, D reciprocal) { return fma_quotient<NeonVec>(w, sum, reciprocal); }
    // For the cheap pass, on finite values. FRINTZ and FRINTN round by their own mode and raise
    // no inexact flag (FRINTX would); FCMEQ is a quiet compare.
    static D min(D a, D b) { return vminq_f64(a, b); }
    static D max(D a, D b) { return vmaxq_f64(a, b); }
    static D trunc(D x) { return vrndq_f64(x); }
    static D nearest(D x) { return vrndnq_f64(x); }
    static unsigned differ(D a, D b) { return lane_bits(not_mask(vceqq_f64(a, b))); }
    // float32_differs() of each lane, on the bits.
    static uint64x2_t float32_bits(uint64x2_t b) {
        const uint64x2_t odd = vandq_u64(vshrq_n_u64(b, 29), vdupq_n_u64(1));
        const uint64x2_t up = vaddq_u64(vaddq_u64(b, vdupq_n_u64(kFloat32Half)), odd);
        return vandq_u64(up, vdupq_n_u64(kFloat32Cut));
    }
    static uint64x2_t float32_abnormal(uint64x2_t b) {  // magnitude outside [2^-126, 2^127)
        const uint64x2_t m = vandq_u64(b, vdupq_n_u64(0x7FFFFFFFFFFFFFFF));
        return vorrq_u64(vcltq_u64(m, vdupq_n_u64(kFloat32Low)), vcgeq_u64(m, vdupq_n_u64(kFloat32High)));
    }
    static unsigned float32_differ(D a, D b) {
        const uint64x2_t x = vreinterpretq_u64_f64(a), y = vreinterpretq_u64_f64(b);
        const uint64x2_t same = vceqq_u64(float32_bits(x), float32_bits(y));
        const uint64x2_t bad = vorrq_u64(vorrq_u64(float32_abnormal(x), float32_abnormal(y)), not_mask(same));
        return lane_bits(bad);
    }
    // Range checks on the values' bit patterns as signed 64-bit integers, as on the x86 paths
    // (0 <= lo <= hi): integer compares raise no flag, where FCMGT raises invalid on a NaN lane
    // that the reference arithmetic leaves unflagged.
    static int64x2_t bits(D x) { return vreinterpretq_s64_f64(x); }
    static int64x2_t bits(double v) { return bits(vdupq_n_f64(v)); }
    static uint64x2_t inside(D x, double lo, double hi) {
        return vbicq_u64(vcgtq_s64(bits(x), bits(lo)), vcgtq_s64(bits(x), bits(hi)));
    }
    static unsigned outside(D x, double lo, double hi) { return lane_bits(inside(x, lo, hi)) ^ 0x3u; }
    static D keep_inside(D x, double lo, double hi, double other) {
        return vbslq_f64(inside(x, lo, hi), x, vdupq_n_f64(other));
    }
    // True when lo <= |x| <= hi in both lanes (0 <= lo <= hi), on bit patterns as inside(); FABS
    // raises nothing.
    static bool abs_in_range(D x, double lo, double hi) {
        const int64x2_t magnitude = bits(vabsq_f64(x));
        const uint64x2_t out = vorrq_u64(vcgtq_s64(bits(lo), magnitude), vcgtq_s64(magnitude, bits(hi)));
        return vmaxvq_u32(vreinterpretq_u32_u64(out)) == 0;
    }
};

// table[n mod 8] for the integral floats n of four lanes: the eight float32 entries are 32 bytes
// in two registers, and each lane's four byte indices 4 (n mod 8) + 0 .. 3 pick one by TBL.
inline uint8x16_t eighths_byte_indices(int32x4_t n) {
    const uint32x4_t entry = vandq_u32(vreinterpretq_u32_s32(n), vdupq_n_u32(7));
    return vreinterpretq_u8_u32(vmlaq_n_u32(vdupq_n_u32(0x03020100), entry, 0x04040404));
}
inline uint8x16x2_t eighths_table(const float* table) {
    return {{vreinterpretq_u8_f32(vld1q_f32(table)), vreinterpretq_u8_f32(vld1q_f32(table + 4))}};
}

// q * 2^(n / 8) for integral n <= 0, four lanes: table[n mod 8] * q, then floor(n / 8) added to
// the product's exponent field (the result stays normal, exp2_eighths). n converts exactly.
inline float32x4_t scale_eighths4(float32x4_t q, float32x4_t n, const uint8x16x2_t& table) {
    const int32x4_t ni = vcvtq_s32_f32(n);
    const float32x4_t p = vmulq_f32(vreinterpretq_f32_u8(vqtbl2q_u8(table, eighths_byte_indices(ni))), q);
    const int32x4_t e = vandq_s32(vshlq_n_s32(ni, 20), vdupq_n_s32(-(1 << 23)));
    return vreinterpretq_f32_s32(vaddq_s32(vreinterpretq_s32_f32(p), e));
}

// a * b - c rounded once, as the x86 paths' fused multiply-subtract: -c + a * b, so that an exact
// zero gets the sign that rounding mode gives a * b + (-c).
inline float32x4_t fmsub4(float32x4_t a, float32x4_t b, float32x4_t c) { return vfmaq_f32(vnegq_f32(c), a, b); }

// The four floats of a vector as a Pair<NeonVec> block's doubles, exactly.
inline Pair<NeonVec>::D widen4(float32x4_t x) { return {vcvt_f64_f32(vget_low_f32(x)), vcvt_high_f64_f32(x)}; }

// Sixteen floats in four vectors: the lanes of four blocks of Pair<NeonVec>, for the
// single-precision pass.
struct NeonFloat {
    static constexpr bool available = true;
    // Paired rows (paired_pass.hpp): the throughput model has them pay on the ARM cores it knows,
    // as on AVX2, where measurement agreed (docs/performance.md; not yet measured on ARM).
    static constexpr bool pairs = true;
    static constexpr int lanes = 16;
    struct W {
        float32x4_t v[4];
    };
    template <class Op>
    static W each(Op op, const W& a, const W& b) {
        return {{op(a.v[0], b.v[0]), op(a.v[1], b.v[1]), op(a.v[2], b.v[2]), op(a.v[3], b.v[3])}};
    }
    static W zero() { return set1(0.0f); }
    static W set1(float x) {
        const float32x4_t v = vdupq_n_f32(x);
        return {{v, v, v, v}};
    }
    static W load(const float* p) { return {{vld1q_f32(p), vld1q_f32(p + 4), vld1q_f32(p + 8), vld1q_f32(p + 12)}}; }
    static void store(float* p, const W& x) {
        for (int j = 0; j < 4; ++j) vst1q_f32(p + 4 * j, x.v[j]);
    }
    static W add(const W& a, const W& b) {
        return each([](float32x4_t x, float32x4_t y) { return vaddq_f32(x, y); }, a, b);
    }
    static W sub(const W& a, const W& b) {
        return each([](float32x4_t x, float32x4_t y) { return vsubq_f32(x, y); }, a, b);
    }
    static W mul(const W& a, const W& b) {
        return each([](float32x4_t x, float32x4_t y) { return vmulq_f32(x, y); }, a, b);
    }
    static W fmadd(const W& a, const W& b, const W& c) {  // a * b + c
        W r;
        for (int j = 0; j < 4; ++j) r.v[j] = vfmaq_f32(c.v[j], a.v[j], b.v[j]);
        return r;
    }
    static W fmsub(const W& a, const W& b, const W& c) {  // a * b - c
        W r;
        for (int j = 0; j < 4; ++j) r.v[j] = fmsub4(a.v[j], b.v[j], c.v[j]);
        return r;
    }
    // min for non-negative floats, whose bit patterns order as their values: an integer minimum.
    static W min_nonnegative(const W& a, const W& b) {
        return each([](float32x4_t x, float32x4_t y) {
            return vreinterpretq_f32_s32(vminq_s32(vreinterpretq_s32_f32(x), vreinterpretq_s32_f32(y)));
        }, a, b);
    }
    static W round(const W& x) {
        W r;
        for (int j = 0; j < 4; ++j) r.v[j] = vrndnq_f32(x.v[j]);  // ties to even, no inexact flag
        return r;
    }
    static W scale_eighths(const W& q, const W& n, const float* table) {
        const uint8x16x2_t t = eighths_table(table);
        W r;
        for (int j = 0; j < 4; ++j) r.v[j] = scale_eighths4(q.v[j], n.v[j], t);
        return r;
    }
    // The sixteen floats as the four blocks' doubles, exactly.
    static void widen(const W& x, Pair<NeonVec>::D* out) {
        for (int j = 0; j < 4; ++j) out[j] = widen4(x.v[j]);
    }
};

// The range rule's floats of one block: two for NeonVec, four for a Pair of them. round_current
// is FRINTI, which rounds in the thread's mode (and raises no inexact flag, which is not
// reported anyway); the conversions to float32 round in that mode too, as on the other paths.
struct NeonRule2 {
    using W = float32x2_t;
    static W load(const float* p) { return vld1_f32(p); }
    static W set1(float x) { return vdup_n_f32(x); }
    static W add(W a, W b) { return vadd_f32(a, b); }
    static W sub(W a, W b) { return vsub_f32(a, b); }
    static W mul(W a, W b) { return vmul_f32(a, b); }
    static W min(W a, W b) { return vmin_f32(a, b); }
    static W residual(W a, W b, W p) { return vfma_f32(vneg_f32(p), a, b); }  // as fmsub4
    static W round_current(W x) { return vrndi_f32(x); }
    static W scale_eighths(W q, W n, const float* table) {
        return vget_low_f32(scale_eighths4(vcombine_f32(q, q), vcombine_f32(n, n), eighths_table(table)));
    }
    static float64x2_t widen(W x) { return vcvt_f64_f32(x); }
    static W narrow(float64x2_t d) { return vcvt_f32_f64(d); }
};
struct NeonRule4 {
    using W = float32x4_t;
    static W load(const float* p) { return vld1q_f32(p); }
    static W set1(float x) { return vdupq_n_f32(x); }
    static W add(W a, W b) { return vaddq_f32(a, b); }
    static W sub(W a, W b) { return vsubq_f32(a, b); }
    static W mul(W a, W b) { return vmulq_f32(a, b); }
    static W min(W a, W b) { return vminq_f32(a, b); }
    static W residual(W a, W b, W p) { return fmsub4(a, b, p); }
    static W round_current(W x) { return vrndiq_f32(x); }
    static W scale_eighths(W q, W n, const float* table) { return scale_eighths4(q, n, eighths_table(table)); }
    static Pair<NeonVec>::D widen(W x) { return widen4(x); }
    static W narrow(Pair<NeonVec>::D d) { return vcvt_high_f32_f64(vcvt_f32_f64(d.lo), d.hi); }
};
template <>
struct RuleFloatsOf<NeonVec> {
    using type = NeonRule2;
};
template <>
struct RuleFloatsOf<Pair<NeonVec>> {
    using type = NeonRule4;
};

}  // namespace

void filter_row_neon(const RowArgs& args) { filter_row<Pair<NeonVec>, NeonFloat>(args); }

}  // namespace sovelk::fused::detail

#endif
