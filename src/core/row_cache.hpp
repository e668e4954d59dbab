// Where the row loop's window rows come from. Internal to the driver.
//
// A worker keeps the window's rows in a small planar cache (see RowArgs), converted as they are
// filled: image samples to double, guidance values to value minus the guidance minimum. The
// cache covers one strip of output columns plus the window's reach on either side, so its size
// is bounded by the strip, not by the image width; the border is applied while a row is filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "core/aligned_array.hpp"
#include "core/fused_kernel.hpp"
#include "core/fused_kernel_row.hpp"
#include "core/geometry.hpp"
#include "core/samples.hpp"

namespace sovelk::fused::detail {

// Everything a call reads: the request's arrays, border and output block, and for guidance
// weighed by a table how its values are cached.
struct RowSource {
    Strided image;     // any Sample
    // RangeWeights::table: Sample::uint8 or Sample::int32; the rule: any but Sample::uint8.
    Strided guidance;
    Border border = Border::reflect;
    double cval = 0.0;
    double guidance_cval = 0.0;
    int32_t guid_min = 0;  // table: cached guidance values are value - guid_min: 0 .. span
    int64_t span = 0;
    ptrdiff_t row0 = 0, col0 = 0, pad = 0;
    // Upsampling's holes: the cache holds the image's channels and one more, 1 where a sample is
    // read and 0 where every channel of it equals `hole`, whose channels are cached as 0.
    bool holes = false;
    double hole = 0.0;
};

// The request's arrays, border and block as the row cache reads them; how a table's guidance is
// cached (guid_min, span) and the holes are the caller's to add.
inline RowSource row_source(const FilterRequest& q) {
    RowSource src;
    src.image = q.image;
    src.guidance = q.guidance;
    src.border = q.border;
    src.cval = q.cval;
    src.guidance_cval = q.guidance_cval;
    src.row0 = q.row0;
    src.col0 = q.col0;
    src.pad = q.pad;
    return src;
}

// The window rows of one strip, in window-side slots: slot y mod window holds image row y (y
// may lie outside the image; the border says what it holds). Consecutive output rows of one
// worker share all but one row.
class RowCache {
public:
    RowCache(const RowSource& s, const Geometry& g)
        : s_(s), g_(g), guid_stride_(g.packed ? 2 * g.cache_w : g.cache_w * g.guid_ch),
          guid_(g.range == RangeWeights::table ? aligned_array<uint32_t>(g.window * g.cache_w * g.guid_ch) : nullptr),
          guid_f64_(g.range == RangeWeights::rule_double ? aligned_array<double>(g.window * g.cache_w * g.guid_ch)
                                                         : nullptr),
          guid_f64_rows_(g.range == RangeWeights::rule_double ? static_cast<size_t>(g.window) : 0),
          img_(aligned_array<double>(g.window * g.cache_w * g.img_ch)),
          columns_(static_cast<size_t>(g.cache_w)),
          tag_(static_cast<size_t>(g.window), kNoRow),
          guid_rows_(static_cast<size_t>(g.window)),
          packed_rows_(static_cast<size_t>(g.window)),
          img_rows_(static_cast<size_t>(g.window)),
          guid_f32_(g.float_rows || g.range == RangeWeights::rule_float
                        ? aligned_array<float>(g.window * g.cache_w * g.guid_ch)
                        : nullptr),
          img_f32_(g.float_rows ? aligned_array<float>(g.window * g.cache_w * g.img_ch) : nullptr),
          guid_f32_rows_(g.float_rows || g.range == RangeWeights::rule_float ? static_cast<size_t>(g.window) : 0),
          img_f32_rows_(g.float_rows ? static_cast<size_t>(g.window) : 0),
          slots_(static_cast<size_t>(g.window)),
          float_valid_(static_cast<size_t>(g.window), false),
          magnitude_(g.magnitudes ? static_cast<size_t>(g.window) : 0, 0) {}

    // Output columns c0 .. c0 + width - 1 of the block from now on: cached column x holds image
    // column first_ + x, with first_ = col0 + c0 - pad.
    void start_strip(ptrdiff_t c0, ptrdiff_t width) {
        if (c0 == strip_c0_ && tag_valid_) return;
        strip_c0_ = c0;
        tag_valid_ = true;
        std::fill(tag_.begin(), tag_.end(), kNoRow);
        const ptrdiff_t n = width + 2 * g_.pad;
        used_w_ = n;
        first_ = s_.col0 + c0 - s_.pad;
        const ptrdiff_t w = s_.image.w;
        inner_lo_ = std::clamp<ptrdiff_t>(-first_, 0, n);
        inner_hi_ = std::clamp<ptrdiff_t>(w - first_, inner_lo_, n);
        for (ptrdiff_t x = 0; x < n; ++x) {
            const ptrdiff_t p = first_ + x;
            columns_[static_cast<size_t>(x)] = p >= 0 && p < w ? p : border_index(p, w, s_.border);
        }
    }

    // What stopped a window's load: an image value that is not finite, or a guidance value the
    // range rule cannot take.
    enum class Refill { ok, non_finite_image, unusable_guidance };

    // Points the row pointers at the window of block row r (image rows row0 + r - pad ..
    // row0 + r + pad).
    Refill load_window(ptrdiff_t r) {
        const ptrdiff_t top = s_.row0 + r - g_.pad;
        for (ptrdiff_t j = 0; j < g_.window; ++j) {
            const ptrdiff_t y = top + j;
            ptrdiff_t slot = y % g_.window;
            if (slot < 0) slot += g_.window;
            if (tag_[static_cast<size_t>(slot)] != y) {
                const Refill filled = fill(slot, y);
                if (filled != Refill::ok) return filled;
                tag_[static_cast<size_t>(slot)] = y;
            }
            const size_t i = static_cast<size_t>(j);
            if (g_.range == RangeWeights::table) {
                guid_rows_[i] = guid_.get() + slot * guid_stride_;
                packed_rows_[i] = reinterpret_cast<const uint64_t*>(guid_rows_[i]);
            }
            img_rows_[i] = img_.get() + slot * g_.cache_w * g_.img_ch;
            slots_[i] = slot;
            if (!guid_f32_rows_.empty()) guid_f32_rows_[i] = guid_f32_.get() + slot * g_.cache_w * g_.guid_ch;
            if (!guid_f64_rows_.empty()) guid_f64_rows_[i] = guid_f64_.get() + slot * g_.cache_w * g_.guid_ch;
            if (g_.float_rows) img_f32_rows_[i] = img_f32_.get() + slot * g_.cache_w * g_.img_ch;
        }
        return Refill::ok;
    }

    const uint32_t* const* guid_rows() const { return g_.range == RangeWeights::table ? guid_rows_.data() : nullptr; }
    const uint64_t* const* packed_rows() const { return g_.packed ? packed_rows_.data() : nullptr; }
    const double* const* img_rows() const { return img_rows_.data(); }
    // The window's rows in float32 (RowArgs::guid_rows_f32): the guidance of RangeWeights::
    // rule_float; for the single-precision pass, valid after ensure_float_rows().
    const float* const* guid_rows_f32() const { return guid_f32_rows_.empty() ? nullptr : guid_f32_rows_.data(); }
    const float* const* img_rows_f32() const { return g_.float_rows ? img_f32_rows_.data() : nullptr; }
    const double* const* guid_rows_f64() const { return guid_f64_rows_.empty() ? nullptr : guid_f64_rows_.data(); }

    // The largest image magnitude the window's rows hold (with Geometry::magnitudes).
    double window_magnitude() const {
        uint64_t most = 0;
        for (ptrdiff_t slot : slots_) most = std::max(most, magnitude_[static_cast<size_t>(slot)]);
        double m;
        std::memcpy(&m, &most, sizeof m);
        return m;
    }

    // Converts the window's rows to float32 where they are not yet. Called only for rows in which
    // the single-precision pass may run: where it is predicted to fail (flat areas), the
    // conversion would be a large part of a small window's work.
    void ensure_float_rows() {
        for (ptrdiff_t slot : slots_) {
            if (float_valid_[static_cast<size_t>(slot)]) continue;
            fill_float(slot);
            float_valid_[static_cast<size_t>(slot)] = true;
        }
    }

private:
    static constexpr ptrdiff_t kNoRow = std::numeric_limits<ptrdiff_t>::min();

    Refill fill(ptrdiff_t slot, ptrdiff_t y) {
        const ptrdiff_t h = s_.image.h;
        const ptrdiff_t source_row = y >= 0 && y < h ? y : border_index(y, h, s_.border);
        bool usable = true;
        if (g_.range != RangeWeights::table) {
            with_sample(s_.guidance.sample, [&](auto sample) {
                using G = decltype(sample);
                // The rule takes differences of these values: cached exactly, as floats or doubles.
                auto unusable = [](G v) { return unusable_guidance(static_cast<double>(v)); };
                const ptrdiff_t at = slot * g_.cache_w * g_.guid_ch;
                if (g_.range == RangeWeights::rule_float)
                    usable = fill_planes<0, G>(s_.guidance, guid_f32_.get() + at, source_row, s_.guidance_cval, unusable);
                else
                    usable = fill_planes<0, G>(s_.guidance, guid_f64_.get() + at, source_row, s_.guidance_cval, unusable);
            });
        } else if (s_.guidance.sample == Sample::uint8) {
            fill_guidance_from<uint8_t>(slot, source_row);
        } else {
            fill_guidance_from<int32_t>(slot, source_row);
        }
        if (!usable) return Refill::unusable_guidance;
        bool finite = true;
        with_sample(s_.image.sample, [&](auto sample) {
            using T = decltype(sample);
            with_channel_count(s_.image.channels,
                               [&](auto ic) {
                                   finite = fill_planes<decltype(ic)::value, T>(
                                       s_.image, img_.get() + slot * g_.cache_w * g_.img_ch, source_row, s_.cval,
                                       [](auto v) { return non_finite(v); });
                               });
        });
        if (finite && s_.holes) mark_holes(slot);
        float_valid_[static_cast<size_t>(slot)] = false;
        if (finite && g_.magnitudes) {
            // On the bits: magnitudes of finite doubles order as their patterns do.
            const double* pd = img_.get() + slot * g_.cache_w * g_.img_ch;
            uint64_t most = 0;
            for (int k = 0; k < g_.img_ch; ++k)
                for (ptrdiff_t x = 0; x < used_w_; ++x) {
                    uint64_t bits;
                    std::memcpy(&bits, pd + k * g_.cache_w + x, sizeof bits);
                    most = std::max<uint64_t>(most, bits & 0x7FFFFFFFFFFFFFFFull);
                }
            magnitude_[static_cast<size_t>(slot)] = most;
        }
        return finite ? Refill::ok : Refill::non_finite_image;
    }

    // The slot's rows in float32, planar, from the rows just filled: guidance values (at most
    // 2^16 when packed, below 2^24 otherwise where this runs) and image samples (integers below
    // 2^24 where this runs) are exact.
    void fill_float(ptrdiff_t slot) {
        const ptrdiff_t n = used_w_, cw = g_.cache_w;
        const uint32_t* gd = guid_.get() + slot * guid_stride_;
        float* gf = guid_f32_.get() + slot * cw * g_.guid_ch;
        // Through int32_t, which converts to float in one vector instruction (uint32_t does not).
        if (g_.packed) {
            const uint64_t* packed = reinterpret_cast<const uint64_t*>(gd);
            for (int k = 0; k < g_.guid_ch; ++k)
                for (ptrdiff_t x = 0; x < n; ++x)
                    gf[k * cw + x] = static_cast<float>(static_cast<int32_t>((packed[x] >> (16 * k)) & 0xFFFF));
        } else {
            for (int k = 0; k < g_.guid_ch; ++k)
                for (ptrdiff_t x = 0; x < n; ++x) gf[k * cw + x] = static_cast<float>(static_cast<int32_t>(gd[k * cw + x]));
        }
        const double* pd = img_.get() + slot * cw * g_.img_ch;
        float* pf = img_f32_.get() + slot * cw * g_.img_ch;
        for (int k = 0; k < g_.img_ch; ++k)
            for (ptrdiff_t x = 0; x < n; ++x) pf[k * cw + x] = static_cast<float>(pd[k * cw + x]);
    }

    // True when element (x, k) of a row lies at (x * channels + k) elements, aligned: the row can
    // then be read as an array of T, which the compiler vectorises.
    template <class T>
    static bool interleaved(const Strided& a, const char* row) {
        const bool pixels = a.stride_w == static_cast<ptrdiff_t>(sizeof(T)) * a.channels &&
                            (a.channels == 1 || a.stride_c == static_cast<ptrdiff_t>(sizeof(T)));
        return pixels && reinterpret_cast<uintptr_t>(row) % alignof(T) == 0;
    }

    template <class G>
    void fill_guidance_from(ptrdiff_t slot, ptrdiff_t source_row) {
        with_channel_count(g_.guid_ch, [&](auto gc) {
            constexpr int GC = decltype(gc)::value;
            if (g_.packed)
                fill_guidance<GC, G, true>(slot, source_row);
            else
                fill_guidance<GC, G, false>(slot, source_row);
        });
    }

    // Guidance values minus the minimum: 0 .. span, which fits a uint32_t (span < 2^32) and, when
    // packed, its 16-bit field (span <= kMaxPackedSpan).
    template <int GC, class G, bool Packed>
    void fill_guidance(ptrdiff_t slot, ptrdiff_t source_row) {
        const Strided& a = s_.guidance;
        const int gc = GC > 0 ? GC : g_.guid_ch;
        const ptrdiff_t n = used_w_, cw = g_.cache_w;
        const int64_t base = s_.guid_min, span = s_.span;
        uint32_t* gd = guid_.get() + slot * guid_stride_;
        // An int32 value is clipped to the span the driver measured: one written since (by another
        // thread of the caller's) cannot take an index out of the table. 8-bit values are within it
        // by their type.
        auto index_of = [base, span](int64_t value) {
            int64_t d = value - base;
            if constexpr (!std::is_same_v<G, uint8_t>) d = d < 0 ? 0 : d > span ? span : d;
            return static_cast<uint32_t>(d);
        };
        auto put = [&](ptrdiff_t x, int k, int64_t value) {
            const uint32_t v = index_of(value);
            if constexpr (Packed) {
                uint64_t& field = reinterpret_cast<uint64_t*>(gd)[x];
                if (k == 0) field = 0;
                field |= static_cast<uint64_t>(v) << (16 * k);
            } else {
                gd[k * cw + x] = v;
            }
        };
        if (source_row < 0) {
            for (ptrdiff_t x = 0; x < n; ++x)
                for (int k = 0; k < gc; ++k) put(x, k, static_cast<int64_t>(s_.guidance_cval));
            return;
        }
        const char* row = static_cast<const char*>(a.data) + source_row * a.stride_h;
        auto at = [&](ptrdiff_t column, int k) {
            return static_cast<int64_t>(load<G>(row + column * a.stride_w + k * a.stride_c));
        };
        auto edge = [&](ptrdiff_t x) {
            const ptrdiff_t column = columns_[static_cast<size_t>(x)];
            for (int k = 0; k < gc; ++k) put(x, k, column < 0 ? static_cast<int64_t>(s_.guidance_cval) : at(column, k));
        };
        for (ptrdiff_t x = 0; x < inner_lo_; ++x) edge(x);
        const char* inner = row + (first_ + inner_lo_) * a.stride_w;
        const ptrdiff_t m = inner_hi_ - inner_lo_;
        if (interleaved<G>(a, inner)) {
            const G* p = reinterpret_cast<const G*>(inner);
            if constexpr (Packed) {
                uint64_t* gp = reinterpret_cast<uint64_t*>(gd) + inner_lo_;
                for (ptrdiff_t x = 0; x < m; ++x) {
                    uint64_t v = 0;
                    for (int k = 0; k < gc; ++k) v |= static_cast<uint64_t>(index_of(p[x * gc + k])) << (16 * k);
                    gp[x] = v;
                }
            } else {
                for (int k = 0; k < gc; ++k) {
                    uint32_t* plane = gd + k * cw + inner_lo_;
                    for (ptrdiff_t x = 0; x < m; ++x) plane[x] = index_of(p[x * gc + k]);
                }
            }
        } else {
            for (ptrdiff_t x = inner_lo_; x < inner_hi_; ++x)
                for (int k = 0; k < gc; ++k) put(x, k, at(first_ + x, k));
        }
        for (ptrdiff_t x = inner_hi_; x < n; ++x) edge(x);
    }

    // A row of `a` (image samples or the rule's guidance values) into planes of C, `cw` apart:
    // exact for every Sample that reaches here. False when `reject` refuses a floating-point value
    // (the row is then not all converted).
    template <int IC, class T, class C, class Reject>
    bool fill_planes(const Strided& a, C* out, ptrdiff_t source_row, double cval, Reject reject) {
        const int ic = IC > 0 ? IC : a.channels;
        const ptrdiff_t n = used_w_, cw = g_.cache_w;
        if (source_row < 0) {
            for (int k = 0; k < ic; ++k)
                for (ptrdiff_t x = 0; x < n; ++x) out[k * cw + x] = static_cast<C>(cval);
            return true;
        }
        bool bad = false;
        auto convert = [&](T v) {
            if constexpr (std::is_floating_point_v<T>) bad |= reject(v);
            return static_cast<C>(v);  // exact; integers raise no flag
        };
        const char* row = static_cast<const char*>(a.data) + source_row * a.stride_h;
        auto edge = [&](ptrdiff_t x) {
            const ptrdiff_t column = columns_[static_cast<size_t>(x)];
            for (int k = 0; k < ic; ++k)
                out[k * cw + x] =
                    column < 0 ? static_cast<C>(cval) : convert(load<T>(row + column * a.stride_w + k * a.stride_c));
        };
        for (ptrdiff_t x = 0; x < inner_lo_; ++x) edge(x);
        const char* inner = row + (first_ + inner_lo_) * a.stride_w;
        const ptrdiff_t m = inner_hi_ - inner_lo_;
        if (interleaved<T>(a, inner)) {
            const T* p = reinterpret_cast<const T*>(inner);
            for (int k = 0; k < ic; ++k) {
                C* plane = out + k * cw + inner_lo_;
                for (ptrdiff_t x = 0; x < m; ++x) plane[x] = convert(p[x * ic + k]);
            }
        } else {
            for (int k = 0; k < ic; ++k) {
                C* plane = out + k * cw + inner_lo_;
                for (ptrdiff_t x = 0; x < m; ++x) plane[x] = convert(load<T>(inner + x * a.stride_w + k * a.stride_c));
            }
        }
        for (ptrdiff_t x = inner_hi_; x < n; ++x) edge(x);
        return !bad;
    }

    // With holes: the slot's last channel plane becomes 1 for a sample, 0 for a hole, whose
    // other channels become 0 (a border of cval is a hole where cval is the hole value).
    void mark_holes(ptrdiff_t slot) {
        const ptrdiff_t cw = g_.cache_w;
        const int c = s_.image.channels;
        double* pd = img_.get() + slot * cw * g_.img_ch;
        for (ptrdiff_t x = 0; x < used_w_; ++x) {
            bool hole = true;
            for (int k = 0; k < c; ++k) hole = hole && pd[k * cw + x] == s_.hole;
            if (hole)
                for (int k = 0; k < c; ++k) pd[k * cw + x] = 0.0;
            pd[c * cw + x] = hole ? 0.0 : 1.0;
        }
    }

    const RowSource& s_;
    const Geometry& g_;
    const ptrdiff_t guid_stride_;  // uint32_t elements per cached guidance row
    AlignedArray<uint32_t> guid_;
    AlignedArray<double> guid_f64_;
    std::vector<const double*> guid_f64_rows_;
    AlignedArray<double> img_;
    std::vector<ptrdiff_t> columns_;  // image column of each cached column, -1 for a constant
    std::vector<ptrdiff_t> tag_;
    std::vector<const uint32_t*> guid_rows_;
    std::vector<const uint64_t*> packed_rows_;
    std::vector<const double*> img_rows_;
    AlignedArray<float> guid_f32_, img_f32_;
    std::vector<const float*> guid_f32_rows_, img_f32_rows_;
    std::vector<ptrdiff_t> slots_;   // the slot of each window row
    std::vector<bool> float_valid_;  // per slot: its float32 rows hold its current row
    std::vector<uint64_t> magnitude_;  // per slot: its largest image magnitude, as bits
    ptrdiff_t strip_c0_ = 0, used_w_ = 0, first_ = 0, inner_lo_ = 0, inner_hi_ = 0;
    bool tag_valid_ = false;
};

}  // namespace sovelk::fused::detail
