// Parts of the joint filter's driver (fused_kernel.cpp) that the upsampling driver (upsample.cpp)
// takes as they are: the request's checks, what the output tells the cheap passes, the folded
// table and the passes' plans. Internal to the driver.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>

#include "core/aligned_array.hpp"
#include "core/cheap_pass.hpp"
#include "core/fused_kernel.hpp"
#include "core/fused_kernel_row.hpp"
#include "core/geometry.hpp"

namespace sovelk::fused::detail {

// The least and the greatest range weight the rule can give (RangeRule): what the plans need to
// know of its weights, in the place of a table's entries.
constexpr double kRuleWeights[2] = {0x1p-122, 0x1.0001p0};

// An array filter() can read: data, no negative size, a channel at least.
bool strided_ok(const Strided& a);
// A table for uint8 guidance (256 entries at least) or int32 guidance, a rule for any other.
bool weights_ok(const FilterRequest& q);
// The guidance value of a constant border, as the guidance's weights take it.
bool guidance_cval_ok(const FilterRequest& q);

// What the output tells the cheap passes without reading the image: the conversion the driver
// applies to every value (none for float64 outputs) and the range of the image's values where
// its type bounds them.
CheapPassFacts converted_by_filter(const FilterRequest& q);

// The range weights as the plans and the row loops take them. A rule's weight is one factor
// within kRuleWeights and nothing is folded; a table's is one entry per guidance channel, the
// first span + 1 entries reachable, and the row loops look up the folded copy, whose entry
// span + d is table[|d|].
struct RangeTable {
    const double* table = nullptr;
    ptrdiff_t len = 0;
    ptrdiff_t used = 0;  // the reachable entries
    int64_t span = 0;
    int factors = 1;
    AlignedArray<double> folded;
    const double* folded_centre() const { return folded ? folded.get() + span : nullptr; }
};

// `table` of `len` entries for guidance values within `span`, or the rule's weights where `rule`.
// False when the folded table's memory could not be had.
bool range_table(const double* table, ptrdiff_t len, int64_t span, int guid_ch, bool rule, RangeTable& out);

struct PassPlans {
    OutputConversion conversion;
    CheapPass cheap;
    FloatPlan float_plan;
};

// The cheap passes for the spatial kernel `kernel_s` of the geometry's window where the output
// converts the values (`converted`; nothing is planned where it does not). Range weights:
// `factors` of the first `table_used` entries of `table` (for a rule, kRuleWeights).
PassPlans plan_passes(CheapPassFacts converted, const Geometry& g, const double* kernel_s, const double* table,
                      ptrdiff_t table_used, int factors, bool rule, const Options& options, const fenv_t& env);

}  // namespace sovelk::fused::detail
