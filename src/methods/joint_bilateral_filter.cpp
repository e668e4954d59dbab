// joint_bilateral_filter: pads image and guidance with a mirrored border, then weighs every
// window offset by spatial kernel times range kernel, normalises the weights and sums. The
// statements walk the window offsets and build wndw_size^2 shifted copies of both inputs.
#include "fast_path/fused_path.hpp"
#include "core/memory_budget.hpp"
#include "methods/padding.hpp"
#include "module/buffer_view.hpp"
#include "module/lines.hpp"
#include "module/methods.hpp"
#include "module/statements.hpp"
#include "module/traceback.hpp"

#include <algorithm>
#include <cstdio>

namespace sovelk {

namespace {

// Elements of an array's buffer and of its first two axes, read without running Python code;
// false for objects that are not numpy arrays.
bool array_extent(PyObject* obj, double& elements, double& pixels) {
    BufferView view;
    if (!view.acquire_array_dims(obj)) return false;
    elements = 1;
    for (int d = 0; d < view->ndim; ++d) elements *= static_cast<double>(view->shape[d]);
    pixels = view->ndim >= 2 ? static_cast<double>(view->shape[0]) * static_cast<double>(view->shape[1])
                             : elements;
    return true;
}

// The statements hold wndw_size^2 shifted float64 copies of image and guidance, and then weight
// arrays of the same length. Where that cannot fit in the memory the process can get, numpy's
// lazily committed pages would let the allocations succeed and the OOM killer end the process
// while they are filled: refuse the call before anything is allocated.
void refuse_if_beyond_memory(PyObject* planes, PyObject* img_zeros, PyObject* guidance) {
    // wndw_size ** 2 is an int, or a numpy integer when sigma_s was one; anything else is left
    // to the statements (converting it could run a caller's __index__).
    Ref count;
    if (PyLong_CheckExact(planes)) {
        count = Ref::new_ref(planes);
    } else {
        Ref integer = Ref::steal(PyObject_GetAttrString(g_state.numpy, "integer"));
        if (!integer || !PyType_Check(integer.get()) ||
            !PyObject_TypeCheck(planes, reinterpret_cast<PyTypeObject*>(integer.get()))) {
            PyErr_Clear();
            return;
        }
        count = Ref::steal(PyNumber_Index(planes));
        if (!count) {
            PyErr_Clear();
            return;
        }
    }
    const double offsets = PyLong_AsDouble(count.get());
    if (offsets == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    double img_elements, pixels, guid_elements, guid_pixels;
    if (offsets <= 0 || !array_extent(img_zeros, img_elements, pixels)) return;
    if (!array_extent(guidance, guid_elements, guid_pixels)) guid_elements = pixels;
    // Live at the weighted sum: both stacks, three weight arrays, the weighted image stack.
    // Inside the range kernel: both stacks, the differences, their int32 copy, the lookups.
    const double at_sum = 2 * img_elements + guid_elements + 3 * pixels;
    const double in_range_kernel = img_elements + 3.5 * guid_elements + pixels;
    const double needed = 8.0 * offsets * std::max(at_sum, in_range_kernel);
    const auto available = available_memory_bytes();
    if (!available || needed <= static_cast<double>(*available)) return;
    char text[300];
    std::snprintf(text, sizeof text,
                  "joint_bilateral_filter needs about %.1f GiB of working memory here (%.0f shifted "
                  "copies of the image and the guidance), more than the %.1f GiB this process can "
                  "get",
                  needed / 1073741824.0, offsets, static_cast<double>(*available) / 1073741824.0);
    PyErr_SetString(PyExc_MemoryError, text);
    throw PyErrorSet{};
}

// np.repeat(np.expand_dims(np.zeros(source.shape), axis=0), self.wndw_size ** 2, axis=0)
// With `guidance` given, the call is first checked against the memory the process can get.
Ref zero_window_stack(PyObject* self, PyObject* source, PyObject* guidance = nullptr) {
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
    if (guidance != nullptr) refuse_if_beyond_memory(planes.get(), zeros.get(), guidance);
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

}  // namespace

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

PyObject* joint_bilateral_filter_body(PyObject* const* params, StatementLine& line) {
    namespace line_of = lines::joint_bilateral_filter;
    PyObject* self = params[0];
    PyObject* img = params[1];
    PyObject* guidance = params[2];
    {
        line.at(line_of::kBorderType);
        Ref border_type;
        {
            Ref cv2 = lookup_global(g_const.cv2);
            border_type = get_attr(cv2.get(), g_const.BORDER_REFLECT);
        }
        // With reads that run nobody's code, the calls of OpenCV's and numpy's own functions in
        // lines 40 and 41 can wait: the 8-bit fast path makes the padding itself, and the calls
        // are made only if it declines.
        const char* observable = reads_observable(self);
        if (observable == nullptr) observable = padding_reads_observable();
        line.at(line_of::kPadImg);
        BorderStatement img_border(self, img, border_type.get());
        bool deferred = observable == nullptr && img_border.defer();
        if (!deferred) note_decline(observable ? observable : "copyMakeBorder, BORDER_REFLECT or np.int32 replaced, or pad_w not a plain int");
        Ref padded_img, padded_guidance;
        if (!deferred) padded_img = img_border.finish();
        line.at(line_of::kPadGuidance);
        BorderStatement guidance_border(self, guidance, border_type.get());
        if (deferred && !guidance_border.defer()) {
            line.at(line_of::kPadImg);
            padded_img = img_border.finish();
            line.at(line_of::kPadGuidance);
            deferred = false;
        }
        if (deferred) {
            Ref result = fused_uint8_result(self, img, guidance, img_border.pad(), line);
            if (result) {
                explain_path(PathTaken::uint8_kernel);
                return result.release();
            }
            line.at(line_of::kPadImg);
            padded_img = img_border.finish();
            line.at(line_of::kPadGuidance);
        }
        padded_guidance = guidance_border.finish();

        Ref fused = fused_output(self, img, guidance, padded_img.get(), padded_guidance.get(), line);
        explain_path(fused ? PathTaken::int32_kernel : PathTaken::statements);
        if (fused) {
            // The padded copies are spent: let them go before numpy's clip makes its own copy of
            // the output, which bounds the peak for large images.
            padded_img.reset();
            padded_guidance.reset();
            line.at(line_of::kResult);
            return to_uint8(fused.get()).release();
        }

        line.at(line_of::kTmpImg);
        Ref tmp_img = zero_window_stack(self, img, guidance);
        line.at(line_of::kTmpGuidance);
        Ref tmp_guidance = zero_window_stack(self, guidance);
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
            // Each offset copies two image-sized planes: a huge window takes long enough that
            // Ctrl-C must be heard between offsets, not only when the call returns.
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
                Ref window = shifted_slice(padded_img.get(), offset_x.get(), h.get(), offset_y.get(), w.get());
                set_item(tmp_img.get(), i.get(), window.get());
            }
            line.at(line_of::kGuidanceWindow);
            {
                Ref window = shifted_slice(padded_guidance.get(), offset_x.get(), h.get(), offset_y.get(), w.get());
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
        Ref new_kernel = mul(new_kernel_s.get(), new_kernel_r.get());
        // The weights are normalised before they multiply the pixel values.
        line.at(line_of::kNormalize);
        Ref new_kernel_normalize;
        {
            Ref np = lookup_global(g_const.np);
            Ref sum = get_attr(np.get(), g_const.sum);
            Ref total = call(sum.get(), {new_kernel.get(), g_const.int_0}, g_const.kw_axis);
            new_kernel_normalize = true_div(new_kernel.get(), total.get());
        }
        line.at(line_of::kOutput);
        Ref output;
        {
            Ref np = lookup_global(g_const.np);
            Ref sum = get_attr(np.get(), g_const.sum);
            Ref weighted = mul(new_kernel_normalize.get(), tmp_img.get());
            output = call(sum.get(), {weighted.get(), g_const.int_0}, g_const.kw_axis);
        }
        line.at(line_of::kResult);
        return to_uint8(output.get()).release();
    }
}

}  // namespace sovelk
