// sovelk_tools._native.filter: the function API's call into the core. The Python wrapper
// (sovelk_tools/function.py) validates the options and builds the weights; this layer checks
// every array it hands to the core, reserves memory, runs the core without the GIL and maps the
// core's status to Python exceptions.
#include "tools_native/filter_call.hpp"
#include "tools_native/call_arguments.hpp"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "core/fused_kernel.hpp"
#include "glue/buffer_format.hpp"
#include "glue/buffer_view.hpp"
#include "glue/error_boundary.hpp"
#include "glue/kernel_run.hpp"
#include "glue/memory_rule.hpp"

namespace sovelk::tools {

// The object's buffer with strides and format, into `view`; `what` names the argument in the
// TypeError.
void acquire(BufferView& view, PyObject* obj, bool writable, const char* what) {
    if (view.acquire(obj, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO)) return;
    PyErr_Format(PyExc_TypeError, "%s must be a%s numpy array, not %.100s", what, writable ? " writable" : "",
                 Py_TYPE(obj)->tp_name);
    throw PyErrorSet{};
}

namespace {
constexpr const char* kAccepted = "uint8, uint16, int16, int32, float32 or float64";
}  // namespace

// An (h, w, channels) array as the core reads it.
fused::Strided strided_of(const Py_buffer& view, const char* what) {
    const std::optional<fused::Sample> sample = native_sample(view);
    if (!sample) {
        PyErr_Format(PyExc_TypeError, "%s has an unsupported dtype (buffer format '%s'); accepted: %s", what,
                     view.format != nullptr ? view.format : "B", kAccepted);
        throw PyErrorSet{};
    }
    if (view.ndim != 3) {
        PyErr_Format(PyExc_ValueError, "%s must have 3 axes here, not %d", what, view.ndim);
        throw PyErrorSet{};
    }
    if (view.shape[2] > 1 << 20) {
        PyErr_Format(PyExc_ValueError, "%s has %zd channels; at most %d are accepted", what, view.shape[2], 1 << 20);
        throw PyErrorSet{};
    }
    return sovelk::strided_of(view, *sample);
}

namespace {

// Bytes [lo, hi) that an array's elements occupy.
struct Extent {
    const char *lo, *hi;
};
Extent extent_of(const Py_buffer& v) {
    const char* lo = static_cast<const char*>(v.buf);
    const char* hi = lo + v.itemsize;
    for (int d = 0; d < v.ndim; ++d) {
        if (v.shape[d] == 0) return {lo, lo};
        const Py_ssize_t reach = (v.shape[d] - 1) * v.strides[d];
        (reach < 0 ? lo : hi) += reach;
    }
    return {lo, hi};
}

// Whether two buffers' elements share a byte.
bool overlap(const Py_buffer& a, const Py_buffer& b) {
    const Extent x = extent_of(a), y = extent_of(b);
    return x.lo < x.hi && y.lo < y.hi && x.lo < y.hi && y.lo < x.hi;
}

}  // namespace

// `n` doubles, C-contiguous, each finite and >= 0, copied from a float64 array of `ndim` axes.
// The core reads them without the GIL, while another thread may write the caller's array: the
// copy is what is checked and what the core reads.
std::vector<double> weights_of(const Py_buffer& v, int ndim, Py_ssize_t n, const char* what) {
    if (native_sample(v) != fused::Sample::float64 || v.ndim != ndim || !PyBuffer_IsContiguous(&v, 'C') ||
        v.len != n * 8) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous float64 array of %zd values", what, n);
        throw PyErrorSet{};
    }
    const double* source = static_cast<const double*>(v.buf);
    std::vector<double> w(source, source + n);
    for (double value : w) {
        if (!(value >= 0.0 && value <= 1.7976931348623157e308)) {
            PyErr_Format(PyExc_ValueError, "%s holds a value that is negative, NaN or infinite", what);
            throw PyErrorSet{};
        }
    }
    return w;
}

namespace {

// A non-negative Py_ssize_t.
Py_ssize_t index_arg(PyObject* obj, const char* what) {
    const Py_ssize_t v = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
        throw PyErrorSet{};
    }
    return v;
}

}  // namespace

void read_range(PyObject* range, HeldObjects& held, fused::FilterRequest& q) {
    if (q.guidance.sample == fused::Sample::uint8) {
        acquire(held.table, range, false, "table");
        held.table_values = weights_of(*held.table, 1, 256, "table");
        q.table = held.table_values.data();
        q.table_len = 256;
        return;
    }
    const double sigma = PyFloat_AsDouble(range);
    if (sigma == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    if (!(sigma >= fused::kMinRuleSigma && sigma <= fused::kMaxRuleSigma)) {
        PyErr_SetString(PyExc_ValueError, "the range sigma must lie within 2**-40 .. 2**40");
        throw PyErrorSet{};
    }
    q.rule = fused::make_range_rule(sigma);
}

namespace {

// image and guidance (arguments 0 and 1, their buffers held): the same height and width.
void read_arrays(const HeldObjects& held, fused::FilterRequest& q) {
    q.image = strided_of(*held.image, "image");
    q.guidance = strided_of(*held.guidance, "guidance");
    if (q.guidance.h != q.image.h || q.guidance.w != q.image.w) {
        PyErr_Format(PyExc_ValueError, "guidance is %zd x %zd (h x w) but image is %zd x %zd; they must match",
                     q.guidance.h, q.guidance.w, q.image.h, q.image.w);
        throw PyErrorSet{};
    }
    if (q.guidance.channels < 1) {
        PyErr_SetString(PyExc_ValueError, "guidance has no channel");
        throw PyErrorSet{};
    }
}

// kernel_s (argument 2) and the range weights (argument 3): the table of uint8 guidance, the
// range rule's sigma for any other. Returns the window's side.
Py_ssize_t read_weights(PyObject* const* args, HeldObjects& held, fused::FilterRequest& q) {
    const Py_ssize_t side = held.kernel->ndim == 2 ? held.kernel->shape[0] : 0;
    if (side < 1 || side % 2 == 0 || held.kernel->shape[1] != side) {
        PyErr_SetString(PyExc_ValueError, "kernel_s must be a square float64 array of odd side");
        throw PyErrorSet{};
    }
    q.pad = side / 2;
    held.kernel_values = weights_of(*held.kernel, 2, side * side, "kernel_s");
    q.kernel_s = held.kernel_values.data();
    read_range(args[3], held, q);
    const bool table_guidance = q.guidance.sample == fused::Sample::uint8;
    // The centre offset weighs kernel_s[centre] times table[0] or the rule's 1: positive, so no
    // weight sum is 0.
    if (!(q.kernel_s[q.pad * side + q.pad] > 0.0 && (!table_guidance || q.table[0] > 0.0))) {
        PyErr_SetString(PyExc_ValueError, "kernel_s and table must weigh the window's centre above 0");
        throw PyErrorSet{};
    }
    return side;
}

}  // namespace

// mode, cval, guidance_cval and truncate (arguments 5 to 8).
void read_border(PyObject* const* args, fused::FilterRequest& q) {
    // Checked before any narrowing: 2**32 + 1 must not pass for 1. A value beyond Py_ssize_t is
    // clamped to its ends, which are out of range too.
    const Py_ssize_t mode = PyNumber_AsSsize_t(args[5], nullptr);
    if (mode == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (mode < 0 || mode > static_cast<Py_ssize_t>(fused::Border::constant)) {
        PyErr_SetString(PyExc_ValueError, "mode code out of range");
        throw PyErrorSet{};
    }
    q.border = static_cast<fused::Border>(mode);
    q.cval = PyFloat_AsDouble(args[6]);
    if (q.cval == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    if (!std::isfinite(q.cval)) {
        PyErr_SetString(PyExc_ValueError, "cval must be finite");
        throw PyErrorSet{};
    }
    if (q.guidance.sample == fused::Sample::uint8) {
        const Py_ssize_t guidance_cval = index_arg(args[7], "guidance_cval");
        if (guidance_cval > 255) {
            PyErr_SetString(PyExc_ValueError, "guidance_cval must be an intensity 0..255");
            throw PyErrorSet{};
        }
        q.guidance_cval = static_cast<double>(guidance_cval);
    } else {
        // A value of the guidance's type (the wrapper converts it): the core refuses others.
        q.guidance_cval = PyFloat_AsDouble(args[7]);
        if (q.guidance_cval == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    }
    const int truncate = PyObject_IsTrue(args[8]);
    if (truncate < 0) throw PyErrorSet{};
    q.rounding = truncate ? fused::Rounding::truncate : fused::Rounding::half_even;
}

// row0, col0, rows and cols (arguments 9 to 12): a block inside the image.
void read_region(PyObject* const* args, fused::FilterRequest& q, Py_ssize_t h, Py_ssize_t w) {
    q.row0 = index_arg(args[9], "region");
    q.col0 = index_arg(args[10], "region");
    q.rows = index_arg(args[11], "region");
    q.cols = index_arg(args[12], "region");
    if (q.row0 > h - q.rows || q.col0 > w - q.cols) {
        PyErr_SetString(PyExc_ValueError, "region must lie inside the image");
        throw PyErrorSet{};
    }
}

namespace {

// numpy.empty((rows, cols, channels) or (0,), dtype=dtype).
Ref new_array(PyObject* numpy_empty, PyObject* shape, PyObject* dtype) {
    Ref kwnames = require(Py_BuildValue("(s)", "dtype"));
    PyObject* call_args[] = {shape, dtype};
    return require(PyObject_Vectorcall(numpy_empty, call_args, 1, kwnames.get()));
}

}  // namespace

Budget prepare_output(PyObject* numpy_empty, PyObject* output, Py_ssize_t side, HeldObjects& held,
                      fused::FilterRequest& q, const char* who, const SizeOf& bytes_per_thread) {
    const bool make_output = !PyObject_CheckBuffer(output);
    fused::FilterRequest sizing = q;  // bytes_per_thread() needs a complete request
    sizing.out = q.image;
    sizing.out.h = q.rows;
    sizing.out.w = q.cols;
    uint64_t fixed = 0;
    if (make_output) {
        // The dtype's item size, from a zero-length array of it.
        Ref probe_shape = require(Py_BuildValue("(i)", 0));
        Ref probe = new_array(numpy_empty, probe_shape.get(), output);
        BufferView probe_view;
        acquire(probe_view, probe.get(), false, "output");
        const std::optional<fused::Sample> sample = native_sample(*probe_view);
        if (!sample) {
            PyErr_Format(PyExc_TypeError, "output dtype is not supported; accepted: %s", kAccepted);
            throw PyErrorSet{};
        }
        sizing.out.sample = *sample;
        fixed = static_cast<uint64_t>(q.rows) * static_cast<uint64_t>(q.cols) *
                static_cast<uint64_t>(q.image.channels) * static_cast<uint64_t>(probe_view->itemsize);
    }
    // An empty result (no row, column or channel) is made and returned without the core.
    const bool empty = q.rows == 0 || q.cols == 0 || q.image.channels == 0;
    const uint64_t per_thread = empty ? 0 : bytes_per_thread(sizing);
    if (!empty && per_thread == 0) {
        PyErr_Format(PyExc_MemoryError, "%s: the window is too large for this machine's address space", who);
        throw PyErrorSet{};
    }
    Budget budget;
    if (!empty) {
        char purpose[160];
        std::snprintf(purpose, sizeof purpose, "of working memory for this image and a window of %zd x %zd pixels",
                      side, side);
        budget = threads_or_memory_error(fixed, per_thread, who, purpose);
    }

    if (make_output) {
        Ref shape = require(Py_BuildValue("(nni)", q.rows, q.cols, q.image.channels));
        held.output = new_array(numpy_empty, shape.get(), output);
    } else {
        held.output = Ref::new_ref(output);
    }
    acquire(held.out, held.output.get(), true, "output");
    q.out = strided_of(*held.out, "output");
    if (q.out.h != q.rows || q.out.w != q.cols || q.out.channels != q.image.channels) {
        PyErr_Format(PyExc_ValueError, "output has shape (%zd, %zd, %d); the result's is (%zd, %zd, %d)", q.out.h,
                     q.out.w, q.out.channels, q.rows, q.cols, q.image.channels);
        throw PyErrorSet{};
    }
    if (overlap(*held.out, *held.image) || overlap(*held.out, *held.guidance)) {
        PyErr_SetString(PyExc_ValueError, "output shares memory with image or guidance");
        throw PyErrorSet{};
    }
    return budget;
}

// The core's refusals and floating-point events as the function's exceptions.
void raise_for(const fused::Result& result, const fused::FilterRequest& request, const char* who) {
    using fused::Status;
    char whose[64];
    std::snprintf(whose, sizeof whose, "%s's", who);
    raise_if_stopped(result, whose);
    switch (result.status) {
        case Status::ok: break;
        case Status::non_finite_image:
            PyErr_SetString(PyExc_ValueError,
                            "image holds NaN or infinity where the window reaches; replace them first "
                            "(for example with np.nan_to_num, or fill holes from their neighbours)");
            throw PyErrorSet{};
        case Status::unusable_guidance:
            PyErr_SetString(PyExc_ValueError,
                            "guidance holds NaN, infinity or a value beyond +-2**60 where the window reaches; "
                            "replace or rescale them first");
            throw PyErrorSet{};
        default:
            PyErr_Format(PyExc_ValueError, "%s: the native kernel refused the request", who);
            throw PyErrorSet{};
    }
    if (result.fp_flags & FE_OVERFLOW) {
        PyErr_SetString(PyExc_ValueError,
                        request.out.sample == fused::Sample::float32
                            ? "output: a filtered value is beyond float32's range; ask for float64"
                            : "image: values this close to float64's largest overflow the weighted mean");
        throw PyErrorSet{};
    }
    if ((result.fp_flags & FE_INVALID) || result.nan_in_output) {
        PyErr_Format(PyExc_ValueError, "%s: the weights gave an undefined result (NaN)", who);
        throw PyErrorSet{};
    }
}

namespace {

PyObject* filter_body(PyObject* numpy_empty, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 13) {
        PyErr_Format(PyExc_TypeError, "filter() takes 13 positional arguments (%zd given)", nargs);
        throw PyErrorSet{};
    }
    HeldObjects held;
    acquire(held.image, args[0], false, "image");
    acquire(held.guidance, args[1], false, "guidance");
    acquire(held.kernel, args[2], false, "kernel_s");
    fused::FilterRequest q;
    read_arrays(held, q);
    const Py_ssize_t side = read_weights(args, held, q);
    read_border(args, q);
    read_region(args, q, q.image.h, q.image.w);
    const SizeOf sizing = [](const fused::FilterRequest& request) { return fused::bytes_per_thread(request); };
    const Budget budget = prepare_output(numpy_empty, args[4], side, held, q, "joint_bilateral", sizing);
    if (budget.threads == 0) return held.output.release();  // an empty result
    raise_for(filter_without_gil(q, budget.threads), q, "joint_bilateral");
    return held.output.release();
}

}  // namespace

PyObject* filter(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    report_failures([&] { result = filter_body(numpy_empty_of(module), args, nargs); }, PyExc_SystemError,
                    "sovelk_tools._native.filter failed without setting an exception");
    return result;
}

PyObject* require_memory(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "require_memory() takes 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    const double bytes = PyFloat_AsDouble(args[0]);
    if (bytes == -1.0 && PyErr_Occurred()) return nullptr;
    const char* what = PyUnicode_AsUTF8(args[1]);
    if (what == nullptr) return nullptr;
    const bool fits = report_failures([&] { sovelk::require_memory(bytes, what); }, PyExc_SystemError,
                                      "require_memory failed without setting an exception");
    if (!fits) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace sovelk::tools
