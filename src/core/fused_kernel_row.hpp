// Internal interface between the driver (fused_kernel.cpp: threads, row cache, checks) and the
// per-instruction-set row loops (fused_kernel_body.hpp instantiated in one translation unit per
// instruction set). Nothing here is part of the public API.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/fused_kernel.hpp"

namespace sovelk::fused::detail {

// What becomes of each filtered value after the row loop. Where the driver converts the values to
// integers itself (they go nowhere else), a value needs only to be close enough to the exact one
// to convert alike: the row loop may then store a cheaper value that provably does.
enum class Conversion : uint8_t {
    none,             // the values are the result: every bit counts
    truncate,         // trunc(clip(x, lo, hi)), numpy's clip and cast to an unsigned type
    round_half_even,  // round(clip(x, lo, hi)), ties to even
    to_float32,       // rounded to the nearest float32 (lo and hi unused)
};

struct OutputConversion {
    Conversion kind = Conversion::none;
    double lo = 0.0, hi = 0.0;  // clip bounds: integers, lo <= 0 <= hi, |lo|, hi <= 2^32
};

// Where the range weights come from.
enum class RangeWeights : uint8_t {
    table,        // looked up (uint8 guidance and the class's), the guidance cached as table
                  // indices: guid_rows or packed_rows
    rule_float,   // computed by RowArgs::rule from the guidance cached in float32, exactly
                  // (uint16, int16, float32): guid_rows_f32
    rule_double,  // the same from the guidance cached in float64, whose differences the rule
                  // takes exactly before rounding them (int32, float64): guid_rows_f64
};

// Per-call facts that let the row loop decide a pixel from one cheap pass: weighted sums
// N_k = sum of w_i * P_ik over the offsets and one divide v = N_k / sum per pixel, instead of a
// divide per offset and the exact sums. Where |exact - v| <= margin * v rules out every jump of
// the conversion, v is stored; elsewhere the pixel's block runs the exact sequence. Made by
// plan_cheap_pass() (cheap_pass.hpp); docs/exact_decision.md derives the bound.
struct CheapPass {
    bool enabled = false;
    // The bound and the absence of floating-point events hold where 0 < sum <= sum_limit.
    double sum_limit = 0.0;
    // Pixels whose weight sum is not above this run the exact sequence (CheapPass::magnitudes
    // where the centre is not a sample: docs/exact_decision.md, "Subnormals").
    double min_sum = 0.0;
    double margin = 0.0;  // relative to v
    // Blocks that needed the exact sequence in the last rows skip the cheap pass for a few rows,
    // so that flat or saturated areas, where every pixel needs it, cost no more than before.
    bool predict = true;
    // Images that may hold negative or fractional values, whose sums may cancel: the bound is
    // margin times the largest magnitude the window's rows hold (RowArgs::reach), not times v,
    // and rows holding a magnitude above magnitude_limit, whose sums might overflow, run the
    // exact sequence.
    bool magnitudes = false;
    double magnitude_limit = 0.0;
    // The range rule's weights may be summed in paired rows (paired_rule.hpp): the spatial
    // kernel is symmetric, and margin and sum_limit hold for sums in any order.
    bool paired = false;
};

// Per-call facts of the single-precision cheap pass, which the vector paths run instead of the
// one above where it is planned (plan_float_pass(), cheap_pass.hpp): each range weight computed
// as 2^(kappa D^2) from the squared guidance distance D^2 of the pixel pair instead of looked up
// (the table is checked against that Gaussian once per call), times the spatial weight, in
// float32, with float32 sums over runs of at most `chunk` offsets added up in float64. Where
// |exact - v| <= abs_margin + rel_margin * v rules out every jump of the conversion, v is
// stored; docs/exact_decision.md derives the bound and why this pass raises no floating-point
// event. Planned only where the double-precision pass above is, for the same pixels.
struct FloatPass {
    bool enabled = false;
    float kappa_hi = 0.0f, kappa_lo = 0.0f;  // kappa = kappa_hi + kappa_lo <= 0, exactly
    // D^2 is clipped to this: from there on both weights are below 2^-60 of the spatial weight,
    // and 2^(kappa D^2) stays a normal float.
    float d2_cap = 0.0f;
    const float* kernel = nullptr;  // the spatial weights in float32, row-major
    // Offsets per float32 partial sum: chunk_rows whole window rows (chunk is then the window
    // side), or `chunk` offsets of one row.
    ptrdiff_t chunk = 0, chunk_rows = 1;
    double abs_margin = 0.0, rel_margin = 0.0;
    // The margins hold for paired rows too (PairedRows): the spatial kernel is symmetric, so a
    // pixel pair's weight is the same from either end.
    bool paired = false;
    // Pixels whose float64 sum of the float32 weights is at most this run the exact sequence:
    // the margins assume a weight sum of at least about min_sum (plan_float_pass).
    double min_sum = 0.0;
};

// Per-worker state of the paired rows (of the single-precision pass, or of the double-precision
// pass with the range rule: paired_rule.hpp), kept from row to row of a band. The
// weight of a pixel pair is computed once, by the upper pixel's row (the left one's within a
// row), and serves both pixels' sums: that row adds it to its own sums and, for a lower pixel,
// to that row's sums in a slot kept until the row is filtered (paired_pass.hpp). The driver sets
// row and band_end before each row and empties slot_row at the start of each band.
struct PairedRows {
    float* weights = nullptr;    // 2 pad + 1 planes of padded_width floats: one window row's
    double* rule_weights = nullptr;  // the same in float64, for the range rule (paired_rule.hpp)
    double* totals = nullptr;    // pad + 1 slots of 1 + img_ch planes of padded_width doubles
    ptrdiff_t* slot_row = nullptr;  // pad + 1: the block row whose sums the slot holds, or -1
    uint64_t* delivered = nullptr;  // pad + 1: bit d set once window row -d was added there
    ptrdiff_t row = 0;       // the block row being filtered
    ptrdiff_t band_end = 0;  // rows from here on are filtered apart: they get no sums from this one
};

// Windows of at most this reach can be filtered in paired rows (one bit per window row above).
constexpr ptrdiff_t kMaxPairedPad = 63;
// The range rule's weights are paired (paired_rule.hpp) from this reach on: in smaller windows
// the stored weights' loads and stores cost more than the weights they save.
constexpr ptrdiff_t kMinRulePairedPad = 4;

// Pixels per step of the single-precision pass on every vector path (16 floats).
constexpr ptrdiff_t kSingleStep = 16;

// Per-worker counts of the cheap pass, summed by the driver for tests and benchmarks.
struct CheapPassCounters {
    uint64_t blocks = 0;          // blocks the cheap pass tried (steps of the single-precision one)
    uint64_t single_blocks = 0;   // of those, steps of the single-precision pass
    uint64_t exact_blocks = 0;    // of those, blocks it could not decide alone
    uint64_t skipped_blocks = 0;  // blocks predicted to need the exact sequence, run so at once
    uint64_t lanes = 0;           // pixels (vector lanes) the cheap pass tried
    uint64_t exact_lanes = 0;     // of those, pixels it could not decide
    uint64_t lone_lanes = 0;      // of those, pixels filtered one by one, the rest of the block decided
    uint64_t paired_rows = 0;     // rows filtered in paired form (paired_pass.hpp)
};

// Everything one output row needs. The window rows come from the driver's row cache in planar
// layout: channel k of a cached row starts at k * padded_width, so adjacent pixels of one channel
// are adjacent in memory and fill vector lanes with plain loads.
struct RowArgs {
    // Window side pointers to padded rows r .. r + 2 pad of the guidance, each value minus the
    // guidance minimum: 0 .. span, so differences of cached values are the true differences.
    // Planar (see above), except when packed_rows is set.
    const uint32_t* const* guid_rows;
    // Guidance of 2 .. kMaxPackedChannels channels whose span is at most kMaxPackedSpan, cached
    // packed instead: one uint64_t per pixel, channel k in bits 16 k .. 16 k + 15. One load
    // then fetches every channel of a pixel and one add forms all its table indices. Null when
    // the guidance is planar (guid_rows is then set).
    const uint64_t* const* packed_rows;
    int64_t span;  // max - min of the padded guidance
    const double* const* img_rows;  // same rows of the image, converted to double
    ptrdiff_t width;                  // output pixels in the row (w >= 1)
    ptrdiff_t pad;                    // window side is 2 pad + 1
    ptrdiff_t padded_width;           // w + 2 pad: length of one cached channel plane
    int img_ch, guid_ch;
    const double* kernel_s;
    // folded_table[d] == table[|d|] for -span <= d <= span (points at the middle of a 2 span + 1
    // copy), so a lane looks up with base folded_table - centre plus the neighbour value: two
    // plain loads, no absolute value.
    const double* folded_table;
    double* scratch;  // (2 pad + 1)^2 * kMaxLanes doubles, aligned to kScratchAlign bytes
    double* out_row;  // width * img_ch doubles, interleaved like the output
    // True only when the caller's environment rounds to nearest without flush-to-zero or
    // denormals-are-zero, and every nonzero finite weight lies within [2^-960, 2^960] (checked
    // once per call from the kernel and the table entries in use).
    bool fma_division_allowed;
    OutputConversion conversion;
    CheapPass cheap;
    double reach;  // with cheap.magnitudes: this row's |exact - cheap| bound, set by the driver
    FloatPass float_pass;
    // With float_pass.enabled: the same window rows in float32, planar (guidance value minus the
    // minimum, every channel, whatever the layout above; image samples, exact below 2^24).
    // With RangeWeights::rule_float, guid_rows_f32 holds the guidance values themselves.
    const float* const* guid_rows_f32;
    const float* const* img_rows_f32;
    RangeWeights range;
    RangeRule rule;  // RangeWeights::rule_float and rule_double
    const double* const* guid_rows_f64;  // RangeWeights::rule_double: the guidance values, planar
    // The guidance each pixel's range weights are taken against, laid out as a cached row of the
    // forms above (pixel c at c + pad): the window's middle row (guid_rows[pad], ...) for the
    // joint filter; for upsampling, the full-resolution guidance at one phase's output pixels,
    // which no window row holds (upsample_rows.hpp).
    const uint32_t* centre_guid;    // with guid_rows
    const uint64_t* centre_packed;  // with packed_rows
    const float* centre_f32;        // with guid_rows_f32
    const double* centre_f64;       // with guid_rows_f64
    // One entry per block of the row (at least `width` entries), kept by the worker from row to
    // row: whether the block at that place needed the exact sequence lately. Zeroed before the
    // first row. Only read and written when cheap.enabled and cheap.predict.
    uint16_t* block_history;
    PairedRows* paired;  // with float_pass.paired; may be null
    CheapPassCounters* counters;  // may be null
    // Checked between blocks of pixels, so that a huge window answers Ctrl-C without finishing
    // its row; a stopped row is left unfinished (the caller discards the output). May be null.
    const std::atomic<bool>* stop;
};

// With span <= kMaxPackedSpan, a neighbour value g and a centre value c (both 0 .. span) give the
// folded table index g - c + span in 0 .. 2 span <= 65534: it fits a 16-bit field, so adding
// span - c field by field never carries or borrows into the next channel.
constexpr int64_t kMaxPackedSpan = (int64_t{1} << 15) - 1;
constexpr int kMaxPackedChannels = 4;

constexpr int kMaxLanes = 16;  // two AVX-512 vectors of doubles
// Image channels whose sums pass 2 and the cheap passes keep in registers at once.
constexpr int kChannelGroup = 4;
constexpr size_t kScratchAlign = 64;

void filter_row_scalar(const RowArgs& args);
#if defined(__x86_64__) || defined(__i386__)
void filter_row_avx2(const RowArgs& args);    // needs AVX2 + FMA
void filter_row_avx512(const RowArgs& args);  // needs AVX-512 F, DQ, VL
#endif
#if defined(__aarch64__)
void filter_row_neon(const RowArgs& args);  // Advanced SIMD: every AArch64 CPU has it
#endif

}  // namespace sovelk::fused::detail
