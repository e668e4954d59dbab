// The rows of an upsampling call (upsample.hpp): what each worker does with a window of low rows
// once the row cache holds it. Every phase (py, px) of that low row is one row of the joint filter
// on the low grid with the phase's spatial kernel and its own centres; the phases' rows are
// interleaved into output rows of full resolution. Internal to the driver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/aligned_array.hpp"
#include "core/cheap_pass.hpp"
#include "core/fused_kernel.hpp"
#include "core/fused_kernel_row.hpp"
#include "core/geometry.hpp"
#include "core/output_rows.hpp"
#include "core/row_cache.hpp"

namespace sovelk::fused::detail {

// What the workers of one upsampling call share besides the Job: the phases' kernels and plans,
// the guidance the centres come from, and the output block.
struct Phases {
    ptrdiff_t factor = 1;
    const double* kernels = nullptr;  // factor^2 kernels of Geometry::offsets weights
    // The single-precision pass of each phase, its kernel pointing into PhasePlans::float_plans;
    // the double-precision pass is the Job's, whose bounds hold for every phase.
    std::vector<FloatPass> float_passes;
    Strided guidance;  // at full resolution: the centres
    // The output block in full-resolution pixels, and the low block (the RowSource's) whose windows'
    // centres hold it: low row low_row0 + r is output rows factor (low_row0 + r) + py.
    ptrdiff_t row0 = 0, rows = 0, col0 = 0, cols = 0;
    ptrdiff_t low_row0 = 0, low_col0 = 0;
    int channels = 0;  // the output's; with holes the rows have one more
    bool holes = false;
    double hole = 0.0;
    OutputTarget target;  // the output block
    // Some pixel's weights added up to 0: the invalid operation of its 0 / 0 is accounted for.
    mutable std::atomic<bool> vanished{false};
};

// The outcome of a window's phases.
enum class PhaseOutcome { ok, nan_in_output, unusable_guidance };

// One worker's buffers for the phases: the centres of one phase, one output row, and a history of
// the cheap pass per phase (a phase's filtered row goes to the worker's row of doubles).
class PhaseRows {
public:
    PhaseRows(const Phases& phases, const Geometry& g);  // throws std::bad_alloc

    // Filters every phase of block row r in the strip from column c0 (args.width columns) whose
    // output rows lie in the block, from the window the cache holds (args set from it, out_row
    // a row of strip x img_ch doubles), and writes the output rows. `row` is the path's row loop.
    PhaseOutcome filter(RowArgs& args, RowCache& cache, ptrdiff_t r, ptrdiff_t c0, void (*row)(const RowArgs&),
                        bool rounds_to_nearest);

    // The memory a worker's PhaseRows allocates.
    static uint64_t bytes(const Phases& phases, const Geometry& g);

private:
    bool fill_centres(ptrdiff_t y, ptrdiff_t px, ptrdiff_t l0, ptrdiff_t width);
    template <class G>
    bool fill_centres_of(ptrdiff_t y, ptrdiff_t px, ptrdiff_t l0, ptrdiff_t width);
    void take_nearest_where_weights_vanished(const RowArgs& args);

    const Phases& p_;
    const Geometry& g_;
    AlignedArray<uint32_t> centre_guid_;  // planar, or packed as uint64_t
    AlignedArray<float> centre_f32_;
    AlignedArray<double> centre_f64_;
    AlignedArray<double> full_row_;   // factor x strip output pixels of img_ch channels
    std::vector<uint16_t> histories_;  // strip + 1 entries per phase
};

}  // namespace sovelk::fused::detail
