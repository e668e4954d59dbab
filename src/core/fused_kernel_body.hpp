// The row loop of the fused kernel, written once for any vector width. Each instruction-set
// translation unit includes this header after its `#pragma GCC target`, defines a vector type
// (lanes, loads, table lookup, arithmetic) and instantiates filter_row<Pair<ThatVector>>.
//
// Its parts, in the order they build on each other: the vector types (vector_types.hpp), the
// range rule's weights (range_rule.hpp), pass 1's weight sweeps (weight_sweeps.hpp), pass 2's
// exact sequence (exact_sequence.hpp), the blocks' histories (block_history.hpp), the
// double-precision cheap pass (double_pass.hpp), the single-precision one (single_pass.hpp) and
// its paired rows (paired_pass.hpp), the double-precision pass's paired rows with the range rule
// (paired_rule.hpp); here, what joins them: a row in blocks of pixels, and the
// dispatch on the guidance's layout and channel counts.
//
// Everything is in an anonymous namespace on purpose: the same template compiled for AVX2 in one
// translation unit and for AVX-512 in another must never be merged by the linker, or a CPU
// without AVX-512 could end up running the AVX-512 copy. For the same reason this header calls
// no library function: standard-library inline functions compiled under a target pragma would be
// shared across translation units. Every part holds to both rules. The including file must
// include <cstddef> and <cstdint> before its target pragma.
//
// Lanes hold adjacent output pixels of one row, never different window offsets: the offsets are
// summed one after another in their own order, because that order fixes the rounding of numpy's
// sums. Per lane, every value goes through exactly the operations of the reference, one
// correctly rounded operation each.

#include "core/fused_kernel_row.hpp"
#include "core/vector_types.hpp"
#include "core/range_rule.hpp"
#include "core/weight_sweeps.hpp"
#include "core/exact_sequence.hpp"
#include "core/block_history.hpp"
#include "core/double_pass.hpp"
#include "core/single_pass.hpp"
#include "core/paired_pass.hpp"
#include "core/paired_rule.hpp"

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
    // Paired rows take sixteen or eight lanes a block: narrower vectors leave the slots' loads and
    // stores too little work to hide behind.
    if constexpr (K > 0 && V::lanes >= 8 && (How == Weigh::rule || How == Weigh::rule_wide)) {
        if (rule_pairs_pay<V>(a)) {
            paired_rule_row<V, GC, How, K>(a);
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
