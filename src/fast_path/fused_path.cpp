// Eligibility of the fused kernel, and the hand-over to it.
//
// The kernel replaces the statements from the window stacks (line 44) to the weighted sums
// (line 58). It may run only where those statements could not have done anything else: no
// Python code of anybody's would have run, numpy would have computed from the same arrays, and
// no floating-point event occurred that numpy would have reported. Every condition below says
// which of those it protects. Where one fails, the statements run and give their own result,
// warnings and errors.
#include "fast_path/fused_path.hpp"

#include "core/fused_kernel.hpp"
#include "core/memory_budget.hpp"
#include "module/buffer_view.hpp"
#include "module/method_object.hpp"
#include "module/statements.hpp"
#include "module/traceback.hpp"

#include <algorithm>
#include <cfenv>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sovelk {

namespace {

// Line the kernel's own failures are reported at: where the statements would allocate first.
constexpr int kLineAllocation = 44;
// Line a Ctrl-C during the kernel is reported at: the weighted sum that the kernel ends with.
constexpr int kLineWeightedSum = 58;

// The numpy functions that the replaced statements call. Compared by identity, so that a caller
// who patches one of them (np.sum = ...) gets the statements, which call the patch.
struct NumpyOriginals {
    PyObject* zeros = nullptr;
    PyObject* expand_dims = nullptr;
    PyObject* repeat = nullptr;
    PyObject* sum = nullptr;
    PyObject* abs = nullptr;
    PyObject* prod = nullptr;
    PyObject* int32 = nullptr;
    PyObject* empty = nullptr;   // makes the output array
    PyObject* geterr = nullptr;  // reads the error settings the statements would be judged by
};
NumpyOriginals g_numpy;

bool is_exact_ndarray(PyObject* obj) {
    return g_state.ndarray != nullptr && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(g_state.ndarray);
}

bool has_format(const Py_buffer& view, const char* format, Py_ssize_t itemsize) {
    return view.format != nullptr && std::strcmp(view.format, format) == 0 && view.itemsize == itemsize;
}

// A Python int that fits a Py_ssize_t, else -1 (exact int only: an int subclass could redefine
// the arithmetic the statements do with it).
Py_ssize_t exact_small_int(PyObject* obj) {
    if (!PyLong_CheckExact(obj)) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v < 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return -1;
    }
    return static_cast<Py_ssize_t>(v);
}

// True when reading `name` on self can only come from the instance's own attribute dict: the
// type neither defines it nor customises attribute access, so no descriptor or __getattr__ of
// anybody's can run or answer instead.
bool plain_instance_attribute(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name) == nullptr;
}

// True when self.get_range_kernel is the module's own method bound to self: neither a subclass
// override nor an instance attribute of that name.
bool own_range_kernel(PyObject* self) {
    PyObject* in_type = _PyType_Lookup(Py_TYPE(self), g_const.get_range_kernel);
    if (in_type == nullptr || method_info(in_type) != &kMethods[kGetRangeKernel]) return false;
    Ref bound = Ref::steal(PyObject_GetAttr(self, g_const.get_range_kernel));
    if (!bound) {
        PyErr_Clear();
        return false;
    }
    return PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == in_type &&
           PyMethod_GET_SELF(bound.get()) == self;
}

// self.<name>, with any error swallowed: the statements will raise it themselves.
Ref read_attribute(PyObject* self, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(self, name));
    if (!value) PyErr_Clear();
    return value;
}

// A global that must still be the module imported at init.
bool global_is(PyObject* name, PyObject* expected) {
    PyObject* found = PyDict_GetItemWithError(g_state.globals, name);
    if (found == nullptr) PyErr_Clear();
    return found != nullptr && found == expected;
}

bool numpy_unpatched() {
    struct Check {
        const char* name;
        PyObject* original;
    };
    const Check checks[] = {
        {"zeros", g_numpy.zeros}, {"expand_dims", g_numpy.expand_dims}, {"repeat", g_numpy.repeat},
        {"sum", g_numpy.sum},     {"abs", g_numpy.abs},                 {"prod", g_numpy.prod},
        {"int32", g_numpy.int32},
    };
    for (const Check& c : checks) {
        if (c.original == nullptr) return false;
        Ref current = Ref::steal(PyObject_GetAttrString(g_state.numpy, c.name));
        if (!current) {
            PyErr_Clear();
            return false;
        }
        if (current.get() != c.original) return false;
    }
    return g_numpy.empty != nullptr && g_numpy.geterr != nullptr;
}

// A float64 array copied out in C order (what reshape would read), or empty on mismatch.
bool copy_float64(PyObject* array, Py_ssize_t expected_size, int expected_ndim, std::vector<double>& out) {
    if (!is_exact_ndarray(array)) return false;
    BufferView view;
    if (!view.acquire(array, PyBUF_RECORDS_RO)) return false;
    if (!has_format(*view, "d", 8)) return false;
    if (expected_ndim >= 0 && view->ndim != expected_ndim) return false;
    const Py_ssize_t size = view->len / 8;
    if (expected_size >= 0 && size != expected_size) return false;
    if (size < 1) return false;
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    // 3.10 declares the source non-const; it is only read.
    if (PyBuffer_ToContiguous(out.data(), const_cast<Py_buffer*>(&*view), view->len, 'C') != 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Would numpy have reported the events in `flags` under the current error settings? Division by
// zero, overflow and invalid are reported unless ignored; so is underflow, which numpy ignores by
// default. Rather than decode every setting, any event but an ignored underflow sends the call to
// the statements, which then report exactly as numpy does.
bool events_reportable(int flags) {
    if (flags & (FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID)) return true;
    if (!(flags & FE_UNDERFLOW)) return false;
    Ref settings = call(g_numpy.geterr, {});
    PyObject* under = PyDict_GetItemString(settings.get(), "under");
    if (under == nullptr || !PyUnicode_Check(under)) return true;
    return PyUnicode_CompareWithASCIIString(under, "ignore") != 0;
}

}  // namespace

void capture_numpy_originals(PyObject* numpy) {
    release_numpy_originals();
    auto grab = [numpy](const char* name) {
        PyObject* value = PyObject_GetAttrString(numpy, name);
        if (value == nullptr) PyErr_Clear();  // the fast path is then never taken
        return value;
    };
    g_numpy.zeros = grab("zeros");
    g_numpy.expand_dims = grab("expand_dims");
    g_numpy.repeat = grab("repeat");
    g_numpy.sum = grab("sum");
    g_numpy.abs = grab("abs");
    g_numpy.prod = grab("prod");
    g_numpy.int32 = grab("int32");
    g_numpy.empty = grab("empty");
    g_numpy.geterr = grab("geterr");
}

void release_numpy_originals() {
    for (PyObject** slot : {&g_numpy.zeros, &g_numpy.expand_dims, &g_numpy.repeat, &g_numpy.sum,
                            &g_numpy.abs, &g_numpy.prod, &g_numpy.int32, &g_numpy.empty, &g_numpy.geterr}) {
        Py_CLEAR(*slot);
    }
}

Ref fused_output(PyObject* self, PyObject* img, PyObject* guidance, PyObject* padded_img,
                 PyObject* padded_guidance, StatementLine& line) {
    // The statements look np up in the globals (cv2 is not used between the padding and the
    // cast) and call numpy's functions: both must be what was imported.
    if (g_state.numpy == nullptr || !global_is(g_const.np, g_state.numpy) || !numpy_unpatched()) return Ref();

    // Attribute reads must run no code and give plain values: generic attribute access, and the
    // names not defined on the type (so no property or descriptor answers them).
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return Ref();
    for (PyObject* name : {g_const.wndw_size, g_const.pad_w, g_const.kernel_s, g_const.table_r_gray,
                           g_const.table_r_color}) {
        if (!plain_instance_attribute(type, name)) return Ref();
    }
    if (!own_range_kernel(self)) return Ref();

    // Geometry: exact ints with the window centred on the pixel, as construction makes them.
    Ref pad_obj = read_attribute(self, g_const.pad_w);
    Ref wndw_obj = read_attribute(self, g_const.wndw_size);
    if (!pad_obj || !wndw_obj) return Ref();
    const Py_ssize_t pad = exact_small_int(pad_obj.get());
    const Py_ssize_t wndw_size = exact_small_int(wndw_obj.get());
    // A window side beyond 2^15 would make wndw_size^2 window offsets overflow the kernel's ints.
    if (pad < 0 || wndw_size != 2 * pad + 1 || wndw_size > 32767) return Ref();

    // Inputs: plain arrays (a subclass could override shape or the arithmetic), the image with
    // three axes, the guidance gray (two axes) or with at least two channels (one channel would be
    // padded to two axes by OpenCV and fail to broadcast in the statements).
    if (!is_exact_ndarray(img) || !is_exact_ndarray(guidance) || !is_exact_ndarray(padded_img) ||
        !is_exact_ndarray(padded_guidance))
        return Ref();
    BufferView img_view, guid_view;
    if (!img_view.acquire(img, PyBUF_STRIDES) || !guid_view.acquire(guidance, PyBUF_STRIDES)) return Ref();
    if (img_view->ndim != 3) return Ref();
    const Py_ssize_t h = img_view->shape[0], w = img_view->shape[1], img_ch = img_view->shape[2];
    // numpy sums a single pixel's offsets pairwise rather than in order.
    if (h < 1 || w < 1 || img_ch < 1 || h * w < 2) return Ref();
    Py_ssize_t guid_ch;
    if (guid_view->ndim == 2) {
        guid_ch = 1;
    } else if (guid_view->ndim == 3 && guid_view->shape[2] >= 2) {
        guid_ch = guid_view->shape[2];
    } else {
        return Ref();
    }
    if (guid_view->shape[0] != h || guid_view->shape[1] != w) return Ref();
    // Channel counts travel to the kernel as int; OpenCV allows at most 512 anyway.
    if (img_ch > 4096 || guid_ch > 4096) return Ref();

    // The padded copies: int32, C order, the input's shape with pad_w more on every side.
    BufferView pimg, pguid;
    const int contiguous = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (!pimg.acquire(padded_img, contiguous) || !pguid.acquire(padded_guidance, contiguous)) return Ref();
    if (!has_format(*pimg, "i", 4) || !has_format(*pguid, "i", 4)) return Ref();
    if (pimg->ndim != 3 || pimg->shape[0] != h + 2 * pad || pimg->shape[1] != w + 2 * pad ||
        pimg->shape[2] != img_ch)
        return Ref();
    if (pguid->ndim != guid_view->ndim || pguid->shape[0] != h + 2 * pad ||
        pguid->shape[1] != w + 2 * pad || (pguid->ndim == 3 && pguid->shape[2] != guid_ch))
        return Ref();

    // Spatial weights: wndw_size^2 of them, read in C order as reshape does. Copied, like the
    // table, because the kernel runs without the GIL and the arrays belong to the caller.
    const Py_ssize_t offsets = wndw_size * wndw_size;
    std::vector<double> kernel_s, table;
    Ref kernel_obj = read_attribute(self, g_const.kernel_s);
    if (!kernel_obj || !copy_float64(kernel_obj.get(), offsets, -1, kernel_s)) return Ref();
    // The statements choose the gray table for one guidance channel, the colour table otherwise.
    Ref table_obj = read_attribute(self, guid_ch == 1 ? g_const.table_r_gray : g_const.table_r_color);
    if (!table_obj || !copy_float64(table_obj.get(), -1, 1, table)) return Ref();
    // Every difference inside a window is at most the span of the padded guidance: within the
    // table, no lookup can go out of bounds (the statements raise IndexError there).
    const auto* guid_data = static_cast<const int32_t*>(pguid->buf);
    const int64_t span = fused::value_span(guid_data, static_cast<size_t>(pguid->len / 4));
    if (span >= static_cast<int64_t>(table.size())) return Ref();

    line.at(kLineAllocation);
    Ref shape = require(Py_BuildValue("(nnn)", h, w, img_ch));
    Ref output = call(g_numpy.empty, {shape.get()});
    BufferView out_view;
    if (!out_view.acquire(output.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) ||
        !has_format(*out_view, "d", 8))
        return Ref();

    fused::Request request;
    request.padded_img = static_cast<const int32_t*>(pimg->buf);
    request.padded_guid = guid_data;
    request.h = h;
    request.w = w;
    request.pad = pad;
    request.img_ch = static_cast<int>(img_ch);
    request.guid_ch = static_cast<int>(guid_ch);
    request.kernel_s = kernel_s.data();
    request.table = table.data();
    request.table_len = static_cast<ptrdiff_t>(table.size());
    request.out = static_cast<double*>(out_view->buf);

    // A huge window costs each worker thread hundreds of megabytes: run no more threads than
    // the memory the process can get allows, and none at all rather than be OOM-killed.
    int threads = fused::default_thread_count();
    const uint64_t per_thread = fused::bytes_per_thread(request);
    if (const auto available = available_memory_bytes(); available && per_thread > 0) {
        // Half of it, leaving room for the output's clip and cast and for everyone else.
        const uint64_t affordable = *available / 2 / per_thread;
        if (affordable == 0) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "joint_bilateral_filter needs about %.1f GiB of working memory for a "
                          "window of %zd x %zd pixels, more than this process can get",
                          static_cast<double>(per_thread) / 1073741824.0, wndw_size, wndw_size);
            PyErr_SetString(PyExc_MemoryError, text);
            throw PyErrorSet{};
        }
        threads = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(threads), affordable));
    }

    // Without the GIL: every buffer above is owned by this call (the padded copies and the output
    // are new arrays nobody else references; kernel and table are copies). Ctrl-C is checked on
    // this thread while the workers compute.
    fused::Result result;
    PyThreadState* saved = PyEval_SaveThread();
    bool interrupted = false;
    auto poll = [&saved, &interrupted]() {
        PyEval_RestoreThread(saved);
        interrupted = PyErr_CheckSignals() != 0;
        saved = PyEval_SaveThread();
        return interrupted;
    };
    result = fused::run(request, threads, poll);
    PyEval_RestoreThread(saved);

    switch (result.status) {
        case fused::Status::ok:
            break;
        case fused::Status::cancelled:
            line.at(kLineWeightedSum);
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw PyErrorSet{};
        case fused::Status::out_of_memory:
            PyErr_SetString(PyExc_MemoryError, "not enough memory for the filter's working buffers");
            throw PyErrorSet{};
        case fused::Status::invalid_argument:
            return Ref();
    }
    if (events_reportable(result.fp_flags)) return Ref();
    return output;
}

}  // namespace sovelk
