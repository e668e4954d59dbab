#include "methods/method_table.hpp"

#include "module/lines.hpp"

namespace sovelk {

const MethodInfo kMethods[kMethodCount] = {
    {"__init__", "Sovelk.Joint_bilateral_filter.__init__", lines::init::kFirst, Binding::keywords, 3,
     {"self", "sigma_s", "sigma_r"}, init_body},
    {"get_range_table", "Sovelk.Joint_bilateral_filter.get_range_table", lines::get_range_table::kFirst,
     Binding::single_argument, 1, {"self"}, get_range_table_body},
    {"get_spatial_kernel", "Sovelk.Joint_bilateral_filter.get_spatial_kernel",
     lines::get_spatial_kernel::kFirst, Binding::single_argument, 1, {"self"}, get_spatial_kernel_body},
    {"get_range_kernel", "Sovelk.Joint_bilateral_filter.get_range_kernel", lines::get_range_kernel::kFirst,
     Binding::keywords, 2, {"self", "tmp_guidance"}, get_range_kernel_body},
    {"joint_bilateral_filter", "Sovelk.Joint_bilateral_filter.joint_bilateral_filter",
     lines::joint_bilateral_filter::kFirst, Binding::keywords, 3, {"self", "img", "guidance"},
     joint_bilateral_filter_body},
};

}  // namespace sovelk
