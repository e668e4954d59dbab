// get_range_kernel: the range weight of every window offset at every pixel. Each guidance value
// of the stack is compared with its window's centre and the absolute difference, in whole
// intensity levels, is looked up in a range table; colour guidance multiplies its channels'
// weights. The channel axis stays, with length 1, so the result broadcasts over image channels.
#include "glue/memory_rule.hpp"
#include "methods/array_sizes.hpp"
#include "methods/method_table.hpp"
#include "module/lines.hpp"
#include "module/statements.hpp"

namespace sovelk {

PyObject* get_range_kernel_body(PyObject* const* params, StatementLine& line) {
    namespace line_of = lines::get_range_kernel;
    PyObject* self = params[0];
    Ref tmp_guidance = Ref::new_ref(params[1]);
    line.at(line_of::kCenter);
    Ref center;
    {
        Ref wndw_size = get_attr(self, g_const.wndw_size);
        Ref planes = square(wndw_size.get());
        Ref last = sub(planes.get(), g_const.int_1);
        center = floor_div(last.get(), g_const.int_2);
    }
    // A gray guidance stack gets a channel axis of length 1, so both kinds index alike.
    line.at(line_of::kIfThreeAxes);
    bool three_axes;
    {
        Ref ndim = get_attr(tmp_guidance.get(), g_const.ndim);
        three_axes = equals_as_condition(ndim.get(), g_const.int_3);
    }
    if (three_axes) {
        line.at(line_of::kExpandDims);
        Ref np = lookup_global(g_const.np);
        Ref expand_dims = get_attr(np.get(), g_const.expand_dims);
        tmp_guidance = call(expand_dims.get(), {tmp_guidance.get(), g_const.int_minus_1}, g_const.kw_axis);
    }
    line.at(line_of::kIfOneChannel);
    bool one_channel;
    {
        Ref shape = get_attr(tmp_guidance.get(), g_const.shape);
        Ref channels = get_item(shape.get(), g_const.int_3);
        one_channel = equals_as_condition(channels.get(), g_const.int_1);
    }
    Ref table_r;
    if (one_channel) {
        line.at(line_of::kGrayTable);
        table_r = get_attr(self, g_const.table_r_gray);
    } else {
        line.at(line_of::kColorTable);
        table_r = get_attr(self, g_const.table_r_color);
    }
    line.at(line_of::kDiffAbs);
    Ref diff_abs;
    {
        Ref np = lookup_global(g_const.np);
        Ref abs = get_attr(np.get(), g_const.abs);
        Ref np2 = lookup_global(g_const.np);
        Ref expand_dims = get_attr(np2.get(), g_const.expand_dims);
        Ref centre_plane = get_item(tmp_guidance.get(), center.get());
        Ref centre_stack = call(expand_dims.get(), {centre_plane.get(), g_const.int_0}, g_const.kw_axis);
        // Each whole-stack array is judged before numpy allocates it: numpy's lazily committed
        // pages would otherwise let the process be killed while they are filled.
        const double stack_bytes = result_itemsize(tmp_guidance.get(), centre_stack.get()) *
                                   broadcast_elements(tmp_guidance.get(), centre_stack.get());
        require_memory(stack_bytes, "get_range_kernel's differences");
        Ref diff = sub(tmp_guidance.get(), centre_stack.get());
        require_memory(stack_bytes, "get_range_kernel's absolute differences");
        diff_abs = call(abs.get(), {diff.get()});
    }
    line.at(line_of::kReturn);
    Ref np = lookup_global(g_const.np);
    Ref prod = get_attr(np.get(), g_const.prod);
    Ref astype = get_attr(diff_abs.get(), g_const.astype);
    Ref np2 = lookup_global(g_const.np);
    Ref int32 = get_attr(np2.get(), g_const.int32);
    const double elements = elements_of(diff_abs.get());
    require_memory(4.0 * elements, "get_range_kernel's table indices");
    Ref index = call(astype.get(), {int32.get()});
    require_memory(8.0 * elements, "get_range_kernel's looked-up weights");
    Ref weights = get_item(table_r.get(), index.get());
    return call(prod.get(), {weights.get(), g_const.int_3, Py_True}, g_const.kw_axis_keepdims).release();
}

}  // namespace sovelk
