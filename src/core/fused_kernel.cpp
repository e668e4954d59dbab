// Driver of the fused kernel: checks the request, describes what the row cache reads, plans the
// call (the folded table, the cheap passes, whether the FMA quotient may be used) and hands it to
// the workers (batch.cpp), which run the output on the process's worker pool in bands of rows of
// one column strip. Each worker keeps the window's rows in a small planar cache (row_cache.hpp);
// the hot loop itself is in fused_kernel_body.hpp.

#include "core/fused_kernel.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

#include "core/aligned_array.hpp"
#include "core/batch.hpp"
#include "core/cheap_pass.hpp"
#include "core/driver_parts.hpp"
#include "core/fp_environment.hpp"
#include "core/fused_kernel_row.hpp"
#include "core/geometry.hpp"
#include "core/output_rows.hpp"
#include "core/row_cache.hpp"
#include "core/worker_pool.hpp"

namespace sovelk::fused {

namespace detail {

namespace {

// The folded table has 2 span + 1 entries. Past this span (only a caller's own huge table with a
// guidance of that range gets there) the request is refused and the caller's statements run.
constexpr int64_t kMaxFoldedSpan = int64_t{1} << 24;

struct ValueRange {
    int32_t lo = 0, hi = 0;
    int64_t span() const { return static_cast<int64_t>(hi) - lo; }
};

// The least and greatest of the int32 values in rows r0 .. r1 - 1 and columns c0 .. c1 - 1 of
// `a` (every channel), joined to `r`; `any` says whether r holds a value yet.
void add_value_range(const Strided& a, ptrdiff_t r0, ptrdiff_t r1, ptrdiff_t c0, ptrdiff_t c1, ValueRange& r,
                     bool& any) {
    const ptrdiff_t n = (c1 - c0) * a.channels;
    const bool interleaved =
        a.stride_w == 4 * static_cast<ptrdiff_t>(a.channels) && (a.channels == 1 || a.stride_c == 4);
    for (ptrdiff_t y = r0; y < r1 && c0 < c1; ++y) {
        const char* row = static_cast<const char*>(a.data) + y * a.stride_h + c0 * a.stride_w;
        int32_t lo = any ? r.lo : load<int32_t>(row), hi = any ? r.hi : lo;
        if (interleaved && reinterpret_cast<uintptr_t>(row) % alignof(int32_t) == 0) {
            const int32_t* p = reinterpret_cast<const int32_t*>(row);
            for (ptrdiff_t i = 0; i < n; ++i) {
                lo = std::min(lo, p[i]);
                hi = std::max(hi, p[i]);
            }
        } else {
            for (ptrdiff_t x = 0; x < c1 - c0; ++x)
                for (int k = 0; k < a.channels; ++k) {
                    const int32_t v = load<int32_t>(row + x * a.stride_w + k * a.stride_c);
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
        }
        r = {lo, hi};
        any = true;
    }
}

// The range of the int32 guidance values the windows of the output block can read: the block's
// rows and columns with the window's reach, where that stays inside the image; the whole axis
// where the border maps positions beyond it (anywhere, for wrap), and then a constant border's
// value too. Every table index is a difference of two such values, at most the span.
ValueRange reachable_guidance_range(const FilterRequest& q) {
    const Strided& g = q.guidance;
    const ptrdiff_t top = q.row0 - q.pad, bottom = q.row0 + q.rows + q.pad;
    const ptrdiff_t left = q.col0 - q.pad, right = q.col0 + q.cols + q.pad;
    const bool rows_inside = top >= 0 && bottom <= g.h, cols_inside = left >= 0 && right <= g.w;
    ValueRange r;
    bool any = false;
    add_value_range(g, rows_inside ? top : 0, rows_inside ? bottom : g.h, cols_inside ? left : 0,
                    cols_inside ? right : g.w, r, any);
    if (q.border == Border::constant && !(rows_inside && cols_inside)) {
        const int32_t cval = static_cast<int32_t>(q.guidance_cval);  // an int32, checked
        r = any ? ValueRange{std::min(r.lo, cval), std::max(r.hi, cval)} : ValueRange{cval, cval};
    }
    return r;
}

}  // namespace

// Folding the table is only loads and stores: it raises no floating-point flag, whatever the
// values.
bool range_table(const double* table, ptrdiff_t len, int64_t span, int guid_ch, bool rule, RangeTable& out) {
    out.table = rule ? kRuleWeights : table;
    out.len = rule ? 2 : len;
    out.span = rule ? 1 : span;
    out.factors = rule ? 1 : guid_ch;
    out.used = static_cast<ptrdiff_t>(std::min<int64_t>(out.len, out.span + 1));
    if (rule) return true;
    try {
        out.folded = aligned_array<double>(2 * span + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int64_t d = -span; d <= span; ++d) out.folded[span + d] = table[d < 0 ? -d : d];
    return true;
}

// The cheap passes where the output target converts the values (`converted`): the double one
// wherever its bound holds, and on the vector paths the single-precision one where a table's
// weights are close enough to a Gaussian. Range weights: `factors` of the first `table_used`
// entries of `table`.
PassPlans plan_passes(CheapPassFacts converted, const Geometry& g, const double* kernel_s, const double* table,
                      ptrdiff_t table_used, int factors, bool rule, const Options& options, const fenv_t& env) {
    PassPlans plans;
    if (converted.conversion.kind == Conversion::none || options.cheap_pass == CheapPassMode::off) return plans;
    converted.kernel_s = kernel_s;
    converted.offsets = g.offsets;
    converted.window = g.window;
    converted.table = table;
    converted.table_used = table_used;
    converted.guid_ch = factors;
    converted.zero_difference_weight = rule ? 1.0 : table[0];  // the rule weighs 0 by exactly 1
    // The x86 paths pair the rule's weights (sixteen or eight lanes a block); NEON's four leave the
    // stored weights' loads too little work to hide behind.
    const bool wide_vectors = options.isa == Isa::avx2 || options.isa == Isa::avx512;
    converted.pairs = rule && g.paired && wide_vectors && g.pad >= kMinRulePairedPad;
    plans.conversion = converted.conversion;
    plans.cheap = plan_cheap_pass(converted);
    plans.cheap.predict = options.cheap_pass == CheapPassMode::automatic;
    if (!rule && options.float_pass && options.isa != Isa::scalar && g.img_ch <= kChannelGroup) {
        EnvironmentRestorer restore{env};  // the plan's exp2 and log2 raise inexact
        enter_environment(env);            // and read subnormal table entries: never a trap
        try {
            plans.float_plan = plan_float_pass(converted, plans.cheap);
        } catch (const std::bad_alloc&) {  // its float32 kernel: the double pass serves
        }
    }
    return plans;
}

namespace {

// Runs a checked call, the geometry made. Range weights from `table`, which has more than span
// entries, or from `rule` where it is not null. `converted` holds the conversion the output
// target applies to every value (Conversion::none where the values are the result) and the range
// of the image values the windows can read; the kernel and table fields are filled in here.
Result execute(const RowSource& src, const Geometry& geometry, const OutputTarget& target, const double* kernel_s,
               const double* table, ptrdiff_t table_len, const RangeRule* rule, int threads,
               const std::function<bool()>& poll, const Options& options, const CheapPassFacts& converted) {
    RangeTable range;
    if (!range_table(table, table_len, src.span, geometry.guid_ch, rule != nullptr, range))
        return {Status::out_of_memory, 0};

    fenv_t env;
    std::fegetenv(&env);
    const PassPlans plans = plan_passes(converted, geometry, kernel_s, range.table, range.used, range.factors,
                                        rule != nullptr, options, env);
    // The row cache converts rows to float32 too only for the single-precision pass.
    Geometry g = geometry;
    g.float_rows = plans.float_plan.pass.enabled;
    g.paired = g.paired && ((plans.float_plan.pass.enabled && plans.float_plan.pass.paired) ||
                            (rule != nullptr && plans.cheap.enabled && plans.cheap.paired));
    g.magnitudes = plans.cheap.enabled && plans.cheap.magnitudes;

    // Only the AVX2 path splits its quotients between the divider and the FMA units (see Pair).
    const bool fma_by_data = options.division == Division::automatic && options.isa == Isa::avx2 &&
                             weights_in_fma_domain(kernel_s, g.offsets, range.table, range.len, range.span, range.factors);
    Job job(src, g, target, kernel_s, row_function(options.isa), range.folded_centre(), fma_by_data);
    job.env = env;
    job.conversion = plans.conversion;
    job.cheap = plans.cheap;
    job.float_pass = plans.float_plan.pass;
    job.float_pass.kernel = plans.float_plan.kernel.data();
    if (rule) job.rule = *rule;
    return run_batch(job, threads, poll, options);
}

// The conversion write_row<O, rounding> applies to an integer output sample O: numpy's clip to
// O's range, then trunc or rint. Conversion::none for a float output, whose every bit counts.
OutputConversion integer_conversion(Sample out, Rounding rounding) {
    OutputConversion c;
    with_sample(out, [&c, rounding](auto sample) {
        using O = decltype(sample);
        if constexpr (std::is_integral_v<O>) {
            c.kind = rounding == Rounding::truncate ? Conversion::truncate : Conversion::round_half_even;
            c.lo = static_cast<double>(std::numeric_limits<O>::min());
            c.hi = static_cast<double>(std::numeric_limits<O>::max());
        }
    });
    return c;
}

}  // namespace

// What filter() can tell the cheap pass without reading the image: its conversion, and the
// range of the values a window can read where the image's type bounds them to non-negative
// integers (uint8, uint16; a constant border adds cval, which must then be an integer too).
// Signed and float images leave the range unknown, and the cheap pass off.
CheapPassFacts converted_by_filter(const FilterRequest& q) {
    CheapPassFacts f;
    f.conversion = integer_conversion(q.out.sample, q.rounding);
    if (q.out.sample == Sample::float32) f.conversion.kind = Conversion::to_float32;
    if (f.conversion.kind == Conversion::none) return f;  // float64: every bit is the result
    double lo = 0.0, hi = q.image.sample == Sample::uint8 ? 255.0 : 65535.0;
    bool whole = q.image.sample == Sample::uint8 || q.image.sample == Sample::uint16;
    if (whole && q.border == Border::constant) {
        // nearbyint raises no inexact flag, and cval is finite (source_request_ok).
        whole = std::nearbyint(q.cval) == q.cval && q.cval >= 0.0;
        hi = std::max(hi, q.cval);
    }
    if (whole) {
        f.img_lo = lo;
        f.img_hi = hi;
    } else {
        f.magnitudes = true;  // signed or fractional values: bounded row by row
    }
    return f;
}

bool strided_ok(const Strided& a) { return a.data != nullptr && a.h >= 0 && a.w >= 0 && a.channels >= 1; }

namespace {

// A rule make_range_rule() could have made: the row loop relies on 8 kappa D2 staying within
// [-961, 0] for every D2 up to the cap, so that its powers of two stay normal.
bool rule_ok(const RangeRule& r) {
    const double hi = r.kappa_hi, lo = r.kappa_lo, cap = r.cap;
    return hi < 0.0 && hi >= -0x1p100 && !non_finite(lo) && std::fabs(lo) <= -hi * 0x1p-20 && cap > 0.0 &&
           !non_finite(cap) && -hi * cap <= 960.5;
}

}  // namespace

// The guidance value of a constant border: a table index for uint8 guidance, an int32 for int32
// guidance weighed by a table, else a value the rule takes and the guidance's type holds exactly
// (the float cache rounds nothing).
bool guidance_cval_ok(const FilterRequest& q) {
    const double v = q.guidance_cval;
    if (q.guidance.sample == Sample::uint8) return v >= 0.0 && v <= 255.0 && std::nearbyint(v) == v;
    if (q.table != nullptr) return v >= -0x1p31 && v < 0x1p31 && std::nearbyint(v) == v;
    if (unusable_guidance(v)) return false;
    return range_weights_of(q) == RangeWeights::rule_double || static_cast<double>(static_cast<float>(v)) == v;
}

// A table for uint8 guidance (256 entries at least) or int32 guidance (its length checked against
// the span later), a rule for any other.
bool weights_ok(const FilterRequest& q) {
    if (q.table == nullptr) return q.guidance.sample != Sample::uint8 && rule_ok(q.rule);
    if (q.guidance.sample == Sample::uint8) return q.table_len >= 256;
    return q.guidance.sample == Sample::int32 && q.table_len >= 1;
}

namespace {

// filter()'s checks; the output block must lie inside the image.
bool source_request_ok(const FilterRequest& q) {
    const Strided& img = q.image;
    if (!strided_ok(img) || !strided_ok(q.guidance) || !strided_ok(q.out)) return false;
    if (q.pad < 0 || q.pad > kLimit / 4) return false;
    if (q.guidance.h != img.h || q.guidance.w != img.w) return false;
    if (q.row0 < 0 || q.col0 < 0 || q.rows < 0 || q.cols < 0 || q.row0 > img.h - q.rows || q.col0 > img.w - q.cols)
        return false;
    if (q.out.h != q.rows || q.out.w != q.cols || q.out.channels != img.channels) return false;
    return weights_ok(q) && q.kernel_s != nullptr && !non_finite(q.cval) && guidance_cval_ok(q);
}

}  // namespace

Result filter_with(const FilterRequest& q, int threads, const std::function<bool()>& poll, const Options& options) {
    const RangeWeights range = range_weights_of(q);
    Geometry g;
    // The sizes are checked before any value is read; the span measured next changes only
    // whether a guidance of 2 to 4 channels is packed.
    if (!isa_available(options.isa) || !source_request_ok(q) ||
        !make_geometry(q.rows, q.cols, q.pad, q.image.channels, q.guidance.channels, range, 255, options.strip_width,
                       g))
        return {Status::invalid_argument, 0};
    // 8-bit guidance, cached as it is (minimum 0, span 255): every table index is provably in
    // range, whatever the guidance holds. int32 guidance is cached as value minus its least value,
    // clipped to the span measured here, so that its indices stay in range too, even if someone
    // writes the guidance while the call runs. Other guidance is cached as values, which no index
    // depends on.
    ValueRange guidance{0, 255};
    if (range == RangeWeights::table && q.guidance.sample == Sample::int32 && q.rows > 0 && q.cols > 0) {
        guidance = reachable_guidance_range(q);
        if (guidance.span() >= q.table_len || guidance.span() > kMaxFoldedSpan) return {Status::invalid_argument, 0};
    }
    if (q.rows == 0 || q.cols == 0) return {};
    make_geometry(q.rows, q.cols, q.pad, q.image.channels, q.guidance.channels, range, guidance.span(),
                  options.strip_width, g);
    RowSource src = row_source(q);
    src.guid_min = guidance.lo;
    src.span = guidance.span();
    const bool table = range == RangeWeights::table;
    return execute(src, g, output_target(q.out, q.rounding), q.kernel_s, table ? q.table : nullptr,
                   table ? q.table_len : 0, table ? nullptr : &q.rule, threads, poll, options, converted_by_filter(q));
}

}  // namespace detail

Result filter(const FilterRequest& request, int threads, const std::function<bool()>& poll) {
    return detail::filter_with(request, threads, poll, detail::Options{});
}

uint64_t bytes_per_thread(const FilterRequest& request) {
    // The span only decides the packing of a guidance of 2 to 4 channels, which takes no more room
    // than the planar layout: int32 guidance, whose span is not measured here, is sized planar.
    const int64_t span = request.guidance.sample == Sample::uint8 ? 255 : std::numeric_limits<int64_t>::max();
    detail::Geometry g;
    if (!detail::source_request_ok(request) ||
        !detail::make_geometry(request.rows, request.cols, request.pad, request.image.channels,
                               request.guidance.channels, detail::range_weights_of(request), span, 0, g))
        return 0;
    return detail::bytes_per_thread(g, detail::output_target(request.out, request.rounding).direct == nullptr);
}

int default_thread_count() { return pool::max_threads(); }

}  // namespace sovelk::fused
