// The portable instantiation of the fused row loop: one pixel at a time, for CPUs without the
// vector paths and for SOVELK_ISA=scalar.
#include <cstddef>
#include <cstdint>

#include "core/fused_kernel_body.hpp"

namespace sovelk::fused::detail {

void filter_row_scalar(const RowArgs& args) { filter_row<ScalarVec>(args); }

}  // namespace sovelk::fused::detail
