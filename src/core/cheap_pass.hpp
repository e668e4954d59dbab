// Per-call facts for the row loop's cheap pass (see CheapPass in fused_kernel_row.hpp): whether
// it may run at all, and its bound. docs/exact_decision.md derives both.
#pragma once

#include <cstddef>
#include <vector>

#include "core/fused_kernel_row.hpp"

namespace sovelk::fused::detail {

struct CheapPassFacts {
    const double* kernel_s = nullptr;  // the `offsets` spatial weights
    ptrdiff_t offsets = 0;
    ptrdiff_t window = 0;              // window side: offsets = window^2
    const double* table = nullptr;     // the range table entries a lookup can reach
    ptrdiff_t table_used = 0;
    int guid_ch = 1;                   // factors of the range weight
    double img_lo = 0.0, img_hi = 0.0; // bounds of the image values, which are integers
    // Or: image values of any sign and fraction, bounded per row by the driver (CheapPass::
    // magnitudes); img_lo and img_hi are then unused.
    bool magnitudes = false;
    double zero_difference_weight = 1.0;  // the range weight of a difference of 0, per channel
    OutputConversion conversion;
    // The window's centre weighs its spatial weight times 1 (its guidance against itself), so
    // that a pixel's weight sum is at least that. Upsampling takes the range weights against a
    // guidance no sample holds, and the single-precision pass then checks each sum itself
    // (FloatPass::min_sum).
    bool centre_weighs_one = true;
    // The driver may sum the weights in paired rows (CheapPass::paired), if the spatial kernel
    // allows.
    bool pairs = false;
};

// Enabled only where the bound holds and neither sequence can raise a floating-point event the
// other would not: a conversion of the driver's own, image values in 0 .. 2^31, every spatial
// weight and reachable table entry finite and non-negative, some of each nonzero, and weights
// small enough that no weighted sum can overflow. With facts.magnitudes, images of any values:
// the plan's magnitude_limit keeps the sums from overflowing row by row, and the driver sets each
// row's reach (magnitude_reach()). The caller must also check the thread's environment (round to
// nearest, no flush-to-zero), which the bound assumes.
CheapPass plan_cheap_pass(const CheapPassFacts& facts);

// A row's reach for CheapPass::magnitudes: at least margin * magnitude with room for the
// roundings of the test, and never below 2^-1000, which covers the absolute errors of sums that
// fall into the subnormals.
double magnitude_reach(const CheapPass& plan, double magnitude);

// The largest relative error of the row loop's 2^(x / 8) (exp2_eighths: a float32 table of
// eighths times a degree-3 polynomial of the reduced argument, evaluated in float32), with the
// rounding of the reduced argument; docs/exact_decision.md derives it.
constexpr double kExp2Error = 2.0e-7;

// The single-precision pass and the float32 spatial weights it reads: whoever keeps `kernel` alive
// while the pass runs points pass.kernel at it (left null here, so that no copy of the plan can
// point at another's).
struct FloatPlan {
    FloatPass pass;
    std::vector<float> kernel;
};

// Enabled only where `cheap` (plan_cheap_pass() of the same facts) is, and further: image values
// below 2^24 (exact in float32), a guidance of at most four channels whose squared distances stay
// below 2^24, spatial weights zero or within [2^-40, 2^40] with a nonzero centre, and a table
// that is 2^(kappa d^2) within a relative 2^-30 wherever that is above 2^-60, and below 2^-59
// elsewhere (kappa fitted from the table, in [-4, 0]); without facts.centre_weighs_one, pixels
// whose sum is below min_sum are left to the exact sequence. Its margins must also be small enough to
// decide most values. Evaluates exp2 and log2: the caller restores its floating-point status
// flags afterwards.
FloatPlan plan_float_pass(const CheapPassFacts& facts, const CheapPass& cheap);

}  // namespace sovelk::fused::detail
