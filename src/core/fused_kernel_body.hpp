// The row loop of the fused kernel, written once for any vector width. Each instruction-set
// translation unit includes this header after its `#pragma GCC target`, defines a vector type
// (lanes, loads, table lookup, arithmetic) and instantiates filter_row<Pair<ThatVector>>.
//
// Everything is in an anonymous namespace on purpose: the same template compiled for AVX2 in one
// translation unit and for AVX-512 in another must never be merged by the linker, or a CPU
// without AVX-512 could end up running the AVX-512 copy. For the same reason this header calls
// no library function: standard-library inline functions compiled under a target pragma would be
// shared across translation units. The including file must include <cstddef> and <cstdint>
// before its target pragma.
//
// Lanes hold adjacent output pixels of one row, never different window offsets: the offsets are
// summed one after another in their own order, because that order fixes the rounding of numpy's
// sums. Per lane, every value goes through exactly the operations of the reference, one
// correctly rounded operation each.

#include "core/fused_kernel_row.hpp"

namespace sovelk::fused::detail {
namespace {

// The range weight of one lane of packed guidance: its channels' table entries multiplied left to
// right, one rounding each, as numpy's prod does. Done in scalar registers, so that a vector
// type builds one vector per offset from the products instead of one per channel.
template <int GC>
inline double lane_product(const double* folded_start, uint64_t fields, int gc_runtime) {
    const int gc = GC > 0 ? GC : gc_runtime;
    double p = folded_start[fields & 0xFFFF];
    for (int k = 1; k < gc; ++k) p = p * folded_start[(fields >> (16 * k)) & 0xFFFF];
    return p;
}

// Float32 rounding of doubles by their bits, raising no flag: the pattern rounded to the nearest
// one with 24 significant bits, ties to even, as converting to float32 and back gives it for
// values of float32's normal range, [2^-126, 2^127] in magnitude (the rounding mode must be to
// nearest, as it is wherever the cheap pass runs). Every vector path computes it so.
constexpr uint64_t kFloat32Half = 0x0FFFFFFF;            // below half of float32's last place
constexpr uint64_t kFloat32Cut = ~uint64_t{0x1FFFFFFF};  // the bits float32 keeps
constexpr uint64_t kFloat32Low = uint64_t{1023 - 126} << 52, kFloat32High = uint64_t{1023 + 127} << 52;
inline uint64_t float32_bits(uint64_t b) { return (b + kFloat32Half + (b >> 29 & 1)) & kFloat32Cut; }
inline bool float32_differs(double a, double b) {
    uint64_t x, y;
    __builtin_memcpy(&x, &a, sizeof x);
    __builtin_memcpy(&y, &b, sizeof y);
    const uint64_t mx = x & 0x7FFFFFFFFFFFFFFFull, my = y & 0x7FFFFFFFFFFFFFFFull;
    const bool normal = mx >= kFloat32Low && mx < kFloat32High && my >= kFloat32Low && my < kFloat32High;
    return !normal || float32_bits(x) != float32_bits(y);
}

// One pixel at a time: the portable path, and the path for rows narrower than a vector. It
// looks up the folded table like the vector paths (base pointer folded_table - centre).
struct ScalarVec {
    static constexpr int lanes = 1;
    static constexpr bool has_fma = false;
    using D = double;
    struct Centre {
        const double* base;
    };
    using Narrower = ScalarVec;
    static D zero() { return 0.0; }
    static D set1(double x) { return x; }
    static D load(const double* p) { return *p; }
    static void store(double* p, D v) { *p = v; }
    static Centre centre(const RowArgs&, const double* folded, const uint32_t* c) { return {folded - c[0]}; }
    static D lookup(const Centre& c, const uint32_t* g) { return c.base[g[0]]; }
    // Packed guidance (see RowArgs::packed_rows): `span_fields` holds span in every channel's
    // field, so fields() gives g_k - c_k + span per field, the folded table index from its start.
    struct Fields {
        uint64_t sum;
    };
    static Fields bias(uint64_t span_fields, const uint64_t* c) { return {span_fields - c[0]}; }
    static Fields fields(const Fields& bias, const uint64_t* g) { return {g[0] + bias.sum}; }
    template <int GC>
    static D field_product(const double* folded_start, const Fields& f, int gc) {
        return lane_product<GC>(folded_start, f.sum, gc);
    }
    static D add(D a, D b) { return a + b; }
    static D sub(D a, D b) { return a - b; }
    static D mul(D a, D b) { return a * b; }
    static D div(D a, D b) { return a / b; }
    // For the cheap pass (finite values, |x| <= 2^32 once clipped, round to nearest in force).
    static D min(D a, D b) { return b < a ? b : a; }
    static D max(D a, D b) { return b > a ? b : a; }
    static D trunc(D x) { return static_cast<double>(static_cast<int64_t>(x)); }
    // Adding and subtracting 1.5 x 2^52 leaves x rounded to an integer, ties to even.
    // Without -ffast-math the compiler keeps both roundings.
    static D nearest(D x) { return (x + 0x1.8p52) - 0x1.8p52; }
    static unsigned differ(D a, D b) { return a != b ? 1u : 0u; }
    static unsigned float32_differ(D a, D b) { return float32_differs(a, b) ? 1u : 0u; }
    static unsigned outside(D x, double lo, double hi) { return x > lo && x <= hi ? 0u : 1u; }
    static D keep_inside(D x, double lo, double hi, double other) { return x > lo && x <= hi ? x : other; }
};

// The scalar side of a vector type of N lanes: per lane, the table base shifted by the centre's
// value (base[l][g] is table[|g - centre|] for every guidance value g of the window), and for
// packed guidance the 64-bit sum of the neighbour's fields and the centre's bias (see
// ScalarVec). Lookups from these need no index arithmetic in vector registers.
template <int N>
struct LaneIndices {
    struct Centre {
        const double* base[N];
    };
    static Centre centre(const RowArgs&, const double* folded, const uint32_t* c) {
        Centre r;
        for (int l = 0; l < N; ++l) r.base[l] = folded - c[l];
        return r;
    }
    struct Fields {
        uint64_t sum[N];
    };
    static Fields bias(uint64_t span_fields, const uint64_t* c) {
        Fields r;
        for (int l = 0; l < N; ++l) r.sum[l] = span_fields - c[l];
        return r;
    }
    static Fields fields(const Fields& b, const uint64_t* g) {
        Fields r;
        for (int l = 0; l < N; ++l) r.sum[l] = g[l] + b.sum[l];
        return r;
    }
    // Each lane's range weight of packed guidance (lane_product) into p, for field_product.
    template <int GC>
    __attribute__((always_inline)) static void lane_products(const double* t, const Fields& f, int gc, double* p) {
        for (int l = 0; l < N; ++l) {
            double v = lane_product<GC>(t, f.sum[l], gc);
#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
            // The empty asm hands each product on as an opaque scalar register: Clang's SLP
            // vectoriser would otherwise merge the lanes' table loads into gather instructions,
            // much slower here than scalar loads (docs/install.md). GCC makes the scalar code
            // unasked, and the barrier would only constrain its scheduling.
            __asm__("" : "+x"(v));
#endif
            p[l] = v;
        }
    }
};

// weight / sum by Markstein's method: with round-to-nearest, no flush-to-zero, sum and 1/sum
// normal, weight zero or at least 2^-960 and a normal quotient, each residual fma(-q, sum,
// weight) is exact and the second correction yields the correctly rounded quotient. Stopping
// after one correction is usually right but not provably, so both are done. Inside that domain
// neither this form nor a real divide raises any flag but inexact, so the flags the caller sees
// do not depend on the choice.
template <class V>
inline typename V::D fma_quotient(typename V::D weight, typename V::D sum, typename V::D reciprocal) {
    typename V::D q = V::mul(weight, reciprocal);
    q = V::fmadd(V::fnmadd(q, sum, weight), reciprocal, q);
    return V::fmadd(V::fnmadd(q, sum, weight), reciprocal, q);
}

// Two vectors side by side, 2 x V::lanes pixels. Each accumulation in the loops below is a chain
// of dependent additions; two independent vectors keep the adder busy while each waits for its
// previous sum. In the FMA domain the first half divides and the second uses fma_quotient, so
// the divider and the FMA units work at the same time; both give the same bits. This pays where
// the divider limits pass 2, which measured so on the AVX2 path only: the driver asks for it
// there (figures and commands: docs/performance.md). fma_quotient for both halves was slower
// than either (its five FMA-unit operations compete with pass 2's products).
template <class V>
struct Pair {
    static constexpr int lanes = 2 * V::lanes;
    static constexpr bool has_fma = V::has_fma;
    struct D {
        typename V::D lo, hi;
    };
    struct Centre {
        typename V::Centre lo, hi;
    };
    using Narrower = V;
    static D zero() { return {V::zero(), V::zero()}; }
    static D set1(double x) { return {V::set1(x), V::set1(x)}; }
    static D load(const double* p) { return {V::load(p), V::load(p + V::lanes)}; }
    static void store(double* p, D v) {
        V::store(p, v.lo);
        V::store(p + V::lanes, v.hi);
    }
    static Centre centre(const RowArgs& a, const double* folded, const uint32_t* c) {
        return {V::centre(a, folded, c), V::centre(a, folded, c + V::lanes)};
    }
    static D lookup(const Centre& c, const uint32_t* g) {
        return {V::lookup(c.lo, g), V::lookup(c.hi, g + V::lanes)};
    }
    struct Fields {
        typename V::Fields lo, hi;
    };
    static Fields bias(uint64_t span_fields, const uint64_t* c) {
        return {V::bias(span_fields, c), V::bias(span_fields, c + V::lanes)};
    }
    static Fields fields(const Fields& bias, const uint64_t* g) {
        return {V::fields(bias.lo, g), V::fields(bias.hi, g + V::lanes)};
    }
    static D add(D a, D b) { return {V::add(a.lo, b.lo), V::add(a.hi, b.hi)}; }
    static D sub(D a, D b) { return {V::sub(a.lo, b.lo), V::sub(a.hi, b.hi)}; }
    static D mul(D a, D b) { return {V::mul(a.lo, b.lo), V::mul(a.hi, b.hi)}; }
    static D div(D a, D b) { return {V::div(a.lo, b.lo), V::div(a.hi, b.hi)}; }
    static D fmadd(D a, D b, D c) { return {V::fmadd(a.lo, b.lo, c.lo), V::fmadd(a.hi, b.hi, c.hi)}; }
    static D min(D a, D b) { return {V::min(a.lo, b.lo), V::min(a.hi, b.hi)}; }
    static D max(D a, D b) { return {V::max(a.lo, b.lo), V::max(a.hi, b.hi)}; }
    static D trunc(D x) { return {V::trunc(x.lo), V::trunc(x.hi)}; }
    static D nearest(D x) { return {V::nearest(x.lo), V::nearest(x.hi)}; }
    // Lane masks: bit l for lane l, the high half's lanes above the low half's.
    static unsigned differ(D a, D b) { return V::differ(a.lo, b.lo) | V::differ(a.hi, b.hi) << V::lanes; }
    static unsigned float32_differ(D a, D b) {
        return V::float32_differ(a.lo, b.lo) | V::float32_differ(a.hi, b.hi) << V::lanes;
    }
    static unsigned outside(D x, double lo, double hi) {
        return V::outside(x.lo, lo, hi) | V::outside(x.hi, lo, hi) << V::lanes;
    }
    static D keep_inside(D x, double lo, double hi, double other) {
        return {V::keep_inside(x.lo, lo, hi, other), V::keep_inside(x.hi, lo, hi, other)};
    }
    static D quotient_in_fma_domain(D w, D sum, D reciprocal) {
        return {V::div(w.lo, sum.lo), fma_quotient<V>(w.hi, sum.hi, reciprocal.hi)};
    }
    static bool abs_in_range(D x, double lo, double hi) {
        return V::abs_in_range(x.lo, lo, hi) && V::abs_in_range(x.hi, lo, hi);
    }
};

}  // namespace
}  // namespace sovelk::fused::detail

#include "core/range_rule.hpp"

namespace sovelk::fused::detail {
namespace {

// Where pass 1 takes the range weights from (RowArgs::range, and the table's layout).
enum class Weigh {
    table,      // the folded table, from guidance cached planar (guid_rows)
    packed,     // the folded table, from guidance cached packed (packed_rows)
    rule,       // the range rule, from guidance cached in float32 (guid_rows_f32)
    rule_wide,  // the range rule, from guidance cached in float64 (guid_rows_f64)
};

// How pass 2 obtains weight / sum.
enum class Quotient {
    divide,      // one real division per weight
    fma_domain,  // the sum passed the domain check: Pair::quotient_in_fma_domain
    stored,      // already divided into the scratch by an earlier sweep
};

template <class V>
inline typename V::D mul_add(typename V::D a, typename V::D b, typename V::D c) {
    if constexpr (V::has_fma)
        return V::fmadd(a, b, c);
    else
        return V::add(V::mul(a, b), c);
}

// The cheap pass's weighted sums over the offsets, N_k = sum of w_i * P_ik for K image channels
// (none when K is 0), kept beside the weight sum in pass 1's last sweep, where each weight is
// still in a register. See cheap_block.
// Store: whether pass 1 stores the weights, for pass 2. Without the cheap sums it must; with
// them the stores are a large part of the cheap pass's time (the weights of a large window
// overflow the first-level cache), so only blocks likely to fail store them; the others compute
// pass 1 again should they fail.
template <class V, int K, bool Store = K == 0>
struct CheapSums {
    static constexpr bool keep_weights = Store;
    typename V::D total[K > 0 ? K : 1];
    CheapSums() {
        for (int k = 0; k < K; ++k) total[k] = V::zero();
    }
    // w times the values of each channel at p (channel planes `plane` doubles apart).
    void add(typename V::D w, const double* p, ptrdiff_t plane) {
        for (int k = 0; k < K; ++k) total[k] = mul_add<V>(w, V::load(p + k * plane), total[k]);
    }
};

// One sweep of pass 1 over the window offsets for guidance channel `k`, looked up in `folded`,
// the folded table. The range weight of a multi-channel guidance is a product built channel by channel in the scratch, left to right
// with one rounding per step like numpy's prod; the last sweep multiplies in the spatial weight
// and adds the weights up in offset order. Returns `sum` with this sweep's weights added
// (unchanged unless Last).
// Consecutive offsets' weights are `stride` doubles apart.
template <class V, bool First, bool Last, class Sums>
inline typename V::D weight_sweep(const RowArgs& a, ptrdiff_t c, int k, const double* folded, double* weights,
                                  ptrdiff_t stride, typename V::D sum, Sums& sums) {
    using D = typename V::D;
    const ptrdiff_t pw = a.padded_width;
    const ptrdiff_t ws = 2 * a.pad + 1;
    // The window's centre is offset (pad, pad): padded row r + pad, padded column c + pad.
    const typename V::Centre centre = V::centre(a, folded, a.guid_rows[a.pad] + k * pw + c + a.pad);
    const double* spatial = a.kernel_s;
    double* wp = weights;
    for (ptrdiff_t ox = 0; ox < ws; ++ox) {
        const uint32_t* g = a.guid_rows[ox] + k * pw + c;
        const double* p = a.img_rows[ox] + c;
        for (ptrdiff_t oy = 0; oy < ws; ++oy) {
            D v = V::lookup(centre, g + oy);
            if constexpr (!First) v = V::mul(V::load(wp), v);
            if constexpr (Last) {
                v = V::mul(V::set1(spatial[oy]), v);
                sum = V::add(sum, v);
                sums.add(v, p + oy, pw);
            }
            if (!Last || Sums::keep_weights) V::store(wp, v);
            wp += stride;
        }
        spatial += ws;
    }
    return sum;
}

// Pass 1: the weight of every window offset for `lanes` pixels starting at column c, stored in
// offset order in `weights` (lanes doubles per offset), and their sum in offset order from +0.0.
// GC > 0 fixes the guidance channel count at compile time; 0 reads it from args.
// Consecutive offsets' weights are `stride` doubles apart.
template <class V, int GC, class Sums>
inline typename V::D sweep_weights(const RowArgs& a, ptrdiff_t c, double* weights, ptrdiff_t stride, Sums& sums) {
    const typename V::D zero = V::zero();
    const int gc = GC > 0 ? GC : a.guid_ch;
    const double* t = a.folded_table;
    if (gc == 1) return weight_sweep<V, true, true>(a, c, 0, t, weights, stride, zero, sums);
    weight_sweep<V, true, false>(a, c, 0, t, weights, stride, zero, sums);
    for (int k = 1; k < gc - 1; ++k) weight_sweep<V, false, false>(a, c, k, t, weights, stride, zero, sums);
    return weight_sweep<V, false, true>(a, c, gc - 1, t, weights, stride, zero, sums);
}

template <class V>
struct IsPair {
    static constexpr bool value = false;
};
template <class V>
struct IsPair<Pair<V>> {
    static constexpr bool value = true;
};

// Every lane looks its weight up from its own table base pointer (LaneIndices): sixteen of them
// exceed the general registers beside the loop's own pointers, while eight fit. GCC parks the
// rest in vector registers; Clang reloads them from the stack at every offset, which is slower.
// So under Clang a Pair of sixteen lanes sweeps its halves one after the other (each lane's sum
// still adds its weights in offset order); under GCC that made the loop slower (docs/install.md).
#if defined(__clang__)
constexpr bool kSweepSixteenLanesByHalves = true;
#else
constexpr bool kSweepSixteenLanesByHalves = false;
#endif

// Pass 1 of a Pair by halves: sweep(column, weights, half's sums) for the low half, then for the
// high one, their weights interleaved in the Pair's layout and their sums joined.
template <class V, int K, bool Store, class Sweep>
inline typename V::D sweep_halves(ptrdiff_t c, double* weights, CheapSums<V, K, Store>& sums, Sweep sweep) {
    using Half = typename V::Narrower;
    CheapSums<Half, K, Store> lo_sums, hi_sums;
    const typename Half::D lo = sweep(c, weights, lo_sums);
    const typename Half::D hi = sweep(c + Half::lanes, weights + Half::lanes, hi_sums);
    for (int k = 0; k < K; ++k) sums.total[k] = {lo_sums.total[k], hi_sums.total[k]};
    return {lo, hi};
}

template <class V, int GC, int K, bool Store>
inline typename V::D compute_weights(const RowArgs& a, ptrdiff_t c, double* weights, CheapSums<V, K, Store>& sums) {
    if constexpr (kSweepSixteenLanesByHalves && IsPair<V>::value && V::lanes >= 16) {
        using Half = typename V::Narrower;
        return sweep_halves(c, weights, sums, [&](ptrdiff_t col, double* w, CheapSums<Half, K, Store>& s) {
            return sweep_weights<Half, GC>(a, col, w, V::lanes, s);
        });
    } else {
        return sweep_weights<V, GC>(a, c, weights, V::lanes, sums);
    }
}

// Pass 1 for packed guidance: the same weights as compute_weights, in one sweep. Per offset,
// one add per lane forms every channel's table index; the channel product, left to right, is
// taken per lane in scalar registers (one vector built per offset instead of one per channel,
// docs/exact_decision.md), and with the spatial weight stays in registers until the weight is
// stored and added to the sum.
// Consecutive offsets' weights are `stride` doubles apart.
template <class V, int GC, class Sums>
inline typename V::D packed_sweep(const RowArgs& a, ptrdiff_t c, double* weights, ptrdiff_t stride, Sums& sums) {
    using D = typename V::D;
    const int gc = GC > 0 ? GC : a.guid_ch;
    const ptrdiff_t ws = 2 * a.pad + 1;
    uint64_t span_fields = 0;
    for (int k = 0; k < gc; ++k) span_fields |= static_cast<uint64_t>(a.span) << (16 * k);
    // Entry 0 of the folded table is table[span]: index g - c + span looks up table[|g - c|].
    const double* folded_start = a.folded_table - a.span;
    const typename V::Fields bias = V::bias(span_fields, a.packed_rows[a.pad] + c + a.pad);
    D sum = V::zero();
    const double* spatial = a.kernel_s;
    double* wp = weights;
    for (ptrdiff_t ox = 0; ox < ws; ++ox) {
        const uint64_t* g = a.packed_rows[ox] + c;
        const double* p = a.img_rows[ox] + c;
        for (ptrdiff_t oy = 0; oy < ws; ++oy) {
            const typename V::Fields f = V::fields(bias, g + oy);
            D v = V::template field_product<GC>(folded_start, f, gc);
            v = V::mul(V::set1(spatial[oy]), v);
            sum = V::add(sum, v);
            sums.add(v, p + oy, a.padded_width);
            if (Sums::keep_weights) V::store(wp, v);
            wp += stride;
        }
        spatial += ws;
    }
    return sum;
}

// The halves of a Pair are swept one after the other: the lookups alone keep the loads busy,
// and one half's table indices fit the general registers where both halves' would spill.
template <class V, int GC, int K, bool Store>
inline typename V::D compute_packed_weights(const RowArgs& a, ptrdiff_t c, double* weights,
                                            CheapSums<V, K, Store>& sums) {
    if constexpr (IsPair<V>::value) {
        using Half = typename V::Narrower;
        return sweep_halves(c, weights, sums, [&](ptrdiff_t col, double* w, CheapSums<Half, K, Store>& s) {
            return packed_sweep<Half, GC>(a, col, w, V::lanes, s);
        });
    } else {
        return packed_sweep<V, GC>(a, c, weights, V::lanes, sums);
    }
}

template <class V, Quotient Q>
inline typename V::D quotient(typename V::D weight, typename V::D sum, typename V::D reciprocal) {
    if constexpr (Q == Quotient::fma_domain) {
        return V::quotient_in_fma_domain(weight, sum, reciprocal);
    } else {
        (void)reciprocal;
        return V::div(weight, sum);
    }
}

// Pass 2 for K image channels k0 .. k0 + K - 1: sum over the offsets, in offset order from +0.0,
// of (weight / sum) * pixel. The K accumulators land in acc[k * lanes + lane].
template <class V, int K, Quotient Q>
inline void accumulate(const RowArgs& a, ptrdiff_t c, int k0, const double* weights,
                       typename V::D sum, typename V::D reciprocal, double* acc) {
    using D = typename V::D;
    const ptrdiff_t pw = a.padded_width;
    const ptrdiff_t ws = 2 * a.pad + 1;
    D total[K];
    for (int k = 0; k < K; ++k) total[k] = V::zero();
    const double* wp = weights;
    for (ptrdiff_t ox = 0; ox < ws; ++ox) {
        const double* p = a.img_rows[ox] + k0 * pw + c;
        for (ptrdiff_t oy = 0; oy < ws; ++oy) {
            D q;
            if constexpr (Q == Quotient::stored) {
                q = V::load(wp);
            } else {
                q = quotient<V, Q>(V::load(wp), sum, reciprocal);
            }
            wp += V::lanes;
            for (int k = 0; k < K; ++k) total[k] = V::add(total[k], V::mul(q, V::load(p + k * pw + oy)));
        }
    }
    for (int k = 0; k < K; ++k) V::store(acc + k * V::lanes, total[k]);
}

template <class V, Quotient Q>
inline void accumulate_group(int channels, const RowArgs& a, ptrdiff_t c, int k0,
                             const double* weights, typename V::D sum,
                             typename V::D reciprocal, double* acc) {
    switch (channels) {
        case 1: accumulate<V, 1, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
        case 2: accumulate<V, 2, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
        case 3: accumulate<V, 3, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
        default: accumulate<V, 4, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
    }
}

constexpr int kChannelGroup = 4;  // accumulators kept in registers at once

// ---- The cheap pass ---------------------------------------------------------------------------
//
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
    unsigned lanes = V::outside(sum, 0.0, a.cheap.sum_limit);
    const typename V::D divisor = V::keep_inside(sum, 0.0, a.cheap.sum_limit, 1.0);
    for (int k = 0; k < K; ++k) {
        const typename V::D v = V::div(sums.total[k], divisor);
        lanes |= undecided<V>(a, v);
        V::store(acc + k * V::lanes, v);
    }
    return lanes;
}

// ---- The single-precision cheap pass ------------------------------------------------------------
//
// The same decision from weights computed in float32 (FloatPass): per offset, the squared guidance
// distance D^2 (exact: integers below 2^24), the range weight 2^(kappa D^2) by exp2_split, times
// the float32 spatial weight; sums in float32 over runs of `chunk` offsets, added up in float64;
// one divide per pixel. No table lookup at all: a gray and a colour guidance cost alike.
// docs/exact_decision.md bounds |exact - v| <= abs_margin + rel_margin * v and shows that no step
// raises a floating-point event.

// The vector types without a float32 counterpart (the scalar path): no single-precision pass.
struct NoFloat {
    static constexpr bool available = false;
};

// 2^((hi + lo) / 8) for hi in [-512, 0] and |lo| <= 2^-14: hi's nearest integer n = 8 m + j
// (j = 0 .. 7) gives 2^m (the exponent field) and 2^(j / 8) (a table), the rest f = (hi - n) + lo
// (hi - n is exact) the polynomial. The product of table entry and polynomial lies in
// [0.95, 1.92], so the result is a normal float.
// poly: kExp2Poly, each coefficient in every lane.
template <class F>
inline typename F::W exp2_eighths(typename F::W hi, typename F::W lo, const typename F::W* poly) {
    const typename F::W n = F::round(hi);
    const typename F::W f = F::add(F::sub(hi, n), lo);
    typename F::W q = poly[3];
    for (int k = 2; k >= 0; --k) q = F::fmadd(q, f, poly[k]);
    return F::scale_eighths(q, n, kExp2Eighths);
}

template <class F>
inline typename F::W exp2_eighths(typename F::W hi, typename F::W lo) {
    typename F::W poly[4];
    for (int k = 0; k < 4; ++k) poly[k] = F::set1(kExp2Poly[k]);
    return exp2_eighths<F>(hi, lo, poly);
}

// The values float_values reads at every offset without changing them: the centre pixels'
// guidance and the range weight's constants.
// Parameterised by F rather than by its vector type: a vector type as a template argument loses
// its attributes (GCC's -Wignored-attributes).
template <class F>
struct LoopInvariants {
    typename F::W centre[4];
    typename F::W kappa_hi, kappa_lo, cap;
    typename F::W poly[4];  // kExp2Poly
};

// p, made opaque to the compiler at this point of the loop when F asks for it, so that what p
// points to is read from memory (an operand of the instruction using it) wherever it is used.
// On the AVX2 path the loop's sums, centre and constants outnumber the sixteen vector registers:
// GCC keeps the sums in registers and takes the rest from memory, but Clang keeps the constants
// and stores and reloads sums at every offset instead (docs/install.md). GCC needs no help, and
// the barrier would only constrain its scheduling.
template <class F, class T>
__attribute__((always_inline)) inline const T* reread(const T* p) {
#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
    if constexpr (F::reread_invariants) __asm__ volatile("" : "+r"(p));
#endif
    return p;
}

// The single-precision cheap values v = N_k / S of the F::lanes pixels from column c: M = F::lanes
// / V::lanes blocks side by side (two on the AVX2 path, whose short vectors otherwise leave too
// little independent work in flight), block j's values into acc[(j K + k) V::lanes + lane].
// Returns the lanes it cannot decide, bit j V::lanes + lane.
template <class V, class F, int GC, int K>
inline unsigned float_values(const RowArgs& a, ptrdiff_t c, double* acc) {
    using W = typename F::W;
    using D = typename V::D;
    constexpr int M = F::lanes / V::lanes;
    static_assert(M * V::lanes == F::lanes, "whole blocks of V");
    const FloatPass& fp = a.float_pass;
    const int gc = GC > 0 ? GC : a.guid_ch;
    const ptrdiff_t pw = a.padded_width;
    const ptrdiff_t ws = 2 * a.pad + 1;
    LoopInvariants<F> invariant;
    for (int k = 0; k < gc; ++k) invariant.centre[k] = F::load(a.guid_rows_f32[a.pad] + k * pw + c + a.pad);
    invariant.kappa_hi = F::set1(fp.kappa_hi);
    invariant.kappa_lo = F::set1(fp.kappa_lo);
    invariant.cap = F::set1(fp.d2_cap);
    for (int k = 0; k < 4; ++k) invariant.poly[k] = F::set1(kExp2Poly[k]);
    D sum[M], num[K][M], part[M];
    for (int j = 0; j < M; ++j) {
        sum[j] = V::zero();
        for (int k = 0; k < K; ++k) num[k][j] = V::zero();
    }
    // A run is chunk_rows whole window rows, or `chunk` offsets of one row.
    for (ptrdiff_t row = 0; row < ws; row += fp.chunk_rows) {
        const ptrdiff_t rows_end = row + fp.chunk_rows < ws ? row + fp.chunk_rows : ws;
        for (ptrdiff_t start = 0; start < ws; start += fp.chunk) {
            const ptrdiff_t end = start + fp.chunk < ws ? start + fp.chunk : ws;
            W s = F::zero();
            W n[K];
            for (int k = 0; k < K; ++k) n[k] = F::zero();
            for (ptrdiff_t ox = row; ox < rows_end; ++ox) {
                const float* g = a.guid_rows_f32[ox] + c;
                const float* p = a.img_rows_f32[ox] + c;
                const float* spatial = fp.kernel + ox * ws;
                for (ptrdiff_t oy = start; oy < end; ++oy) {
                    const LoopInvariants<F>& fixed = *reread<F>(&invariant);
                    W d = F::sub(F::load(g + oy), fixed.centre[0]);
                    W d2 = F::mul(d, d);
                    for (int k = 1; k < gc; ++k) {
                        d = F::sub(F::load(g + k * pw + oy), fixed.centre[k]);
                        d2 = F::fmadd(d, d, d2);
                    }
                    d2 = F::min_nonnegative(d2, fixed.cap);
                    // 8 kappa D^2 as hi + lo: the product's rounding error, exactly, plus kappa_lo D^2.
                    const W hi = F::mul(fixed.kappa_hi, d2);
                    const W lo = F::fmadd(fixed.kappa_lo, d2, F::fmsub(fixed.kappa_hi, d2, hi));
                    const W w = F::mul(exp2_eighths<F>(hi, lo, fixed.poly), F::set1(spatial[oy]));
                    s = F::add(s, w);
                    for (int k = 0; k < K; ++k) n[k] = F::fmadd(w, F::load(p + k * pw + oy), n[k]);
                }
            }
            F::widen(s, part);
            for (int j = 0; j < M; ++j) sum[j] = V::add(sum[j], part[j]);
            for (int k = 0; k < K; ++k) {
                F::widen(n[k], part);
                for (int j = 0; j < M; ++j) num[k][j] = V::add(num[k][j], part[j]);
            }
        }
    }
    unsigned lanes = 0;
    const D rel = V::set1(fp.rel_margin), abs_margin = V::set1(fp.abs_margin);
    for (int j = 0; j < M; ++j)
        for (int k = 0; k < K; ++k) {
            const D v = V::div(num[k][j], sum[j]);
            // As in undecided(): a reach of at least rel_margin keeps it normal.
            const D reach = V::add(V::mul(V::max(v, V::set1(1.0)), rel), abs_margin);
            lanes |= V::differ(convert<V>(a.conversion, V::sub(v, reach)), convert<V>(a.conversion, V::add(v, reach)))
                     << (j * V::lanes);
            V::store(acc + (j * K + k) * V::lanes, v);
        }
    return lanes;
}

inline int count_lanes(unsigned mask) {
    int n = 0;
    for (; mask != 0; mask &= mask - 1) ++n;
    return n;
}

// A block's history: the rows left to skip (bits 0-7), a level (bits 8-10) and the successes
// since the level last changed (bits 11-12). A failure raises the level and skips the next
// 2^level - 1 rows, up to 31; four successes in a row lower it by one. Flat or saturated areas,
// where every pixel needs the exact sequence, then try the cheap pass once in 32 rows, and
// blocks that alternate between failing and succeeding (a pattern of stripes) settle at a level
// instead of paying a failure every few rows.
constexpr int kMaxLevel = 5;
constexpr int kSuccessesPerStep = 4;
inline int history_level(uint16_t history) { return (history >> 8) & 7; }

inline bool skips_cheap_pass(const RowArgs& a, uint16_t* history) {
    if (!a.cheap.predict || history == nullptr || (*history & 0xFF) == 0) return false;
    --*history;
    if (a.counters) ++a.counters->skipped_blocks;
    return true;
}

// Notes a tried block: `undecided` lanes of which `counted` are new in this row (the last block
// of a row may overlap the one before). `failed`: the whole block ran the exact sequence, which
// the history learns from; undecided lanes filtered one by one count as a success.
inline void note_cheap_pass(const RowArgs& a, uint16_t* history, unsigned undecided, unsigned counted, bool failed) {
    if (CheapPassCounters* counters = a.counters) {
        ++counters->blocks;
        counters->lanes += static_cast<uint64_t>(count_lanes(counted));
        if (undecided != 0) {
            ++counters->exact_blocks;
            counters->exact_lanes += static_cast<uint64_t>(count_lanes(undecided & counted));
            if (!failed) counters->lone_lanes += static_cast<uint64_t>(count_lanes(undecided & counted));
        }
    }
    if (!a.cheap.predict || history == nullptr) return;
    int level = history_level(*history);
    if (!failed) {
        int successes = (*history >> 11) & 3;
        if (level > 0 && ++successes == kSuccessesPerStep) {
            --level;
            successes = 0;
        }
        *history = static_cast<uint16_t>(successes << 11 | level << 8);
    } else {
        level = level < kMaxLevel ? level + 1 : kMaxLevel;
        *history = static_cast<uint16_t>(level << 8 | ((1 << level) - 1));
    }
}

// acc[k * lanes + lane], channels k0 .. k0 + channels - 1, into the interleaved output row.
template <class V>
inline void scatter(const RowArgs& a, ptrdiff_t c, const double* acc, int k0, int channels) {
    const int ic = a.img_ch;
    for (int k = 0; k < channels; ++k)
        for (int lane = 0; lane < V::lanes; ++lane) a.out_row[(c + lane) * ic + k0 + k] = acc[k * V::lanes + lane];
}

// Pass 1 for the block at column c: weights into `weights`, their sum returned, the cheap sums
// into `sums`.
template <class V, int GC, Weigh How, class Sums>
inline typename V::D pass_one(const RowArgs& a, ptrdiff_t c, double* weights, Sums& sums) {
    if constexpr (How == Weigh::packed)
        return compute_packed_weights<V, GC>(a, c, weights, sums);
    else if constexpr (How == Weigh::table)
        return compute_weights<V, GC>(a, c, weights, sums);
    else
        return rule_sweep<V, GC, How == Weigh::rule_wide>(a, c, weights, V::lanes, sums);
}

// Pass 2, the exact sequence, from the weights and sum of pass 1. Inlined by force: among the
// many instantiations of the block functions the compiler otherwise keeps it out of line, and
// the AVX2 gray path measured slower for it (docs/exact_decision.md).
template <class V>
__attribute__((always_inline)) inline void exact_values(const RowArgs& a, ptrdiff_t c, double* weights, typename V::D sum) {
    using D = typename V::D;
    bool fma_domain = false;
    D reciprocal = sum;
    if constexpr (V::has_fma) {
        // |sum| within [2^-60, 2^60] (a NaN fails the quiet compares) and every nonzero weight
        // within [2^-960, 2^960] keep each quotient and 1/sum far from overflow and subnormals,
        // the domain where fma_quotient is provably exact. Any weight that is infinite or NaN
        // makes the sum infinite or NaN, so those never get there.
        if (a.fma_division_allowed && V::abs_in_range(sum, 0x1p-60, 0x1p60)) {
            fma_domain = true;
            reciprocal = V::div(V::set1(1.0), sum);
        }
    }

    const int ic = a.img_ch;
    alignas(kScratchAlign) double acc[kChannelGroup * kMaxLanes];
    if (ic <= kChannelGroup) {
        // One sweep divides and accumulates every channel.
        if constexpr (V::has_fma) {
            if (fma_domain) {
                accumulate_group<V, Quotient::fma_domain>(ic, a, c, 0, weights, sum, reciprocal, acc);
                scatter<V>(a, c, acc, 0, ic);
                return;
            }
        }
        accumulate_group<V, Quotient::divide>(ic, a, c, 0, weights, sum, reciprocal, acc);
        scatter<V>(a, c, acc, 0, ic);
        return;
    }

    // Many channels: divide once into the scratch, then accumulate a group of channels per sweep.
    const ptrdiff_t n = (2 * a.pad + 1) * (2 * a.pad + 1);
    bool divided = false;
    if constexpr (V::has_fma) {
        if (fma_domain) {
            for (ptrdiff_t i = 0; i < n; ++i) {
                double* wp = weights + i * V::lanes;
                V::store(wp, quotient<V, Quotient::fma_domain>(V::load(wp), sum, reciprocal));
            }
            divided = true;
        }
    }
    if (!divided) {
        for (ptrdiff_t i = 0; i < n; ++i) {
            double* wp = weights + i * V::lanes;
            V::store(wp, V::div(V::load(wp), sum));
        }
    }
    for (int k0 = 0; k0 < ic; k0 += kChannelGroup) {
        const int channels = ic - k0 < kChannelGroup ? ic - k0 : kChannelGroup;
        accumulate_group<V, Quotient::stored>(channels, a, c, k0, weights, sum, reciprocal, acc);
        scatter<V>(a, c, acc, k0, channels);
    }
}

// Output pixels c .. c + lanes - 1 of the row by the exact sequence. The block functions are
// kept out of line: each is then compiled on its own, and a block that skips the cheap pass
// runs the very code of a call without it.
template <class V, int GC, Weigh How>
__attribute__((noinline)) void exact_block(const RowArgs& a, ptrdiff_t c) {
    CheapSums<V, 0> none;
    exact_values<V>(a, c, a.scratch, pass_one<V, GC, How>(a, c, a.scratch, none));
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

// Undecided lanes up to this many in a block are filtered one pixel at a time by the scalar
// exact sequence (the same bits as the vector paths); more, and the whole block runs the vector
// exact sequence.
constexpr int kLoneLanes = 3;

struct FloatOutcome {
    unsigned undecided;  // lanes, as float_values() returns them
    bool failed;         // some block ran the vector exact sequence
};

// The F::lanes pixels from column c by the single-precision cheap pass, and by the exact
// sequence where it cannot decide.
template <class V, class F, int GC, Weigh How, int K>
__attribute__((noinline)) FloatOutcome float_block(const RowArgs& a, ptrdiff_t c) {
    constexpr int M = F::lanes / V::lanes;
    constexpr unsigned block_lanes = (1u << V::lanes) - 1;
    alignas(kScratchAlign) double acc[M * K * kMaxLanes];
    const unsigned lanes = float_values<V, F, GC, K>(a, c, acc);
    bool failed = false;
    for (int j = 0; j < M; ++j) {
        const ptrdiff_t cj = c + j * V::lanes;
        scatter<V>(a, cj, acc + j * K * V::lanes, 0, K);
        const unsigned mine = lanes >> (j * V::lanes) & block_lanes;
        if (count_lanes(mine) > kLoneLanes) {
            exact_block<V, GC, How>(a, cj);
            failed = true;
        } else {
            for (unsigned m = mine; m != 0; m &= m - 1) exact_block<ScalarVec, GC, How>(a, cj + __builtin_ctz(m));
        }
    }
    return {lanes, failed};
}

// Whether some step of the row may try the single-precision pass (steps of kSingleStep pixels,
// one history entry each), which then needs the window's rows in float32.
inline bool single_pass_tries(const RowArgs& a) {
    if (!a.cheap.predict || a.block_history == nullptr) return true;
    const ptrdiff_t steps = (a.width + kSingleStep - 1) / kSingleStep;
    for (ptrdiff_t i = 0; i < steps; ++i)
        if ((a.block_history[i] & 0xFF) == 0) return true;
    return false;
}

// A row by the single-precision cheap pass in steps of F::lanes pixels (its width is at least
// that), with one history entry per step.
template <class V, class F, int GC, Weigh How, int K>
void float_row(const RowArgs& a) {
    static_assert(F::lanes == kSingleStep, "one history entry per step of kSingleStep pixels");
    constexpr int M = F::lanes / V::lanes;
    const ptrdiff_t last = a.width - F::lanes;
    constexpr unsigned all_lanes = F::lanes == 32 ? ~0u : (1u << F::lanes) - 1;
    uint16_t* history = a.block_history;
    for (ptrdiff_t c = 0;; c += F::lanes) {
        unsigned counted = all_lanes;
        if (c > last) {  // as in filter_row_for
            counted &= ~0u << (c - last);
            c = last;
        }
        if (a.stop != nullptr && a.stop->load(std::memory_order_relaxed)) return;
        if (skips_cheap_pass(a, history)) {
            for (int j = 0; j < M; ++j) exact_block<V, GC, How>(a, c + j * V::lanes);
        } else {
            const FloatOutcome r = float_block<V, F, GC, How, K>(a, c);
            note_cheap_pass(a, history, r.undecided, counted, r.failed);
            if (a.counters != nullptr) ++a.counters->single_blocks;
        }
        if (history != nullptr) ++history;
        if (c == last) break;
    }
}

}  // namespace
}  // namespace sovelk::fused::detail

#include "core/paired_pass.hpp"

namespace sovelk::fused::detail {
namespace {

template <class V, class F, int GC, Weigh How, int K>
inline void filter_row_for(const RowArgs& a) {
    // The single-precision pass approximates the table's weights; the rule's run exactly.
    if constexpr (K > 0 && F::available && (How == Weigh::table || How == Weigh::packed)) {
        if (a.float_pass.enabled && a.width >= F::lanes) {
            if (F::pairs && pairs_pay(a))
                paired_row<V, F, GC, How, K>(a);
            else
                float_row<V, F, GC, How, K>(a);
            return;
        }
    }
    const ptrdiff_t w = a.width;
    const ptrdiff_t last = w - V::lanes;
    // When the width is not a multiple of the lane count, the last block is moved left to end at
    // the last pixel. It recomputes a few pixels with the very same operations, so they get the
    // same bits and raise the same flags, and no lane ever reads outside the row.
    constexpr unsigned all_lanes = V::lanes == 32 ? ~0u : (1u << V::lanes) - 1;
    uint16_t* history = a.block_history;
    for (ptrdiff_t c = 0;; c += V::lanes) {
        unsigned counted = all_lanes;
        if (c > last) {
            counted &= ~0u << (c - last);  // lanes c - last and up are new
            c = last;
        }
        if (a.stop != nullptr && a.stop->load(std::memory_order_relaxed)) return;
        filter_block<V, GC, How, K>(a, c, history, counted);
        if (history != nullptr) ++history;
        if (c == last) break;
    }
}

// Guidance layouts and channel counts the compiler should know, with K cheap sums.
template <class V, class F, int K>
void filter_row_with(const RowArgs& a) {
    if (a.range == RangeWeights::rule_float) {
        switch (a.guid_ch) {
            case 1: filter_row_for<V, F, 1, Weigh::rule, K>(a); break;
            case 3: filter_row_for<V, F, 3, Weigh::rule, K>(a); break;
            default: filter_row_for<V, F, 0, Weigh::rule, K>(a); break;
        }
        return;
    }
    if (a.range == RangeWeights::rule_double) {
        if (a.guid_ch == 1)
            filter_row_for<V, F, 1, Weigh::rule_wide, K>(a);
        else
            filter_row_for<V, F, 0, Weigh::rule_wide, K>(a);
        return;
    }
    if (a.packed_rows != nullptr) {
        if (a.guid_ch == 3)
            filter_row_for<V, F, 3, Weigh::packed, K>(a);
        else
            filter_row_for<V, F, 0, Weigh::packed, K>(a);
        return;
    }
    switch (a.guid_ch) {
        case 1: filter_row_for<V, F, 1, Weigh::table, K>(a); break;
        case 3: filter_row_for<V, F, 3, Weigh::table, K>(a); break;
        default: filter_row_for<V, F, 0, Weigh::table, K>(a); break;
    }
}

// A row narrower than the vector goes to the next narrower vector type, down to one pixel. F is
// V's vector of floats (NoFloat for none), for the single-precision pass.
template <class V, class F = NoFloat>
void filter_row(const RowArgs& a) {
    if constexpr (V::lanes > 1) {
        if (a.width < V::lanes) {
            filter_row<typename V::Narrower>(a);
            return;
        }
    }
    // The cheap pass keeps one sum per image channel in registers: up to kChannelGroup.
    const int cheap_channels = a.cheap.enabled && a.img_ch <= kChannelGroup ? a.img_ch : 0;
    switch (cheap_channels) {
        case 1: filter_row_with<V, F, 1>(a); break;
        case 2: filter_row_with<V, F, 2>(a); break;
        case 3: filter_row_with<V, F, 3>(a); break;
        case 4: filter_row_with<V, F, 4>(a); break;
        default: filter_row_with<V, F, 0>(a); break;
    }
}

}  // namespace
}  // namespace sovelk::fused::detail
