// Pass 1 of the exact sequence: the weight of every window offset, looked up in the folded table
// (planar or packed guidance) or computed by the range rule (range_rule.hpp), summed in offset
// order; beside it the cheap pass's weighted sums (CheapSums).
//
// Part of the row loop (fused_kernel_body.hpp), included by it: the same anonymous namespace, the
// same rule of calling no library function.

namespace sovelk::fused::detail {
namespace {

// Where pass 1 takes the range weights from (RowArgs::range, and the table's layout).
enum class Weigh {
    table,      // the folded table, from guidance cached planar (guid_rows)
    packed,     // the folded table, from guidance cached packed (packed_rows)
    rule,       // the range rule, from guidance cached in float32 (guid_rows_f32)
    rule_wide,  // the range rule, from guidance cached in float64 (guid_rows_f64)
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
    // The centre's guidance (RowArgs::centre_guid and its kin) is at padded column c + pad.
    const typename V::Centre centre = V::centre(a, folded, a.centre_guid + k * pw + c + a.pad);
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

// Every lane looks its weight up from its own table base pointer (LaneIndices): sixteen of them
// exceed the general registers beside the loop's own pointers, while eight fit. GCC parks the
// rest in vector registers; Clang reloads them from the stack at every offset. So under Clang a
// Pair of sixteen lanes sweeps its halves one after the other (each lane's sum still adds its
// weights in offset order); GCC keeps the one sweep (docs/install.md has both compilers' figures).
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
    const typename V::Fields bias = V::bias(span_fields, a.centre_packed + c + a.pad);
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

}  // namespace
}  // namespace sovelk::fused::detail
