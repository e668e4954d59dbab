// The workers of one call: each with its own row cache and scratch, claiming bands of rows of one
// strip from the job they share, on the process's worker pool, while the calling thread polls
// for a stop. Also what a fork in the middle of the call leaves to do. Internal to the driver.
#pragma once

#include <atomic>
#include <cfenv>
#include <cstddef>
#include <functional>

#include "core/fused_kernel.hpp"
#include "core/fused_kernel_row.hpp"
#include "core/geometry.hpp"
#include "core/output_rows.hpp"
#include "core/row_cache.hpp"

namespace sovelk::fused::detail {

using RowFunction = void (*)(const RowArgs&);

// The row loop of an instruction-set path (instruction_sets.cpp).
RowFunction row_function(Isa isa);

struct Phases;  // upsample_rows.hpp

// Whether some step of the row may try the single-precision pass (steps of kSingleStep pixels,
// one history entry each), which then needs the window's rows in float32.
bool single_pass_tries(const RowArgs& a);

// What the workers of one call share: what they read and where they write, the plans of the
// passes, the bands of rows they claim, and the call's stop and outcome.
struct Job {
    Job(const RowSource& s, const Geometry& g, const OutputTarget& t, const double* kernel, RowFunction f,
        const double* folded, bool fma)
        : source(s), geometry(g), target(t), kernel_s(kernel), row(f), folded_table(folded), fma_by_data(fma) {}
    const RowSource& source;
    const Geometry& geometry;
    const OutputTarget& target;
    const double* kernel_s;
    RowFunction row;
    const double* folded_table;
    bool fma_by_data;  // weights_in_fma_domain() and not disabled by the caller
    OutputConversion conversion;
    CheapPass cheap;  // plan_cheap_pass(); the environment is checked per worker
    FloatPass float_pass;  // plan_float_pass(), likewise
    fenv_t env{};  // the caller's, entered by every worker
    // Workers claim bands of consecutive rows of one strip, so that each output row refills one
    // cached row, not one per worker (with single rows claimed in turn, each worker's next row is
    // `threads` rows further down); this matters most at small windows, where refilling is a
    // large part of the work (docs/performance.md). A band is at most an eighth of a worker's
    // share, so a worker that gets less of the CPU holds up little of the end.
    ptrdiff_t band = 1, bands = 0, units = 0;  // units: bands x strips, strip by strip
    std::atomic<ptrdiff_t> next_unit{0};
    RangeRule rule;  // RangeWeights::rule_float and rule_double
    // Upsampling: each window's rows go to these phases, which write the output themselves (the
    // target is then unused).
    const Phases* phases = nullptr;
    std::atomic<bool> stop{false};       // workers finish their current row and leave
    std::atomic<bool> cancelled{false};  // poll() asked for the stop
    std::atomic<bool> non_finite{false};
    std::atomic<bool> unusable_guidance{false};
    std::atomic<int> flags{0};
    std::atomic<bool> nan_in_output{false};

    // Back to the state before any work, for a run from the start.
    void restart() {
        next_unit.store(0);
        stop.store(false);
        non_finite.store(false);
        unusable_guidance.store(false);
        flags.store(0);
        nan_in_output.store(false);
    }
};

// Filters the job on up to `threads` workers (no more than its pieces of rows and strips, nor the
// pool's max_threads), each worker's state allocated first (fewer workers if memory runs short,
// Status::out_of_memory if not even one fits). Fills in the job's bands. The calling thread only
// waits, also while the pool's threads finish other calls, and about every 50 ms calls poll()
// (never from a worker); when poll() returns true the workers stop before their next row and the
// result is Status::cancelled; if poll() throws, the workers are stopped and joined and the
// exception propagates. The calling thread's floating-point environment, status flags included,
// is left as it was.
Result run_batch(Job& job, int threads, const std::function<bool()>& poll, const Options& options);

}  // namespace sovelk::fused::detail
