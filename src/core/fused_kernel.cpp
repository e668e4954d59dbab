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

template <class T>
ValueRange value_range(const T* data, size_t n) {
    ValueRange r;
    if (n == 0 || data == nullptr) return r;
    r.lo = r.hi = data[0];
    for (size_t i = 1; i < n; ++i) {
        r.lo = std::min<int32_t>(r.lo, data[i]);
        r.hi = std::max<int32_t>(r.hi, data[i]);
    }
    return r;
}

// The least and the greatest range weight the rule can give (RangeRule): what the plans below
// need to know of its weights, in the place of a table's entries.
constexpr double kRuleWeights[2] = {0x1p-122, 0x1.0001p0};

// The row loops look up a folded copy of the table: entry span + d is table[|d|]. Only loads and
// stores: copying raises no floating-point flag, whatever the values. False when its memory
// could not be had.
bool fold_table(const double* table, int64_t span, AlignedArray<double>& folded) {
    try {
        folded = aligned_array<double>(2 * span + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int64_t d = -span; d <= span; ++d) folded[span + d] = table[d < 0 ? -d : d];
    return true;
}

struct PassPlans {
    OutputConversion conversion;
    CheapPass cheap;
    FloatPlan float_plan;
};

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

// Runs a checked call, the geometry made. Range weights from `table`, which has more than span
// entries, or from `rule` where it is not null. `converted` holds the conversion the output
// target applies to every value (Conversion::none where the values are the result) and the range
// of the image values the windows can read; the kernel and table fields are filled in here.
Result execute(const Source& src, const Geometry& geometry, const OutputTarget& target, const double* kernel_s,
               const double* table, ptrdiff_t table_len, const RangeRule* rule, int threads,
               const std::function<bool()>& poll, const Options& options, const CheapPassFacts& converted) {
    // A rule's weight is one factor within kRuleWeights; a table's, one entry per channel.
    const int64_t span = rule ? 1 : src.span;
    const int factors = rule ? 1 : geometry.guid_ch;
    if (rule) {
        table = kRuleWeights;
        table_len = 2;
    }
    AlignedArray<double> folded;
    if (!rule && !fold_table(table, span, folded)) return {Status::out_of_memory, 0};

    fenv_t env;
    std::fegetenv(&env);
    const ptrdiff_t table_used = static_cast<ptrdiff_t>(std::min<int64_t>(table_len, span + 1));  // the reachable
    const PassPlans plans =
        plan_passes(converted, geometry, kernel_s, table, table_used, factors, rule != nullptr, options, env);
    // The row cache converts rows to float32 too only for the single-precision pass.
    Geometry g = geometry;
    g.float_rows = plans.float_plan.pass.enabled;
    g.paired = g.paired && plans.float_plan.pass.enabled && plans.float_plan.pass.paired;
    g.magnitudes = plans.cheap.enabled && plans.cheap.magnitudes;

    // Only the AVX2 path splits its quotients between the divider and the FMA units (see Pair).
    const bool fma_by_data = options.division == Division::automatic && options.isa == Isa::avx2 &&
                             weights_in_fma_domain(kernel_s, g.offsets, table, table_len, span, factors);
    Job job(src, g, target, kernel_s, row_function(options.isa), rule ? nullptr : folded.get() + span, fma_by_data);
    job.env = env;
    job.conversion = plans.conversion;
    job.cheap = plans.cheap;
    job.float_pass = plans.float_plan.pass;
    job.float_pass.kernel = plans.float_plan.kernel.data();
    if (rule) job.rule = *rule;
    return run_batch(job, threads, poll, options);
}

Sample sample_of(Element e) { return e == Element::uint8 ? Sample::uint8 : Sample::int32; }

// A C-contiguous h x w x channels buffer.
Strided contiguous(const void* data, Sample sample, ptrdiff_t h, ptrdiff_t w, int channels) {
    const ptrdiff_t item = sample == Sample::uint8 ? 1 : 4;
    Strided a;
    a.data = data;
    a.sample = sample;
    a.h = h;
    a.w = w;
    a.channels = channels;
    a.stride_c = item;
    a.stride_w = item * channels;
    a.stride_h = item * channels * w;
    return a;
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

// What filter() can tell the cheap pass without reading the image: its conversion, and the
// range of the values a window can read where the image's type bounds them to non-negative
// integers (uint8, uint16; a constant border adds cval, which must then be an integer too).
// Signed and float images leave the range unknown, and the cheap pass off.
CheapPassFacts converted_by_filter(const SourceRequest& q) {
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

// The padded buffers' sizes, checked; false where run() refuses them.
bool padded_sizes_fit(const Request& q) {
    if (q.h < 0 || q.w < 0 || q.pad < 0 || q.img_ch < 1 || q.guid_ch < 1) return false;
    if (q.pad > kLimit / 4 || q.h > kLimit / 2 || q.w > kLimit / 2) return false;
    ptrdiff_t plane = 0, values = 0, out = 0;
    return checked_mul(q.h + 2 * q.pad, q.w + 2 * q.pad, plane) &&
           checked_mul(plane, std::max(q.img_ch, q.guid_ch), values) && values <= kLimit &&
           checked_mul(q.h, q.w, out) && checked_mul(out, q.img_ch, out) && out <= kLimit;
}

// The same geometry as run() will use, with the guidance span that only changes the packing.
bool request_geometry(const Request& q, int64_t span, ptrdiff_t strip_request, Geometry& g) {
    return padded_sizes_fit(q) &&
           make_geometry(q.h, q.w, q.pad, q.img_ch, q.guid_ch, RangeWeights::table, span, strip_request, g);
}

bool strided_ok(const Strided& a) { return a.data != nullptr && a.h >= 0 && a.w >= 0 && a.channels >= 1; }

// A rule make_range_rule() could have made: the row loop relies on 8 kappa D2 staying within
// [-961, 0] for every D2 up to the cap, so that its powers of two stay normal.
bool rule_ok(const RangeRule& r) {
    const double hi = r.kappa_hi, lo = r.kappa_lo, cap = r.cap;
    return hi < 0.0 && hi >= -0x1p100 && !non_finite(lo) && std::fabs(lo) <= -hi * 0x1p-20 && cap > 0.0 &&
           !non_finite(cap) && -hi * cap <= 960.5;
}

// The guidance value of a constant border: a table index for uint8 guidance, else a value the
// rule takes and the guidance's type holds exactly (the float cache rounds nothing).
bool guidance_cval_ok(const SourceRequest& q) {
    const double v = q.guidance_cval;
    if (q.guidance.sample == Sample::uint8) return v >= 0.0 && v <= 255.0 && std::nearbyint(v) == v;
    if (unusable_guidance(v)) return false;
    return range_weights_of(q.guidance.sample) == RangeWeights::rule_double ||
           static_cast<double>(static_cast<float>(v)) == v;
}

// filter()'s checks; the output block must lie inside the image.
bool source_request_ok(const SourceRequest& q) {
    const Strided& img = q.image;
    if (!strided_ok(img) || !strided_ok(q.guidance) || !strided_ok(q.out)) return false;
    if (q.guidance.h != img.h || q.guidance.w != img.w) return false;
    if (q.row0 < 0 || q.col0 < 0 || q.rows < 0 || q.cols < 0 || q.row0 > img.h - q.rows || q.col0 > img.w - q.cols)
        return false;
    if (q.out.h != q.rows || q.out.w != q.cols || q.out.channels != img.channels) return false;
    const bool weights = q.guidance.sample == Sample::uint8 ? q.table != nullptr : rule_ok(q.rule);
    return weights && q.kernel_s != nullptr && !non_finite(q.cval) && guidance_cval_ok(q);
}

}  // namespace

int64_t value_span(const int32_t* data, size_t n) { return value_range(data, n).span(); }

Result run_with(const Request& q, int threads, const std::function<bool()>& poll, const Options& options) {
    Geometry g;
    if (!isa_available(options.isa) || !request_geometry(q, 0, options.strip_width, g)) return {Status::invalid_argument, 0};
    if (q.h == 0 || q.w == 0) return {};
    if (!q.padded_img || !q.padded_guid || !q.kernel_s || !q.table || !(q.out || q.out_u8) || q.table_len < 1)
        return {Status::invalid_argument, 0};
    const ptrdiff_t ph = q.h + 2 * q.pad, pw = q.w + 2 * q.pad;
    // Every lookup index is a difference of two guidance values, at most the span.
    const size_t guid_values = static_cast<size_t>(ph * pw * q.guid_ch);
    const ValueRange range = q.element == Element::uint8
                                 ? value_range(static_cast<const uint8_t*>(q.padded_guid), guid_values)
                                 : value_range(static_cast<const int32_t*>(q.padded_guid), guid_values);
    const int64_t span = range.span();
    if (span >= q.table_len || span > kMaxFoldedSpan) return {Status::invalid_argument, 0};
    request_geometry(q, span, options.strip_width, g);

    // The padded buffers are an image whose block starts pad rows and columns in: every window
    // lies inside it and no border is ever applied.
    Source src;
    src.image = contiguous(q.padded_img, sample_of(q.element), ph, pw, q.img_ch);
    src.guidance = contiguous(q.padded_guid, sample_of(q.element), ph, pw, q.guid_ch);
    src.guid_min = range.lo;
    src.span = span;
    src.row0 = src.col0 = src.pad = q.pad;
    src.rows = q.h;
    src.cols = q.w;
    OutputTarget target;
    CheapPassFacts converted;
    if (q.out_u8) {
        target = output_target(contiguous(q.out_u8, Sample::uint8, q.h, q.w, q.img_ch), Rounding::truncate);
        converted.conversion = integer_conversion(Sample::uint8, Rounding::truncate);
        // The windows read the padded image and nothing else.
        const ValueRange img = q.element == Element::uint8
                                   ? ValueRange{0, 255}
                                   : value_range(static_cast<const int32_t*>(q.padded_img),
                                                 static_cast<size_t>(ph * pw * q.img_ch));
        converted.img_lo = img.lo;
        converted.img_hi = img.hi;
    } else {
        target.direct = reinterpret_cast<char*>(q.out);
        target.direct_row_bytes = q.w * q.img_ch * static_cast<ptrdiff_t>(sizeof(double));
    }
    return execute(src, g, target, q.kernel_s, q.table, q.table_len, nullptr, threads, poll, options, converted);
}

Result filter_with(const SourceRequest& q, int threads, const std::function<bool()>& poll, const Options& options) {
    constexpr int64_t kUint8Span = 255;
    Geometry g;
    if (!isa_available(options.isa) || !source_request_ok(q) ||
        !make_geometry(q.rows, q.cols, q.pad, q.image.channels, q.guidance.channels,
                       range_weights_of(q.guidance.sample), kUint8Span, options.strip_width, g))
        return {Status::invalid_argument, 0};
    if (q.rows == 0 || q.cols == 0) return {};
    // 8-bit guidance, cached as it is (minimum 0, span 255): every table index is provably in
    // range, whatever the guidance holds, even if someone writes it while the call runs. Other
    // guidance is cached as values, which no index depends on.
    Source src;
    src.image = q.image;
    src.guidance = q.guidance;
    src.border = q.border;
    src.cval = q.cval;
    src.guidance_cval = q.guidance_cval;
    src.span = kUint8Span;
    src.row0 = q.row0;
    src.col0 = q.col0;
    src.rows = q.rows;
    src.cols = q.cols;
    src.pad = q.pad;
    const bool table = g.range == RangeWeights::table;
    return execute(src, g, output_target(q.out, q.rounding), q.kernel_s, table ? q.table : nullptr,
                   table ? kUint8Span + 1 : 0, table ? nullptr : &q.rule, threads, poll, options, converted_by_filter(q));
}

}  // namespace detail

Result run(const Request& request, int threads, const std::function<bool()>& poll) {
    return detail::run_with(request, threads, poll, detail::Options{});
}

Result filter(const SourceRequest& request, int threads, const std::function<bool()>& poll) {
    return detail::filter_with(request, threads, poll, detail::Options{});
}

uint64_t bytes_per_thread(const Request& request) {
    // The span only decides the packing of a guidance of 2 to 4 channels, which takes no more
    // room than the planar layout: the largest is assumed.
    detail::Geometry g;
    if (!detail::request_geometry(request, std::numeric_limits<int64_t>::max(), 0, g)) return 0;
    return detail::bytes_per_thread(g, request.out_u8 != nullptr);
}

uint64_t bytes_per_thread(const SourceRequest& request) {
    detail::Geometry g;
    if (!detail::source_request_ok(request) ||
        !detail::make_geometry(request.rows, request.cols, request.pad, request.image.channels,
                               request.guidance.channels, detail::range_weights_of(request.guidance.sample), 255, 0, g))
        return 0;
    return detail::bytes_per_thread(g, detail::output_target(request.out, request.rounding).direct == nullptr);
}

int default_thread_count() { return pool::max_threads(); }

}  // namespace sovelk::fused
