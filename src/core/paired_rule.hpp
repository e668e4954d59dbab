// Paired rows of the double-precision pass with the range rule's weights: each pixel pair's weight
// computed once. Part of fused_kernel_body.hpp, included by it: the same anonymous namespace, the
// same rule of calling no library function.
//
// The rule is most of the double-precision pass's work per offset, and a pair's weight is the
// same from either pixel: the squared distance has the same bits both ways (rule_distance), and
// the spatial weights of offsets o and -o are the same double where the plan allows pairs
// (CheapPass::paired). So, as in the single-precision pass's paired rows (paired_pass.hpp), a
// row computes the float64 weights between its pixels and those of the rows below it, window row
// by window row, into PairedRows::rule_weights, and adds each to its own pixel's sums and to the
// lower pixel's, kept in a slot until that row is filtered. Each weight is the very double pass 1
// computes for that offset; only the order of the sums changes, which the plan's margin covers
// (docs/exact_decision.md, "Paired rows of the double-precision pass"). Where a row above did not
// add its pairs, the missing window rows are computed directly.

namespace sovelk::fused::detail {
namespace {

// Whether a row does better paired: nearly every block tries the pass (flat areas, where the
// history skips it, would pay for pairs they never use).
template <class V>
inline bool rule_pairs_pay(const RowArgs& a) {
    if (a.paired == nullptr || !a.cheap.paired || a.width < V::lanes) return false;
    if (!a.cheap.predict || a.block_history == nullptr) return true;
    const ptrdiff_t blocks = (a.width + V::lanes - 1) / V::lanes;
    ptrdiff_t trying = 0;
    for (ptrdiff_t i = 0; i < blocks; ++i) trying += (a.block_history[i] & 0xFF) == 0;
    return 4 * trying >= 3 * blocks;
}

// The pair weights of this row's pixels with window row pad + dy, for column offsets dx from
// -pad (1 when dy is 0) to pad: plane dx + pad, at the upper (left) pixel's cache column, over the
// columns this row's pixels (cache columns pad .. width + pad - 1) and the lower pixels (whose
// partners lie dx to their left) need. Each is pass 1's weight for the upper pixel's offset
// (dy, dx): the spatial weight of that offset times the rule's weight of the distance.
// What the loop reads is taken into locals first: the vector stores may alias anything, and the
// compiler would otherwise reload RowArgs' pointers at every block.
template <class V, int GC, bool Wide>
void rule_pair_planes(const RowArgs& a, const RuleConstants<typename RuleFloatsOf<V>::type>& k, ptrdiff_t dy) {
    using RF = typename RuleFloatsOf<V>::type;
    const ptrdiff_t pad = a.pad, pw = a.padded_width, width = a.width;
    const auto at = rule_guidance<Wide>(a, pad);
    const auto below = rule_guidance<Wide>(a, pad + dy);
    const double* spatial = a.kernel_s + (pad + dy) * (2 * pad + 1) + pad;
    double* const planes = a.paired->rule_weights;
    for (ptrdiff_t dx = dy == 0 ? 1 : -pad; dx <= pad; ++dx) {
        const ptrdiff_t lo = dx > 0 ? pad - dx : pad, hi = dx < 0 ? width + pad - dx : width + pad;
        double* out = planes + (dx + pad) * pw;
        const auto other = below + dx;
        const typename V::D s = V::set1(spatial[dx]);
        for (ptrdiff_t xc = lo;; xc += V::lanes) {
            if (xc > hi - V::lanes) xc = hi - V::lanes;  // the last block ends at hi
            const typename RF::W d2 = rule_distance<V, GC, Wide>(a, k, other + xc, at + xc);
            V::store(out + xc, rule_offset_weight<V>(k, s, d2));
            if (xc == hi - V::lanes) break;
        }
    }
}

// One chain of additions: the weight sum and weighted sums of a block's pixels over some terms
// weight(dx, column) times the image values of `image_row` at that cache column.
template <class V, int K>
struct RunChain {
    typename V::D s, n[K];
    RunChain() : s(V::zero()) {
        for (int k = 0; k < K; ++k) n[k] = V::zero();
    }
    template <class Weight>
    void add(const RowArgs& a, const double* image_row, Weight& weight, ptrdiff_t dx) {
        ptrdiff_t column;
        typename V::D w = weight(dx, column);
        keep_in_register(w, 0);  // a stored weight is loaded once
        s = V::add(s, w);
        for (int k = 0; k < K; ++k) n[k] = mul_add<V>(w, V::load(image_row + k * a.padded_width + column), n[k]);
    }
    // Into the pixels' sums at column x of `slot`. `fresh`: lane factors of 1 for the lanes this
    // step adds, 0 for those the step before added already (a row's last step overlaps it); null
    // for all.
    void into(const RowArgs& a, double* slot, ptrdiff_t x, const double* fresh) const {
        auto add = [&](double* p, typename V::D v) {
            if (fresh) v = V::mul(v, V::load(fresh));
            V::store(p, V::add(V::load(p), v));
        };
        add(slot + x, s);
        for (int k = 0; k < K; ++k) add(slot + (1 + k) * a.padded_width + x, n[k]);
    }
};

// Two runs of terms side by side, column offsets a0 .. a1 of wa into slot_a and b0 .. b1 of wb into
// slot_b: two independent chains, so that the additions' latency does not set the pace where the
// weights are only loaded. The order of the terms does not enter the bound.
template <class V, int K, class WeightA, class WeightB>
inline void two_runs(const RowArgs& a, ptrdiff_t x, const double* fresh, double* slot_a, const double* row_a,
                     ptrdiff_t a0, ptrdiff_t a1, WeightA wa, double* slot_b, const double* row_b, ptrdiff_t b0,
                     ptrdiff_t b1, WeightB wb) {
    RunChain<V, K> first, second;
    ptrdiff_t i = a0, j = b0;
    for (; i <= a1 && j <= b1; ++i, ++j) {
        first.add(a, row_a, wa, i);
        second.add(a, row_b, wb, j);
    }
    for (; i <= a1; ++i) first.add(a, row_a, wa, i);
    for (; j <= b1; ++j) second.add(a, row_b, wb, j);
    first.into(a, slot_a, x, fresh);
    second.into(a, slot_b, x, fresh);
}

// One window row of terms for the pixels at column x, its two halves as two chains.
template <class V, int K, class Weight>
inline void split_run(const RowArgs& a, ptrdiff_t x, const double* fresh, double* slot, const double* row,
                      Weight weight) {
    two_runs<V, K>(a, x, fresh, slot, row, -a.pad, 0, weight, slot, row, 1, a.pad, weight);
}

// A row by the double-precision pass in paired form, block by block with one history entry
// each, as filter_row_for() does unpaired.
template <class V, int GC, Weigh How, int K>
void paired_rule_row(const RowArgs& a) {
    using RF = typename RuleFloatsOf<V>::type;
    constexpr bool Wide = How == Weigh::rule_wide;
    PairedRows& pr = *a.paired;
    const ptrdiff_t pad = a.pad, pw = a.padded_width, r = pr.row;
    const RuleConstants<RF> k(a.rule);
    const PairedSteps steps(a, V::lanes);

    if (a.counters != nullptr) ++a.counters->paired_rows;
    double* mine = paired_slot(a, r);
    // The centre's own weight: its spatial weight times the rule's weight of a distance of 0,
    // which every finite guidance has to itself.
    const double centre_spatial = a.kernel_s[pad * (2 * pad + 1) + pad];
    const typename V::D centre_weight = rule_offset_weight<V>(k, V::set1(centre_spatial), RF::set1(0.0f));
    for (ptrdiff_t dy = 0; dy <= pad; ++dy) {
        if (a.stop != nullptr && a.stop->load(std::memory_order_relaxed)) return;
        const bool lower = dy > 0 && r + dy < pr.band_end;
        rule_pair_planes<V, GC, Wide>(a, k, dy);
        double* theirs = lower ? paired_slot(a, r + dy) : nullptr;
        const double* planes = pr.rule_weights;
        steps.each([&](ptrdiff_t x, const double* f) {
            if (dy == 0) {
                // This row's own window row: the pairs to the right from here, those to the left
                // from the left pixel.
                split_run<V, K>(a, x, f, mine, a.img_rows[pad], [&](ptrdiff_t dx, ptrdiff_t& column) {
                    column = x + pad + dx;
                    if (dx == 0) return centre_weight;
                    const ptrdiff_t e = dx > 0 ? dx : -dx;
                    return V::load(planes + (e + pad) * pw + (dx > 0 ? x + pad : x + pad + dx));
                });
                return;
            }
            auto upper = [&](ptrdiff_t dx, ptrdiff_t& column) {
                column = x + pad + dx;
                return V::load(planes + (dx + pad) * pw + x + pad);
            };
            if (!lower) {
                split_run<V, K>(a, x, f, mine, a.img_rows[pad + dy], upper);
                return;
            }
            two_runs<V, K>(a, x, f, mine, a.img_rows[pad + dy], -pad, pad, upper, theirs, a.img_rows[pad], -pad, pad,
                           [&](ptrdiff_t dx, ptrdiff_t& column) {
                               column = x + pad - dx;
                               return V::load(planes + (dx + pad) * pw + column);
                           });
        });
        if (lower) pr.delivered[(r + dy) % (pad + 1)] |= uint64_t{1} << dy;
    }

    // Blocks that try the pass, and the window rows above that no row paired for them.
    steps.try_each(
        a, pr.delivered[r % (pad + 1)], [&](ptrdiff_t x) { exact_block<V, GC, How>(a, x); },
        [&](ptrdiff_t x, ptrdiff_t dy, const double* f) {
            // Pass 1's weights of window row pad - dy, as rule_sweep() computes them.
            const auto at = rule_guidance<Wide>(a, pad) + x + pad;
            const auto above = rule_guidance<Wide>(a, pad - dy) + x + pad;
            const double* spatial = a.kernel_s + (pad - dy) * (2 * pad + 1) + pad;
            split_run<V, K>(a, x, f, mine, a.img_rows[pad - dy], [&](ptrdiff_t dx, ptrdiff_t& column) {
                column = x + pad + dx;
                const typename RF::W d2 = rule_distance<V, GC, Wide>(a, k, above + dx, at);
                return rule_offset_weight<V>(k, V::set1(spatial[dx]), d2);
            });
        },
        [&](ptrdiff_t x, const double* f, uint16_t* h) {
            CheapSums<V, K, false> sums;
            for (int c = 0; c < K; ++c) sums.total[c] = V::load(mine + (1 + c) * pw + x);
            alignas(kScratchAlign) double acc[K * kMaxLanes];
            const unsigned lanes = cheap_values<V>(a, sums, V::load(mine + x), acc);
            if (lanes == 0)
                scatter<V>(a, x, acc, 0, K);
            else
                exact_block<V, GC, How>(a, x);
            note_cheap_pass(a, h, lanes, steps.counted(f), lanes != 0);
        });
}

}  // namespace
}  // namespace sovelk::fused::detail
