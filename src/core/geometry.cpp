#include "core/geometry.hpp"

#include <algorithm>
#include <limits>

namespace sovelk::fused::detail {

namespace {

// Channels of image and guidance the single-precision pass takes (one float32 sum per image
// channel in registers; a range weight of at most four squared distances).
constexpr int kMaxFloatChannels = 4;

// A row cache of the whole width grows with it: window x (width + 2 pad) x about 28 bytes, 4.2 GB
// per thread for a row of 10^7 colour pixels at sigma_s 2. Past this budget the columns are
// split into strips, so the cache stays bounded whatever the width.
constexpr ptrdiff_t kCacheBudget = ptrdiff_t{8} << 20;
// Each strip caches the 2 pad columns beside it again; at least four windows (and 256 columns)
// per strip keep that repeated work below a quarter even for windows too large for the budget.
constexpr ptrdiff_t kMinStrip = 256;
constexpr ptrdiff_t kMinStripWindows = 4;

// Bytes a cached guidance value takes: table indices (and their float32 copies for the
// single-precision pass) or the rule's float32 or float64 values.
ptrdiff_t guidance_value_bytes(const Geometry& g) {
    switch (g.range) {
        case RangeWeights::table: return 4 + (g.float_rows ? 4 : 0);
        case RangeWeights::rule_float: return 4;
        default: return 8;
    }
}

}  // namespace

bool checked_mul(ptrdiff_t a, ptrdiff_t b, ptrdiff_t& product) {
    if (a != 0 && b > std::numeric_limits<ptrdiff_t>::max() / a) return false;
    product = a * b;
    return true;
}

bool make_geometry(ptrdiff_t rows, ptrdiff_t cols, ptrdiff_t pad, int img_ch, int guid_ch, RangeWeights range,
                   int64_t span, ptrdiff_t strip_request, Geometry& g) {
    if (rows < 0 || cols < 0 || pad < 0 || img_ch < 1 || guid_ch < 1) return false;
    if (pad > kLimit / 4 || rows > kLimit / 2 || cols > kLimit / 2) return false;
    g.rows = rows;
    g.cols = cols;
    g.pad = pad;
    g.img_ch = img_ch;
    g.guid_ch = guid_ch;
    g.window = 2 * pad + 1;
    g.range = range;
    g.packed = range == RangeWeights::table && guid_ch >= 2 && guid_ch <= kMaxPackedChannels && span <= kMaxPackedSpan;
    g.float_rows = range == RangeWeights::table && img_ch <= kMaxFloatChannels && guid_ch <= kMaxFloatChannels;
    g.paired = (g.float_rows || range != RangeWeights::table) && pad <= kMaxPairedPad;
    // Per cached column: guidance and image as double, and the image again as float for the
    // single-precision pass.
    const ptrdiff_t image_value = 8 + (g.float_rows ? 4 : 0);
    ptrdiff_t scratch = 0, column_bytes = 0;
    if (!checked_mul(g.window, g.window, g.offsets) || !checked_mul(g.offsets, kMaxLanes, scratch) || scratch > kLimit ||
        !checked_mul(g.window,
                     guidance_value_bytes(g) * static_cast<ptrdiff_t>(guid_ch) + image_value * static_cast<ptrdiff_t>(img_ch),
                     column_bytes) ||
        column_bytes > kLimit)
        return false;
    ptrdiff_t strip = strip_request;
    if (strip <= 0) {
        const ptrdiff_t fit = kCacheBudget / column_bytes - 2 * pad;
        strip = std::max({fit, kMinStrip, kMinStripWindows * g.window});
    }
    strip = std::clamp<ptrdiff_t>(strip, 1, std::max<ptrdiff_t>(cols, 1));
    g.strips = cols == 0 ? 0 : (cols + strip - 1) / strip;
    g.strip = g.strips == 0 ? strip : (cols + g.strips - 1) / g.strips;  // strips of even width
    g.cache_w = g.strip + 2 * pad;
    ptrdiff_t cache = 0;
    return checked_mul(g.cache_w, column_bytes, cache) && cache <= kLimit;
}


namespace {

// PairedRows' buffers: a window row's weights, and the sums of pad + 1 rows.
uint64_t paired_bytes(const Geometry& g) {
    if (!g.paired) return 0;
    const uint64_t w = static_cast<uint64_t>(g.cache_w), slots = static_cast<uint64_t>(g.pad) + 1;
    const uint64_t weight = g.range == RangeWeights::table ? sizeof(float) : sizeof(double);
    return static_cast<uint64_t>(g.window) * w * weight +
           slots * (1 + static_cast<uint64_t>(g.img_ch)) * w * sizeof(double) + slots * 16;
}

}  // namespace

uint64_t bytes_per_thread(const Geometry& g, bool row_out) {
    const uint64_t per_value = g.float_rows ? sizeof(float) : 0;
    const uint64_t cache = static_cast<uint64_t>(g.window) * static_cast<uint64_t>(g.cache_w) *
                           (static_cast<uint64_t>(guidance_value_bytes(g)) * static_cast<uint64_t>(g.guid_ch) +
                            (sizeof(double) + per_value) * static_cast<uint64_t>(g.img_ch));
    const uint64_t scratch = static_cast<uint64_t>(g.offsets) * kMaxLanes * sizeof(double);
    const uint64_t columns = static_cast<uint64_t>(g.cache_w) * sizeof(ptrdiff_t);
    const uint64_t out = row_out ? static_cast<uint64_t>(g.strip) * static_cast<uint64_t>(g.img_ch) * sizeof(double) : 0;
    const uint64_t history = (static_cast<uint64_t>(g.strip) + 1) * sizeof(uint16_t);  // WorkerState
    return cache + scratch + columns + out + history + paired_bytes(g);
}

}  // namespace sovelk::fused::detail
