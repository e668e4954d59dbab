// joint_bilateral_filter: pads image and guidance with a mirrored border, then weighs every
// window offset by spatial kernel times range kernel, normalises the weights and sums. The
// statements walk the window offsets and build wndw_size^2 shifted copies of both inputs. This
// body alone orders the call's steps: the reads, the 8-bit attempt, the padding statements, the
// int32 attempt, the remaining statements. Each attempt (bridge/fast_paths.hpp) hands the work to
// the fused kernel wherever nothing observable can differ, and otherwise says why not.
#include "bridge/fast_paths.hpp"
#include "glue/memory_rule.hpp"
#include "methods/array_sizes.hpp"
#include "methods/method_table.hpp"
#include "methods/padding.hpp"
#include "module/lines.hpp"
#include "module/statements.hpp"

namespace sovelk {

namespace {

namespace line_of = lines::joint_bilateral_filter;

// wndw_size ** 2 as a number, when it is an int or a numpy integer (as when sigma_s was one);
// 0 for anything else, which is left to the statements (converting it could run a caller's
// __index__).
double plane_count(PyObject* planes) {
    Ref count;
    if (PyLong_CheckExact(planes)) {
        count = Ref::new_ref(planes);
    } else {
        Ref integer = Ref::steal(PyObject_GetAttr(g_state.numpy, g_const.integer));
        if (!integer || !PyType_Check(integer.get()) ||
            !PyObject_TypeCheck(planes, reinterpret_cast<PyTypeObject*>(integer.get()))) {
            PyErr_Clear();
            return 0;
        }
        count = Ref::steal(PyNumber_Index(planes));
        if (!count) {
            PyErr_Clear();
            return 0;
        }
    }
    const double value = PyLong_AsDouble(count.get());
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return value > 0 ? value : 0;
}

// np.repeat(np.expand_dims(np.zeros(source.shape), axis=0), self.wndw_size ** 2, axis=0): the
// stack of float64 window planes, refused when the process cannot get its memory.
Ref zero_window_stack(PyObject* self, PyObject* source, const char* what) {
    Ref np = lookup_global(g_const.np);
    Ref repeat = get_attr(np.get(), g_const.repeat);
    Ref np2 = lookup_global(g_const.np);
    Ref expand_dims = get_attr(np2.get(), g_const.expand_dims);
    Ref np3 = lookup_global(g_const.np);
    Ref zeros_fn = get_attr(np3.get(), g_const.zeros);
    Ref shape = get_attr(source, g_const.shape);
    Ref zeros = call(zeros_fn.get(), {shape.get()});
    Ref plane = call(expand_dims.get(), {zeros.get(), g_const.int_0}, g_const.kw_axis);
    Ref wndw_size = get_attr(self, g_const.wndw_size);
    Ref planes = square(wndw_size.get());
    require_memory(8.0 * plane_count(planes.get()) * elements_of(zeros.get()), what);
    return call(repeat.get(), {plane.get(), planes.get(), g_const.int_0}, g_const.kw_axis);
}

// padded[offset_x : offset_x + h, offset_y : offset_y + w]
Ref shifted_slice(PyObject* padded, PyObject* offset_x, PyObject* h, PyObject* offset_y, PyObject* w) {
    Ref row_end = add(offset_x, h);
    Ref rows = require(PySlice_New(offset_x, row_end.get(), nullptr));
    Ref col_end = add(offset_y, w);
    Ref cols = require(PySlice_New(offset_y, col_end.get(), nullptr));
    Ref index = require(PyTuple_Pack(2, rows.get(), cols.get()));
    return get_item(padded, index.get());
}

// a * b or a / b over window stacks, refused when the process cannot get the result's memory.
Ref stack_product(PyObject* a, PyObject* b, const char* what) {
    require_memory(result_itemsize(a, b) * broadcast_elements(a, b), what);
    return mul(a, b);
}

// np.clip(output, 0, 255).astype(np.uint8): the cast truncates toward zero.
Ref to_uint8(PyObject* output) {
    Ref np = lookup_global(g_const.np);
    Ref clip = get_attr(np.get(), g_const.clip);
    Ref clipped = call(clip.get(), {output, g_const.int_0, g_const.int_255});
    Ref astype = get_attr(clipped.get(), g_const.astype);
    Ref np2 = lookup_global(g_const.np);
    Ref uint8 = get_attr(np2.get(), g_const.uint8);
    return call(astype.get(), {uint8.get()});
}

}  // namespace

PyObject* joint_bilateral_filter_body(PyObject* const* params, StatementLine& line) {
    PyObject* self = params[0];
    PyObject* img = params[1];
    PyObject* guidance = params[2];

    line.at(line_of::kBorderType);
    Ref border_type;
    {
        Ref cv2 = lookup_global(g_const.cv2);
        border_type = get_attr(cv2.get(), g_const.BORDER_REFLECT);
    }
    // With reads that run nobody's code, the padding's calls of OpenCV's and numpy's own
    // functions can wait: the 8-bit attempt mirrors the border itself, and they are made only if
    // it declines.
    const Verdict may_wait = padding_may_wait(self);
    Padding padding(self, img, guidance, border_type.get(), may_wait.ok(), line);
    const FilterCall this_call{self, img, guidance, &kMethods[kGetRangeKernel], line};
    Verdict uint8 = may_wait;
    if (uint8.ok() && padding.waiting_pad() < 0)
        uint8 = Verdict::declined(
            "copyMakeBorder, BORDER_REFLECT or np.int32 replaced, pad_w not a plain int, or an input not a plain array");
    if (uint8.ok()) {
        Attempt whole = try_uint8_kernel(this_call, padding.waiting_pad());
        if (whole.ran()) {
            explain_path(PathTaken::uint8_kernel, fused::path_name());
            return whole.value.release();
        }
        uint8 = whole.verdict;
    }
    padding.finish();
    Attempt sums =
        try_int32_kernel(this_call, padding.padded_img(), padding.padded_guidance(), padding.made_by_numpy());
    explain_path(sums.ran() ? PathTaken::int32_kernel : PathTaken::statements,
                 sums.ran() ? uint8.reason() : sums.verdict.reason());
    if (sums.ran()) {
        // The padded copies are spent: let them go before numpy's clip copies the output.
        padding.release();
        line.at(line_of::kResult);
        return to_uint8(sums.value.get()).release();
    }
    PyObject* padded_img = padding.padded_img();
    PyObject* padded_guidance = padding.padded_guidance();

    line.at(line_of::kTmpImg);
    Ref tmp_img = zero_window_stack(self, img, "joint_bilateral_filter's window stack of the image");
    line.at(line_of::kTmpGuidance);
    Ref tmp_guidance = zero_window_stack(self, guidance, "joint_bilateral_filter's window stack of the guidance");
    line.at(line_of::kShape);
    Ref h, w;
    {
        Ref shape = get_attr(img, g_const.shape);
        auto [height, width, channels] = unpack<3>(shape.get());
        h = std::move(height);
        w = std::move(width);
    }
    // The one loop: over window offsets, each copying a shifted, image-sized slice.
    line.at(line_of::kOffsetLoop);
    Ref offsets;
    {
        Ref wndw_size = get_attr(self, g_const.wndw_size);
        Ref planes = square(wndw_size.get());
        Ref offset_range = call(g_state.range, {planes.get()});
        offsets = require(PyObject_GetIter(offset_range.get()));
    }
    for (;;) {
        line.at(line_of::kOffsetLoop);
        // Each offset copies two image-sized planes: a huge window takes long enough that Ctrl-C
        // must be heard between offsets, not only when the call returns.
        require_status(PyErr_CheckSignals());
        Ref i = Ref::steal(PyIter_Next(offsets.get()));
        if (!i) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            break;
        }
        line.at(line_of::kOffsets);
        Ref wndw_size = get_attr(self, g_const.wndw_size);
        Ref offset_x = floor_div(i.get(), wndw_size.get());
        wndw_size = get_attr(self, g_const.wndw_size);
        Ref offset_y = rem(i.get(), wndw_size.get());
        line.at(line_of::kImgWindow);
        {
            Ref window = shifted_slice(padded_img, offset_x.get(), h.get(), offset_y.get(), w.get());
            set_item(tmp_img.get(), i.get(), window.get());
        }
        line.at(line_of::kGuidanceWindow);
        {
            Ref window = shifted_slice(padded_guidance, offset_x.get(), h.get(), offset_y.get(), w.get());
            set_item(tmp_guidance.get(), i.get(), window.get());
        }
    }
    line.at(line_of::kNewKernelS);
    Ref new_kernel_s;
    {
        Ref kernel_s = get_attr(self, g_const.kernel_s);
        Ref reshape = get_attr(kernel_s.get(), g_const.reshape);
        Ref wndw_size = get_attr(self, g_const.wndw_size);
        Ref planes = square(wndw_size.get());
        new_kernel_s = call(reshape.get(), {planes.get(), g_const.int_1, g_const.int_1, g_const.int_1});
    }
    line.at(line_of::kNewKernelR);
    Ref new_kernel_r;
    {
        Ref method = get_attr(self, g_const.get_range_kernel);
        new_kernel_r = call(method.get(), {tmp_guidance.get()});
    }
    line.at(line_of::kNewKernel);
    Ref new_kernel = stack_product(new_kernel_s.get(), new_kernel_r.get(), "joint_bilateral_filter's weights");
    // The weights are normalised before they multiply the pixel values.
    line.at(line_of::kNormalize);
    Ref new_kernel_normalize;
    {
        Ref np = lookup_global(g_const.np);
        Ref sum = get_attr(np.get(), g_const.sum);
        Ref total = call(sum.get(), {new_kernel.get(), g_const.int_0}, g_const.kw_axis);
        require_memory(result_itemsize(new_kernel.get(), total.get()) * broadcast_elements(new_kernel.get(), total.get()),
                       "joint_bilateral_filter's normalised weights");
        new_kernel_normalize = true_div(new_kernel.get(), total.get());
    }
    line.at(line_of::kOutput);
    Ref output;
    {
        Ref np = lookup_global(g_const.np);
        Ref sum = get_attr(np.get(), g_const.sum);
        Ref weighted = stack_product(new_kernel_normalize.get(), tmp_img.get(),
                                     "joint_bilateral_filter's weighted image stack");
        output = call(sum.get(), {weighted.get(), g_const.int_0}, g_const.kw_axis);
    }
    line.at(line_of::kResult);
    return to_uint8(output.get()).release();
}

}  // namespace sovelk
