#include "methods/padding.hpp"

#include "glue/memory_rule.hpp"
#include "module/array_dims.hpp"
#include "module/exit_gate.hpp"
#include "module/lines.hpp"
#include "module/parked_exception.hpp"
#include "module/statements.hpp"

#include <climits>
#include <cstring>

namespace sovelk {

namespace {

namespace line_of = lines::joint_bilateral_filter;

// Element types every supported OpenCV pads; for others OpenCV raises its own error before it
// allocates anything, and that error must come first.
constexpr const char* kPaddedFormats[] = {"b", "B", "h", "H", "i", "f", "d"};
// Channels OpenCV 5 pads at most as one matrix (OpenCV 4 takes more): beyond them OpenCV raises
// its own error before it allocates.
constexpr Py_ssize_t kOpenCvChannelsMax = 128;

// Whether OpenCV's binding copies `view` before using it: when the elements of the last axis are
// not adjacent, an axis steps by less than the next one (flipped, transposed or broadcast
// arrays), or the pixels of a multi-channel array are not packed. Axes of length 1 never count.
bool opencv_copies(const Py_buffer& view) {
    const int nd = view.ndim;
    for (int i = nd - 1; i >= 0; --i) {
        if (view.shape[i] <= 1) continue;
        if (i == nd - 1 ? view.strides[i] != view.itemsize : view.strides[i] < view.strides[i + 1]) return true;
    }
    return nd == 3 && view.strides[1] != view.itemsize * view.shape[2];
}

// Padding `source` allocates OpenCV's contiguous copy of it where the binding makes one, the
// padded array of the source's element type and numpy's int32 copy of that. Judged only where
// OpenCV would go on to allocate: a plain array of an element type and channel count it pads, a
// pad it accepts.
void require_padding_memory(PyObject* source, PyObject* pad_obj) {
    BufferView view;
    if (!PyLong_CheckExact(pad_obj) || !acquire_array_dims(view, source, PyBUF_RECORDS_RO)) return;
    if (view->ndim < 2 || view->ndim > 3 || (view->ndim == 3 && view->shape[2] > kOpenCvChannelsMax)) return;
    if (view->format == nullptr) return;
    bool padded_type = false;
    for (const char* format : kPaddedFormats) padded_type = padded_type || std::strcmp(view->format, format) == 0;
    if (!padded_type) return;
    const long long pad = PyLong_AsLongLong(pad_obj);
    if (pad < 0 || pad > INT_MAX) {  // OpenCV refuses it (an overflow included) itself
        PyErr_Clear();
        return;
    }
    double elements = 1;
    for (int d = 0; d < view->ndim; ++d) elements *= static_cast<double>(view->shape[d]);
    const double channels = view->ndim == 3 ? static_cast<double>(view->shape[2]) : 1.0;
    const double padded = (static_cast<double>(view->shape[0]) + 2.0 * static_cast<double>(pad)) *
                          (static_cast<double>(view->shape[1]) + 2.0 * static_cast<double>(pad)) * channels;
    const double itemsize = static_cast<double>(view->itemsize);
    const double copy = opencv_copies(*view) ? elements * itemsize : 0.0;
    require_memory(copy + padded * (itemsize + 4.0), "padding this array");
}

// The leading fields of numpy's array object, public and the same in numpy 1.x and 2.x.
struct ArrayHead {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
};

// What OpenCV's binding turns into an empty matrix: None, an empty tuple, an array without
// elements.
bool empty_for_opencv(PyObject* source) {
    if (source == Py_None) return true;
    if (PyTuple_Check(source)) return PyTuple_GET_SIZE(source) == 0;
    if (g_state.ndarray == nullptr || !PyObject_TypeCheck(source, reinterpret_cast<PyTypeObject*>(g_state.ndarray)))
        return false;
    const auto* array = reinterpret_cast<const ArrayHead*>(source);
    for (int d = 0; d < array->nd; ++d)
        if (array->dimensions[d] == 0) return true;
    return false;
}

// OpenCV before 5.1 loops forever in copyMakeBorder on an empty source, deaf to Ctrl-C. Raise
// what 5.1 raises there instead, the way OpenCV's binding raises it (its attributes on the class).
void refuse_empty_source(PyObject* copy_make_border, PyObject* source) {
    const auto& o = g_state.originals;
    if (!g_state.opencv_loops_on_empty || copy_make_border != o.copyMakeBorder || o.cv2_error == nullptr ||
        !empty_for_opencv(source))
        return;
    constexpr const char* kFile = "/io/opencv/modules/core/src/copy.cpp";
    constexpr int kLine = 1247;
    constexpr const char* kCondition = "!_src.empty()";
    Ref text = require(PyUnicode_FromFormat("OpenCV(%U) %s:%d: error: (-215:Assertion failed) %s in function "
                                            "'copyMakeBorder'\n",
                                            o.cv2_version, kFile, kLine, kCondition));
    const struct {
        const char* name;
        Ref value;
    } attributes[] = {
        {"file", require(PyUnicode_FromString(kFile))},
        {"func", require(PyUnicode_FromString("copyMakeBorder"))},
        {"line", require(PyLong_FromLong(kLine))},
        {"code", require(PyLong_FromLong(-215))},
        {"msg", Ref::new_ref(text.get())},
        {"err", require(PyUnicode_FromString(kCondition))},
    };
    for (const auto& a : attributes) require_status(PyObject_SetAttrString(o.cv2_error, a.name, a.value.get()));
    PyErr_SetObject(o.cv2_error, text.get());
    throw PyErrorSet{};
}

// OpenCV reports an allocation it could not make as cv2.error "Insufficient memory" (code -4):
// make it a MemoryError like every other refusal, with OpenCV's error as its cause.
void report_opencv_out_of_memory() {
    PyObject* cv2_error = g_state.originals.cv2_error;
    if (cv2_error == nullptr || !PyErr_ExceptionMatches(cv2_error)) return;
    ParkedException opencv;
    // OpenCV's binding sets the error's details on the class before raising it.
    Ref code = Ref::steal(PyObject_GetAttr(cv2_error, g_const.code));
    if (!code || !PyLong_Check(code.get()) || PyLong_AsLong(code.get()) != -4) return;  // `opencv` goes back
    PyErr_SetString(PyExc_MemoryError, "OpenCV could not allocate the padded array (Insufficient memory)");
    ParkedException memory;
    PyException_SetCause(memory.value(), Py_NewRef(opencv.value()));
    PyException_SetContext(memory.value(), Py_NewRef(opencv.value()));
    opencv.release();
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
    refuse_empty_source(copy_make_border_.get(), source_);
    require_padding_memory(source_, top_.get());
    Ref bordered;
    try {
        GatedLibraryCall gated;
        bordered = call(copy_make_border_.get(), {source_, top_.get(), bottom_.get(), left_.get(), right_.get(), border_type_});
    } catch (const PyErrorSet&) {
        report_opencv_out_of_memory();
        throw;
    }
    Ref astype = get_attr(bordered.get(), g_const.astype);
    if (!int32_) {
        Ref np = lookup_global(g_const.np);
        int32_ = get_attr(np.get(), g_const.int32);
    }
    // A plain array's astype is numpy's own, and with numpy's int32 it makes a new array that
    // nothing else holds.
    made_by_numpy_ = g_state.ndarray != nullptr &&
                     Py_TYPE(bordered.get()) == reinterpret_cast<PyTypeObject*>(g_state.ndarray) &&
                     int32_.get() == g_state.originals.int32;
    return call(astype.get(), {int32_.get()});
}

Padding::Padding(PyObject* self, PyObject* img, PyObject* guidance, PyObject* border_type, bool may_wait,
                 StatementLine& line)
    : line_(line) {
    line.at(line_of::kPadImg);
    img_.emplace(self, img, border_type);
    waiting_ = may_wait && img_->defer();
    if (!waiting_) padded_img_ = img_->finish();
    line.at(line_of::kPadGuidance);
    guidance_.emplace(self, guidance, border_type);
    if (waiting_ && !guidance_->defer()) {
        // The guidance's calls cannot wait, so the image's may not either: they come first.
        line.at(line_of::kPadImg);
        padded_img_ = img_->finish();
        line.at(line_of::kPadGuidance);
        waiting_ = false;
    }
    if (!waiting_) padded_guidance_ = guidance_->finish();
}

void Padding::finish() {
    if (!waiting_) return;
    waiting_ = false;
    line_.at(line_of::kPadImg);
    padded_img_ = img_->finish();
    line_.at(line_of::kPadGuidance);
    padded_guidance_ = guidance_->finish();
}

}  // namespace sovelk
