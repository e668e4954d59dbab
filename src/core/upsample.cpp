// Driver of upsampling (upsample.hpp): checks the request, describes the low grid's window rows
// for the row cache, plans the passes for every phase and hands the call to the workers
// (batch.cpp), whose windows go to the phases (upsample_rows.cpp).

#include "core/upsample.hpp"

#include <algorithm>
#include <cfenv>
#include <limits>
#include <new>
#include <vector>

#include "core/batch.hpp"
#include "core/driver_parts.hpp"
#include "core/fp_environment.hpp"
#include "core/samples.hpp"
#include "core/upsample_rows.hpp"

namespace sovelk::fused {

namespace detail {

namespace {

// The first low row (or column) whose window's centre holds output row p, and the end of those
// holding rows p .. p + n - 1.
ptrdiff_t first_low(ptrdiff_t p, ptrdiff_t f) { return p / f; }
ptrdiff_t end_low(ptrdiff_t p, ptrdiff_t n, ptrdiff_t f) { return n == 0 ? p / f : (p + n - 1) / f + 1; }

// upsample()'s checks, before anything is read: the full-resolution sizes are factor times the
// low image's (so that every view below stays inside the guidance), the output block lies inside
// them, and the weights are ones the row loops take.
bool upsample_request_ok(const UpsampleRequest& u) {
    const FilterRequest& q = u.source;
    const Strided &img = q.image, &guide = q.guidance;
    if (!strided_ok(img) || !strided_ok(guide) || !strided_ok(q.out)) return false;
    if (u.factor < 1 || q.pad < 0 || q.pad > kLimit / 4) return false;
    ptrdiff_t full_h = 0, full_w = 0, stride_h = 0, stride_w = 0;
    const ptrdiff_t f = u.factor;
    if (!checked_mul(img.h, f, full_h) || !checked_mul(img.w, f, full_w) || full_h != guide.h || full_w != guide.w)
        return false;
    // The samples' view steps factor rows and columns at once.
    if (!checked_mul(guide.stride_h < 0 ? -guide.stride_h : guide.stride_h, f, stride_h) ||
        !checked_mul(guide.stride_w < 0 ? -guide.stride_w : guide.stride_w, f, stride_w))
        return false;
    if (q.row0 < 0 || q.col0 < 0 || q.rows < 0 || q.cols < 0 || q.row0 > full_h - q.rows || q.col0 > full_w - q.cols)
        return false;
    if (q.out.h != q.rows || q.out.w != q.cols || q.out.channels != img.channels) return false;
    // Tables for uint8 guidance only: an int32 one would need the span of the centres too.
    if (q.table != nullptr && guide.sample != Sample::uint8) return false;
    if (u.holes && non_finite(u.hole)) return false;
    return weights_ok(q) && q.kernel_s != nullptr && !non_finite(q.cval) && guidance_cval_ok(q);
}

// The joint filter on the low grid that every phase runs: the low image, the guidance at the
// samples' places (every factor-th row and column from (factor - 1) / 2), the low block whose
// windows' centres hold the output block.
FilterRequest low_grid(const UpsampleRequest& u) {
    FilterRequest q = u.source;
    const ptrdiff_t f = u.factor, at = (f - 1) / 2;
    Strided& g = q.guidance;
    g.data = static_cast<const char*>(g.data) + at * g.stride_h + at * g.stride_w;
    g.h = q.image.h;
    g.w = q.image.w;
    g.stride_h *= f;
    g.stride_w *= f;
    q.row0 = first_low(u.source.row0, f);
    q.rows = end_low(u.source.row0, u.source.rows, f) - q.row0;
    q.col0 = first_low(u.source.col0, f);
    q.cols = end_low(u.source.col0, u.source.cols, f) - q.col0;
    return q;
}

bool make_low_geometry(const UpsampleRequest& u, const FilterRequest& low, ptrdiff_t strip_width, Geometry& g) {
    if (u.holes && low.image.channels == std::numeric_limits<int>::max()) return false;
    const int img_ch = low.image.channels + (u.holes ? 1 : 0);
    if (!make_geometry(low.rows, low.cols, low.pad, img_ch, low.guidance.channels, range_weights_of(low), 255,
                       strip_width, g))
        return false;
    g.paired = false;  // a pixel pair's two ends have different centres
    ptrdiff_t phases = 0, weights = 0;
    return checked_mul(u.factor, u.factor, phases) && checked_mul(phases, g.offsets, weights);
}

// The passes of every phase: the double-precision one with bounds that hold for all of them (it
// is the Job's, one for the call), the single-precision one per phase.
struct PhasePlans {
    OutputConversion conversion;
    CheapPass cheap;
    std::vector<FloatPlan> float_plans;
};

PhasePlans plan_phases(const UpsampleRequest& u, const FilterRequest& low, const Geometry& g, const double* table,
                       ptrdiff_t table_used, int factors, bool rule, const Options& options, const fenv_t& env) {
    CheapPassFacts converted = converted_by_filter(low);
    // With holes the driver divides the filtered values before converting them: every bit counts.
    if (u.holes) converted.conversion.kind = Conversion::none;
    // At factor 1 the centre is the middle sample, and weighs as in the joint filter.
    converted.centre_weighs_one = u.factor == 1;
    PhasePlans plans;
    const ptrdiff_t phases = static_cast<ptrdiff_t>(u.factor) * u.factor;
    for (ptrdiff_t p = 0; p < phases; ++p) {
        PassPlans plan = plan_passes(converted, g, low.kernel_s + p * g.offsets, table, table_used, factors, rule,
                                     options, env);
        if (p == 0) {
            plans.conversion = plan.conversion;
            plans.cheap = plan.cheap;
        } else {
            CheapPass& c = plans.cheap;
            c.enabled = c.enabled && plan.cheap.enabled;
            c.sum_limit = std::min(c.sum_limit, plan.cheap.sum_limit);
            c.margin = std::max(c.margin, plan.cheap.margin);
            c.magnitude_limit = std::min(c.magnitude_limit, plan.cheap.magnitude_limit);
        }
        plans.float_plans.push_back(std::move(plan.float_plan));
    }
    if (!plans.cheap.enabled) plans.float_plans.clear();  // the single-precision pass needs it on
    return plans;
}

}  // namespace

Result upsample_with(const UpsampleRequest& u, int threads, const std::function<bool()>& poll,
                     const Options& options) {
    if (!isa_available(options.isa) || !upsample_request_ok(u)) return {Status::invalid_argument, 0};
    const FilterRequest low = low_grid(u);
    Geometry g;
    if (!make_low_geometry(u, low, options.strip_width, g)) return {Status::invalid_argument, 0};
    if (low.rows == 0 || low.cols == 0) return {};

    RowSource src = row_source(low);
    src.span = 255;  // uint8 guidance as it is; the rule's guidance caches values, no index
    src.holes = u.holes;
    src.hole = u.hole;

    const bool rule = g.range != RangeWeights::table;
    RangeTable range;
    if (!range_table(low.table, low.table_len, src.span, g.guid_ch, rule, range)) return {Status::out_of_memory, 0};

    fenv_t env;
    std::fegetenv(&env);
    PhasePlans plans;
    Phases phases;
    try {
        plans = plan_phases(u, low, g, range.table, range.used, range.factors, rule, options, env);
        for (FloatPlan& plan : plans.float_plans) {
            plan.pass.kernel = plan.kernel.data();
            phases.float_passes.push_back(plan.pass);
        }
    } catch (const std::bad_alloc&) {
        return {Status::out_of_memory, 0};
    }
    bool float_pass = false;
    for (const FloatPass& pass : phases.float_passes) float_pass = float_pass || pass.enabled;
    g.float_rows = float_pass;
    g.magnitudes = plans.cheap.enabled && plans.cheap.magnitudes;

    phases.factor = u.factor;
    phases.kernels = low.kernel_s;
    phases.guidance = u.source.guidance;
    phases.row0 = u.source.row0;
    phases.rows = u.source.rows;
    phases.col0 = u.source.col0;
    phases.cols = u.source.cols;
    phases.low_row0 = low.row0;
    phases.low_col0 = low.col0;
    phases.channels = u.source.image.channels;
    phases.holes = u.holes;
    phases.hole = u.hole;
    phases.target = output_target(u.source.out, u.source.rounding);

    // Only the AVX2 path splits its quotients between the divider and the FMA units.
    bool fma_by_data = options.division == Division::automatic && options.isa == Isa::avx2;
    for (ptrdiff_t p = 0; fma_by_data && p < static_cast<ptrdiff_t>(u.factor) * u.factor; ++p)
        fma_by_data = weights_in_fma_domain(low.kernel_s + p * g.offsets, g.offsets, range.table, range.len,
                                            range.span, range.factors);
    const OutputTarget written_by_phases;
    Job job(src, g, written_by_phases, low.kernel_s, row_function(options.isa), range.folded_centre(), fma_by_data);
    job.env = env;
    job.conversion = plans.conversion;
    job.cheap = plans.cheap;
    job.float_pass.enabled = float_pass;
    if (rule) job.rule = low.rule;
    job.phases = &phases;
    Result result = run_batch(job, threads, poll, options);
    // The 0 / 0 of a pixel whose weights all vanished was replaced by its nearest sample; an
    // invalid operation is otherwise raised only past an overflow, which is reported.
    if (result.status == Status::ok && phases.vanished.load() && !(result.fp_flags & FE_OVERFLOW))
        result.fp_flags &= ~FE_INVALID;
    return result;
}

}  // namespace detail

Result upsample(const UpsampleRequest& request, int threads, const std::function<bool()>& poll) {
    return detail::upsample_with(request, threads, poll, detail::Options{});
}

uint64_t bytes_per_thread(const UpsampleRequest& request) {
    detail::Geometry g;
    if (!detail::upsample_request_ok(request) ||
        !detail::make_low_geometry(request, detail::low_grid(request), 0, g))
        return 0;
    detail::Phases phases;
    phases.factor = request.factor;
    return detail::bytes_per_thread(g, true) + detail::PhaseRows::bytes(phases, g);
}

}  // namespace sovelk::fused
