#include "core/upsample_rows.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/batch.hpp"
#include "core/samples.hpp"

namespace sovelk::fused::detail {

namespace {

ptrdiff_t centre_values(const Geometry& g) {
    return (g.packed ? 2 : g.guid_ch) * g.cache_w;  // a packed pixel takes two uint32_t
}

}  // namespace

PhaseRows::PhaseRows(const Phases& phases, const Geometry& g)
    : p_(phases), g_(g),
      centre_guid_(g.range == RangeWeights::table ? aligned_array<uint32_t>(centre_values(g)) : nullptr),
      centre_f32_(g.float_rows || g.range == RangeWeights::rule_float ? aligned_array<float>(g.guid_ch * g.cache_w)
                                                                       : nullptr),
      centre_f64_(g.range == RangeWeights::rule_double ? aligned_array<double>(g.guid_ch * g.cache_w) : nullptr),
      full_row_(aligned_array<double>(phases.factor * g.strip * g.img_ch)),
      histories_(static_cast<size_t>(phases.factor * phases.factor * (g.strip + 1)), 0) {}

uint64_t PhaseRows::bytes(const Phases& phases, const Geometry& g) {
    const uint64_t f = static_cast<uint64_t>(phases.factor), cw = static_cast<uint64_t>(g.cache_w);
    const uint64_t gc = static_cast<uint64_t>(g.guid_ch), strip = static_cast<uint64_t>(g.strip);
    uint64_t centres = 0;
    if (g.range == RangeWeights::table) centres += static_cast<uint64_t>(centre_values(g)) * sizeof(uint32_t);
    if (g.float_rows || g.range == RangeWeights::rule_float) centres += gc * cw * sizeof(float);
    if (g.range == RangeWeights::rule_double) centres += gc * cw * sizeof(double);
    return centres + f * strip * static_cast<uint64_t>(g.img_ch) * sizeof(double) +
           f * f * (strip + 1) * sizeof(uint16_t);
}

// The guidance at full-resolution row y, columns factor (l0 + x) + px for x = 0 .. width - 1, into
// the centre rows at pad + x, in the forms the row cache gives the window's rows. False when a
// floating-point guidance holds a value the range rule cannot take.
template <class G>
bool PhaseRows::fill_centres_of(ptrdiff_t y, ptrdiff_t px, ptrdiff_t l0, ptrdiff_t width) {
    const Strided& a = p_.guidance;
    const int gc = g_.guid_ch;
    const ptrdiff_t cw = g_.cache_w, pad = g_.pad;
    const ptrdiff_t step = p_.factor * a.stride_w;
    const char* first = static_cast<const char*>(a.data) + y * a.stride_h + (p_.factor * l0 + px) * a.stride_w;
    auto value = [&](ptrdiff_t x, int k) { return load<G>(first + x * step + k * a.stride_c); };
    if (g_.range == RangeWeights::table) {
        // uint8 guidance: its values are the table indices (the cache's minimum is 0).
        if (g_.packed) {
            uint64_t* packed = reinterpret_cast<uint64_t*>(centre_guid_.get()) + pad;
            for (ptrdiff_t x = 0; x < width; ++x) {
                uint64_t fields = 0;
                for (int k = 0; k < gc; ++k) fields |= static_cast<uint64_t>(value(x, k)) << (16 * k);
                packed[x] = fields;
            }
        } else {
            for (int k = 0; k < gc; ++k)
                for (ptrdiff_t x = 0; x < width; ++x) centre_guid_[k * cw + pad + x] = static_cast<uint32_t>(value(x, k));
        }
        if (g_.float_rows)
            for (int k = 0; k < gc; ++k)
                for (ptrdiff_t x = 0; x < width; ++x) centre_f32_[k * cw + pad + x] = static_cast<float>(value(x, k));
        return true;
    }
    bool usable = true;
    for (int k = 0; k < gc; ++k)
        for (ptrdiff_t x = 0; x < width; ++x) {
            const G v = value(x, k);
            if constexpr (std::is_floating_point_v<G>) usable = usable && !unusable_guidance(static_cast<double>(v));
            // Exact, as in the row cache: the rule's types are chosen so.
            if (g_.range == RangeWeights::rule_float)
                centre_f32_[k * cw + pad + x] = static_cast<float>(v);
            else
                centre_f64_[k * cw + pad + x] = static_cast<double>(v);
        }
    return usable;
}

bool PhaseRows::fill_centres(ptrdiff_t y, ptrdiff_t px, ptrdiff_t l0, ptrdiff_t width) {
    bool usable = true;
    with_sample(p_.guidance.sample,
                [&](auto sample) { usable = fill_centres_of<decltype(sample)>(y, px, l0, width); });
    return usable;
}

// A pixel whose weights all underflowed has 0 / 0 in every channel: it takes the sample at the
// window's centre, the nearest one.
void PhaseRows::take_nearest_where_weights_vanished(const RowArgs& args) {
    const int ic = g_.img_ch;
    const double* nearest = args.img_rows[g_.pad] + g_.pad;
    for (ptrdiff_t x = 0; x < args.width; ++x) {
        double* pixel = args.out_row + x * ic;
        bool vanished = false;
        for (int k = 0; k < ic; ++k) vanished = vanished || is_nan(pixel[k]);
        if (!vanished) continue;
        for (int k = 0; k < ic; ++k) pixel[k] = nearest[k * g_.cache_w + x];
        p_.vanished.store(true, std::memory_order_relaxed);
    }
}

PhaseOutcome PhaseRows::filter(RowArgs& args, RowCache& cache, ptrdiff_t r, ptrdiff_t c0,
                               void (*row)(const RowArgs&), bool rounds_to_nearest) {
    const ptrdiff_t f = p_.factor, width = args.width, ic = g_.img_ch, c = p_.channels;
    const ptrdiff_t k = p_.low_row0 + r, l0 = p_.low_col0 + c0;
    // This low row's output rows in the block, and the strip's output columns in it.
    const ptrdiff_t py0 = std::max<ptrdiff_t>(0, p_.row0 - f * k);
    const ptrdiff_t py1 = std::min<ptrdiff_t>(f, p_.row0 + p_.rows - f * k);
    const ptrdiff_t x0 = std::max<ptrdiff_t>(f * l0, p_.col0);
    const ptrdiff_t x1 = std::min<ptrdiff_t>(f * (l0 + width), p_.col0 + p_.cols);
    const bool cheap_enabled = args.cheap.enabled;
    args.centre_guid = centre_guid_.get();
    args.centre_packed = reinterpret_cast<const uint64_t*>(centre_guid_.get());
    args.centre_f32 = centre_f32_.get();
    args.centre_f64 = centre_f64_.get();
    bool nan = false;
    for (ptrdiff_t py = py0; py < py1; ++py) {
        const ptrdiff_t y = f * k + py;
        for (ptrdiff_t px = 0; px < f; ++px) {
            if (args.stop != nullptr && args.stop->load(std::memory_order_relaxed)) return PhaseOutcome::ok;
            if (!fill_centres(y, px, l0, width)) return PhaseOutcome::unusable_guidance;
            const ptrdiff_t phase = py * f + px;
            args.kernel_s = p_.kernels + phase * g_.offsets;
            args.block_history = histories_.data() + phase * (g_.strip + 1);
            if (!p_.float_passes.empty()) {
                args.float_pass = p_.float_passes[static_cast<size_t>(phase)];
                args.float_pass.enabled = args.float_pass.enabled && cheap_enabled;
                if (args.float_pass.enabled && single_pass_tries(args)) cache.ensure_float_rows();
            }
            row(args);
            take_nearest_where_weights_vanished(args);
            for (ptrdiff_t x = 0; x < width; ++x)
                std::memcpy(full_row_.get() + (x * f + px) * ic, args.out_row + x * ic, ic * sizeof(double));
        }
        if (p_.holes) {
            // Each channel's mean divided by the samples' share of the weights, or the hole value
            // where they have none (every weighted value is then 0, and is divided by 1: no
            // 0 / 0 even if the quotient is computed ahead of the choice). In place: the c values
            // of pixel i land at or before the places they were read from, after the reads.
            for (ptrdiff_t i = 0; i < f * width; ++i) {
                const double share = full_row_[i * ic + c];
                const bool none = !(share > 0.0);
                const double divisor = none ? 1.0 : share;
                for (ptrdiff_t ch = 0; ch < c; ++ch) {
                    const double mean = full_row_[i * ic + ch] / divisor;
                    full_row_[i * c + ch] = none ? p_.hole : mean;
                }
            }
        }
        const double* first = full_row_.get() + (x0 - f * l0) * c;
        const OutputTarget& t = p_.target;
        if (t.direct) {
            std::memcpy(t.direct + (y - p_.row0) * t.direct_row_bytes + (x0 - p_.col0) * c * ptrdiff_t{sizeof(double)},
                        first, static_cast<size_t>((x1 - x0) * c) * sizeof(double));
        } else if (t.write(first, x1 - x0, static_cast<int>(c), t.out, y - p_.row0, x0 - p_.col0, rounds_to_nearest)) {
            nan = true;
        }
    }
    return nan ? PhaseOutcome::nan_in_output : PhaseOutcome::ok;
}

}  // namespace sovelk::fused::detail
