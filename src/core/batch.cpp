#include "core/batch.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "core/aligned_array.hpp"
#include "core/cheap_pass.hpp"
#include "core/fp_environment.hpp"
#include "core/upsample_rows.hpp"
#include "core/worker_pool.hpp"

namespace sovelk::fused::detail {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

struct WorkerState {
    WorkerState(const RowSource& s, const Geometry& g, bool row_out, const Phases* phases)
        : cache(s, g), scratch(aligned_array<double>(g.offsets * kMaxLanes)),
          row_out(row_out ? aligned_array<double>(g.strip * g.img_ch) : nullptr),
          block_history(static_cast<size_t>(g.strip) + 1, 0),
          phases(phases ? std::make_unique<PhaseRows>(*phases, g) : nullptr) {
        if (g.paired) {
            if (g.range == RangeWeights::table)
                pair_weights = aligned_array<float>(g.window * g.cache_w);
            else
                rule_pair_weights = aligned_array<double>(g.window * g.cache_w);
            pair_totals = aligned_array<double>((g.pad + 1) * (1 + g.img_ch) * g.cache_w);
            slot_row.assign(static_cast<size_t>(g.pad) + 1, -1);
            delivered.assign(static_cast<size_t>(g.pad) + 1, 0);
            paired.weights = pair_weights.get();
            paired.rule_weights = rule_pair_weights.get();
            paired.totals = pair_totals.get();
            paired.slot_row = slot_row.data();
            paired.delivered = delivered.data();
        }
    }
    RowCache cache;
    AlignedArray<double> scratch;
    AlignedArray<double> row_out;  // one filtered row before its conversion (OutputTarget::write)
    AlignedArray<float> pair_weights;
    AlignedArray<double> rule_pair_weights;
    AlignedArray<double> pair_totals;
    std::vector<ptrdiff_t> slot_row;
    std::vector<uint64_t> delivered;
    PairedRows paired;
    // RowArgs::block_history, one entry per block of a strip. A worker that moves to another
    // strip keeps the entries: they only predict, and a wrong prediction costs time, not bits.
    std::vector<uint16_t> block_history;
    std::unique_ptr<PhaseRows> phases;  // for upsampling
    CheapPassCounters counters;
};

// Filter bands until none is left or the job is stopped. With inline_poll (used only when no
// worker thread could be started) the calling thread itself polls between rows.
void work(Job& job, WorkerState& state, const std::function<bool()>* inline_poll) {
    enter_environment(job.env);
    const Geometry& g = job.geometry;
    const OutputTarget& target = job.target;
    RowArgs args{};
    args.pad = g.pad;
    args.padded_width = g.cache_w;
    args.img_ch = g.img_ch;
    args.guid_ch = g.guid_ch;
    args.kernel_s = job.kernel_s;
    args.folded_table = job.folded_table;
    args.span = job.source.span;
    args.range = g.range;
    args.rule = job.rule;
    args.scratch = state.scratch.get();
    args.fma_division_allowed = job.fma_by_data && environment_allows_fma_division();
    args.conversion = job.conversion;
    args.cheap = job.cheap;
    args.cheap.enabled = job.cheap.enabled && environment_allows_fma_division();
    const bool cheap_enabled = args.cheap.enabled;
    args.float_pass = job.float_pass;
    args.float_pass.enabled = job.float_pass.enabled && args.cheap.enabled;
    args.block_history = state.block_history.data();
    args.paired = g.paired ? &state.paired : nullptr;
    args.counters = &state.counters;
    args.stop = &job.stop;
    const bool rounds_to_nearest = environment_rounds_to_nearest();
    auto last_poll = std::chrono::steady_clock::now();
    while (!job.stop.load(std::memory_order_relaxed)) {
        const ptrdiff_t unit = job.next_unit.fetch_add(1, std::memory_order_relaxed);
        if (unit >= job.units) break;
        const ptrdiff_t c0 = unit / job.bands * g.strip;
        args.width = std::min(g.strip, g.cols - c0);
        state.cache.start_strip(c0, args.width);
        const ptrdiff_t first = unit % job.bands * job.band;
        const ptrdiff_t end = std::min(first + job.band, g.rows);
        if (args.paired) {  // this band's rows share their pairs' sums among themselves only
            std::fill(state.slot_row.begin(), state.slot_row.end(), -1);
            state.paired.band_end = end;
        }
        for (ptrdiff_t r = first; r < end && !job.stop.load(std::memory_order_relaxed); ++r) {
            if (args.paired) state.paired.row = r;
            const RowCache::Refill refill = state.cache.load_window(r);
            if (refill != RowCache::Refill::ok) {
                (refill == RowCache::Refill::non_finite_image ? job.non_finite : job.unusable_guidance).store(true);
                job.stop.store(true);
                break;
            }
            args.guid_rows = state.cache.guid_rows();
            args.packed_rows = state.cache.packed_rows();
            args.img_rows = state.cache.img_rows();
            args.guid_rows_f32 = state.cache.guid_rows_f32();
            args.img_rows_f32 = state.cache.img_rows_f32();
            args.guid_rows_f64 = state.cache.guid_rows_f64();
            args.centre_guid = args.guid_rows ? args.guid_rows[g.pad] : nullptr;
            args.centre_packed = args.packed_rows ? args.packed_rows[g.pad] : nullptr;
            args.centre_f32 = args.guid_rows_f32 ? args.guid_rows_f32[g.pad] : nullptr;
            args.centre_f64 = args.guid_rows_f64 ? args.guid_rows_f64[g.pad] : nullptr;
            if (g.magnitudes) {  // rows of larger magnitudes run the exact sequence
                const double magnitude = state.cache.window_magnitude();
                args.cheap.enabled = cheap_enabled && magnitude <= args.cheap.magnitude_limit;
                args.reach = magnitude_reach(args.cheap, magnitude);
            }
            if (state.phases) {
                args.out_row = state.row_out.get();
                const PhaseOutcome outcome = state.phases->filter(args, state.cache, r, c0, job.row, rounds_to_nearest);
                if (outcome == PhaseOutcome::unusable_guidance) {
                    job.unusable_guidance.store(true);
                    job.stop.store(true);
                    break;
                }
                if (outcome == PhaseOutcome::nan_in_output) job.nan_in_output.store(true, std::memory_order_relaxed);
            } else {
                if (args.float_pass.enabled && single_pass_tries(args)) state.cache.ensure_float_rows();
                args.out_row = target.direct
                                   ? reinterpret_cast<double*>(target.direct + r * target.direct_row_bytes) + c0 * g.img_ch
                                   : state.row_out.get();
                job.row(args);
                if (!target.direct &&
                    target.write(state.row_out.get(), args.width, g.img_ch, target.out, r, c0, rounds_to_nearest))
                    job.nan_in_output.store(true, std::memory_order_relaxed);
            }
            if (inline_poll && *inline_poll && std::chrono::steady_clock::now() - last_poll >= kPollInterval) {
                if ((*inline_poll)()) {
                    job.cancelled.store(true);
                    job.stop.store(true);
                }
                last_poll = std::chrono::steady_clock::now();
            }
        }
    }
    job.flags.fetch_or(std::fetestexcept(kReportedFlags));
}

// Tells the workers to stop on every way out, including an exception thrown by poll(); declared
// after the batch, so that the batch's destructor, which waits for them, comes second.
struct StopOnExit {
    Job& job;
    ~StopOnExit() { job.stop.store(true); }
};

// Every worker's counts added to the caller's.
void add_counters(const CheapPassCounters& c, CheapPassCounters& total) {
    total.blocks += c.blocks;
    total.single_blocks += c.single_blocks;
    total.exact_blocks += c.exact_blocks;
    total.skipped_blocks += c.skipped_blocks;
    total.lanes += c.lanes;
    total.exact_lanes += c.exact_lanes;
    total.lone_lanes += c.lone_lanes;
    total.paired_rows += c.paired_rows;
}

}  // namespace

bool single_pass_tries(const RowArgs& a) {
    if (!a.cheap.predict || a.block_history == nullptr) return true;
    const ptrdiff_t steps = (a.width + kSingleStep - 1) / kSingleStep;
    for (ptrdiff_t i = 0; i < steps; ++i)
        if ((a.block_history[i] & 0xFF) == 0) return true;
    return false;
}

Result run_batch(Job& job, int threads, const std::function<bool()>& poll, const Options& options) {
    const Geometry& g = job.geometry;
    const RowSource& src = job.source;
    const bool row_out = job.target.direct == nullptr;
    // No more scratch than the pool can put to work.
    const ptrdiff_t pieces = g.rows * g.strips;
    const ptrdiff_t most = std::min<ptrdiff_t>(pieces, options.on_calling_thread ? 1 : pool::max_threads());
    const int wanted = static_cast<int>(std::clamp<ptrdiff_t>(threads, 1, most));

    std::vector<std::unique_ptr<WorkerState>> states;
    try {
        states.reserve(static_cast<size_t>(wanted));
        for (int i = 0; i < wanted; ++i) states.push_back(std::make_unique<WorkerState>(src, g, row_out, job.phases));
    } catch (const std::bad_alloc&) {
        if (states.empty()) return {Status::out_of_memory, 0};  // fewer threads otherwise
    }
    const int slots = static_cast<int>(states.size());

    job.band = std::clamp<ptrdiff_t>(pieces / (8 * static_cast<ptrdiff_t>(slots)), 1, 16);
    // Paired rows get their pairs' sums from the rows above them in the band: the first pad rows
    // of a band compute those themselves, so longer bands waste less.
    if (g.paired) job.band = std::max(job.band, std::min<ptrdiff_t>(8 * (g.pad + 1), g.rows / slots + 1));
    job.bands = (g.rows + job.band - 1) / job.band;
    job.units = job.bands * g.strips;
    std::optional<pool::Batch> batch;
    if (!options.on_calling_thread) {
        try {
            batch.emplace(slots, [&job, &states](int slot) { work(job, *states[static_cast<size_t>(slot)], nullptr); });
        } catch (const std::bad_alloc&) {  // the calling thread then filters alone
        }
    }
    if (!batch || !batch->has_threads()) {
        EnvironmentRestorer restore{job.env};
        work(job, *states[0], &poll);
    } else {
        StopOnExit stop_on_exit{job};
        while (!batch->wait_for(kPollInterval)) {
            if (!poll || job.stop.load()) continue;
            if (poll()) {
                job.cancelled.store(true);
                job.stop.store(true);
                batch->close();  // a batch still waiting for a thread is not worth one now
            }
        }
    }
    const bool orphaned = batch && batch->orphaned();
    batch.reset();  // every worker has left the job
    if (job.cancelled.load()) return {Status::cancelled, 0};
    std::unique_ptr<WorkerState> fresh;
    if (orphaned) {
        // Forked while the workers filtered (a signal handler called fork): this process has none
        // of them, and their rows and caches stopped anywhere. The calling thread does it all
        // again, from fresh caches.
        try {
            fresh = std::make_unique<WorkerState>(src, g, row_out, job.phases);
        } catch (const std::bad_alloc&) {
            return {Status::out_of_memory, 0};
        }
        job.restart();
        EnvironmentRestorer restore{job.env};
        work(job, *fresh, &poll);
        if (job.cancelled.load()) return {Status::cancelled, 0};
    }
    if (job.non_finite.load()) return {Status::non_finite_image, 0};
    if (job.unusable_guidance.load()) return {Status::unusable_guidance, 0};
    if (options.statistics != nullptr) {
        if (fresh)
            add_counters(fresh->counters, *options.statistics);  // the lost workers' rows were all filtered again
        else
            for (const auto& state : states) add_counters(state->counters, *options.statistics);
    }
    Result result;
    result.fp_flags = job.flags.load();
    result.nan_in_output = job.nan_in_output.load();
    return result;
}

}  // namespace sovelk::fused::detail
