#include "methods/padding.hpp"

#include "core/memory_budget.hpp"
#include "module/buffer_view.hpp"
#include "module/statements.hpp"

#include <cstdio>

namespace sovelk {

namespace {

// Whether OpenCV's binding copies `view` before using it: when the elements of the last axis are
// not adjacent, an axis steps by less than the next one (flipped, transposed or broadcast
// arrays), or the pixels of a multi-channel array are not packed. Axes of length 1 never count.
bool opencv_copies(const Py_buffer& view) {
    const int nd = view.ndim;
    for (int i = nd - 1; i >= 0; --i) {
        if (view.shape[i] <= 1) continue;
        if (i == nd - 1 ? view.strides[i] != view.itemsize : view.strides[i] < view.strides[i + 1]) return true;
    }
    return nd == 3 && view.shape[2] <= 512 && view.strides[1] != view.itemsize * view.shape[2];
}

// A view such as img[:, :, ::-1] of a huge image makes OpenCV's binding copy it first; when that
// copy cannot be allocated, OpenCV takes the process down instead of raising. Refuse the call
// while it can still be refused.
void refuse_if_copy_cannot_fit(PyObject* source, PyObject* pad_obj) {
    BufferView view;
    if (!PyLong_CheckExact(pad_obj) || !view.acquire_array_dims(source) || view->ndim < 2 || view->ndim > 3)
        return;
    if (!opencv_copies(*view)) return;
    const long long pad = PyLong_AsLongLong(pad_obj);
    if (pad < 0) {  // OpenCV refuses it; an overflow is OpenCV's to report too
        PyErr_Clear();
        return;
    }
    double elements = 1;
    for (int d = 0; d < view->ndim; ++d) elements *= static_cast<double>(view->shape[d]);
    const double channels = view->ndim == 3 ? static_cast<double>(view->shape[2]) : 1.0;
    const double padded = (static_cast<double>(view->shape[0]) + 2.0 * pad) *
                          (static_cast<double>(view->shape[1]) + 2.0 * pad) * channels;
    const double needed = (elements + padded) * static_cast<double>(view->itemsize);
    const auto available = available_memory_bytes();
    if (!available || needed <= static_cast<double>(*available)) return;
    char text[300];
    std::snprintf(text, sizeof text,
                  "padding this array needs about %.1f GiB (a contiguous copy of the non-contiguous "
                  "input and its padded result), more than the %.1f GiB this process can get",
                  needed / 1073741824.0, static_cast<double>(*available) / 1073741824.0);
    PyErr_SetString(PyExc_MemoryError, text);
    throw PyErrorSet{};
}

}  // namespace

BorderStatement::BorderStatement(PyObject* self, PyObject* source, PyObject* border_type)
    : source_(source), border_type_(border_type) {
    Ref cv2 = lookup_global(g_const.cv2);
    copy_make_border_ = get_attr(cv2.get(), g_const.copyMakeBorder);
    top_ = get_attr(self, g_const.pad_w);
    bottom_ = get_attr(self, g_const.pad_w);
    left_ = get_attr(self, g_const.pad_w);
    right_ = get_attr(self, g_const.pad_w);
}

bool BorderStatement::defer() {
    // OpenCV reads a plain array exporting its buffer (not an object array) without running
    // Python code; anything else may run a caller's code, which must run where the statements
    // run it.
    BufferView view;
    if (g_state.ndarray == nullptr || Py_TYPE(source_) != reinterpret_cast<PyTypeObject*>(g_state.ndarray) ||
        !view.acquire(source_, PyBUF_RECORDS_RO))
        return false;
    const auto& o = g_state.originals;
    if (o.copyMakeBorder == nullptr || copy_make_border_.get() != o.copyMakeBorder ||
        border_type_ != o.BORDER_REFLECT || !PyLong_CheckExact(top_.get()) || bottom_.get() != top_.get() ||
        left_.get() != top_.get() || right_.get() != top_.get())
        return false;
    const Py_ssize_t pad = PyLong_AsSsize_t(top_.get());
    if (pad < 0) {
        PyErr_Clear();
        return false;
    }
    Ref np = lookup_global(g_const.np);
    int32_ = get_attr(np.get(), g_const.int32);
    if (int32_.get() != o.int32) return false;
    pad_ = pad;
    return true;
}

Ref BorderStatement::finish() {
    refuse_if_copy_cannot_fit(source_, top_.get());
    Ref bordered = call(copy_make_border_.get(),
                        {source_, top_.get(), bottom_.get(), left_.get(), right_.get(), border_type_});
    Ref astype = get_attr(bordered.get(), g_const.astype);
    if (!int32_) {
        Ref np = lookup_global(g_const.np);
        int32_ = get_attr(np.get(), g_const.int32);
    }
    return call(astype.get(), {int32_.get()});
}

}  // namespace sovelk
