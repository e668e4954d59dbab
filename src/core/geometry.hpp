// The sizes of a call: window, strips of output columns, the row cache's layout, and the memory
// one worker allocates, all checked against overflow. Internal to the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/fused_kernel.hpp"
#include "core/fused_kernel_row.hpp"

namespace sovelk::fused::detail {

// How the request's guidance is weighed and cached (see RangeWeights): by the table where there is
// one, else by the rule in the precision its sample type needs.
inline RangeWeights range_weights_of(const FilterRequest& q) {
    if (q.table != nullptr) return RangeWeights::table;
    switch (q.guidance.sample) {
        case Sample::uint8: return RangeWeights::table;
        case Sample::uint16:
        case Sample::int16:
        case Sample::float32: return RangeWeights::rule_float;
        default: return RangeWeights::rule_double;
    }
}

// Sizes of a call, all checked against overflow by the driver.
struct Geometry {
    ptrdiff_t rows = 0, cols = 0, pad = 0, window = 0, offsets = 0;
    int img_ch = 0, guid_ch = 0;
    RangeWeights range = RangeWeights::table;  // and so the guidance's cached form
    bool packed = false;      // guidance cached as RowArgs::packed_rows
    ptrdiff_t strip = 0;      // output columns per strip (the last may be narrower)
    ptrdiff_t strips = 0;
    ptrdiff_t cache_w = 0;    // strip + 2 pad: one cached channel plane
    // Rows also cached in float32 (RowArgs::guid_rows_f32): set by make_geometry() where the
    // single-precision pass may run, so that sizes count them; cleared by the driver where it
    // does not.
    bool float_rows = false;
    // Likewise the paired rows' buffers (PairedRows).
    bool paired = false;
    // Each cached row's largest image magnitude is kept (CheapPass::magnitudes).
    bool magnitudes = false;
};

// Sizes past this are refused: every byte count of them still fits a ptrdiff_t.
constexpr ptrdiff_t kLimit = std::numeric_limits<ptrdiff_t>::max() / 16;

// a * b, or false when it would not fit in ptrdiff_t (both non-negative).
bool checked_mul(ptrdiff_t a, ptrdiff_t b, ptrdiff_t& product);

// The geometry of a block of rows x cols output pixels, or false when its sizes would overflow.
// `span` (of the cached guidance values) decides only whether a table guidance is packed.
// `strip_request` > 0 fixes the strip width (tests); otherwise a worker's row cache is held to
// about kCacheBudget by splitting the output columns into strips.
bool make_geometry(ptrdiff_t rows, ptrdiff_t cols, ptrdiff_t pad, int img_ch, int guid_ch, RangeWeights range,
                   int64_t span, ptrdiff_t strip_request, Geometry& g);

// Memory one worker allocates (its row cache, scratch and histories, and with `row_out` a row of
// doubles before its conversion).
uint64_t bytes_per_thread(const Geometry& g, bool row_out);

}  // namespace sovelk::fused::detail
