// Per-call facts for the row loop's cheap pass (see CheapPass in fused_kernel_row.hpp): whether
// it may run at all, and its bound. docs/exact_decision.md derives both.
#pragma once

#include <cstddef>

#include "core/fused_kernel_row.hpp"

namespace sovelk::fused::detail {

struct CheapPassFacts {
    const double* kernel_s = nullptr;  // the `offsets` spatial weights
    ptrdiff_t offsets = 0;
    const double* table = nullptr;     // the range table entries a lookup can reach
    ptrdiff_t table_used = 0;
    int guid_ch = 1;                   // factors of the range weight
    double img_lo = 0.0, img_hi = 0.0; // smallest and largest image value
    OutputConversion conversion;
};

// Enabled only where the bound holds and neither sequence can raise a floating-point event the
// other would not: a conversion of the driver's own, image values in 0 .. 2^31, every spatial
// weight and reachable table entry finite and non-negative, some of each nonzero, and weights
// small enough that no weighted sum can overflow. The caller must also check the thread's
// environment (round to nearest, no flush-to-zero), which the bound assumes.
CheapPass plan_cheap_pass(const CheapPassFacts& facts);

}  // namespace sovelk::fused::detail
