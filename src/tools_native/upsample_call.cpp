// sovelk_tools._native.upsample: joint_bilateral_upsample's call into the core, as filter() is
// joint_bilateral's (filter_call.cpp). The Python wrapper (sovelk_tools/upsample.py) validates the
// options and builds the phases' spatial kernels; this layer checks every array it hands to the
// core, reserves memory, runs the core without the GIL and maps its status to exceptions.
#include <cmath>
#include <limits>

#include "core/upsample.hpp"
#include "glue/error_boundary.hpp"
#include "glue/kernel_run.hpp"
#include "tools_native/call_arguments.hpp"
#include "tools_native/filter_call.hpp"

namespace sovelk::tools {

namespace {

// Factors past this are refused (sovelk_tools.upsample.MAX_FACTOR): each of the factor^2 phases
// has a spatial kernel and, on each worker thread, a history of its row.
constexpr Py_ssize_t kMaxFactor = 256;

// low and guidance (arguments 0 and 1, their buffers held) and the phases' kernels (argument 2),
// of shape (factor, factor, side, side): the guidance factor times the low image's size. Returns
// the window's side.
Py_ssize_t read_arrays_and_kernels(HeldObjects& held, fused::UpsampleRequest& u) {
    fused::FilterRequest& q = u.source;
    q.image = strided_of(*held.image, "low");
    q.guidance = strided_of(*held.guidance, "guidance");
    if (q.guidance.channels < 1) {
        PyErr_SetString(PyExc_ValueError, "guidance has no channel");
        throw PyErrorSet{};
    }
    const Py_buffer& k = *held.kernel;
    const Py_ssize_t factor = k.ndim == 4 ? k.shape[0] : 0, side = k.ndim == 4 ? k.shape[2] : 0;
    if (factor < 1 || factor > kMaxFactor || k.shape[1] != factor || side < 1 || side % 2 == 0 || k.shape[3] != side) {
        PyErr_SetString(PyExc_ValueError,
                        "kernels must be a float64 array of shape (factor, factor, side, side), side odd");
        throw PyErrorSet{};
    }
    const bool fits = q.image.h <= std::numeric_limits<Py_ssize_t>::max() / factor &&
                      q.image.w <= std::numeric_limits<Py_ssize_t>::max() / factor;
    if (!fits || q.guidance.h != factor * q.image.h || q.guidance.w != factor * q.image.w) {
        PyErr_Format(PyExc_ValueError, "guidance is %zd x %zd (h x w) but low is %zd x %zd: not %zd times its size",
                     q.guidance.h, q.guidance.w, q.image.h, q.image.w, factor);
        throw PyErrorSet{};
    }
    u.factor = static_cast<int>(factor);
    q.pad = side / 2;
    // The buffer holds every weight: the count fits.
    held.kernel_values = weights_of(k, 4, factor * factor * side * side, "kernels");
    q.kernel_s = held.kernel_values.data();
    return side;
}

// hole (argument 13): None, or the value of samples that take no part.
void read_hole(PyObject* hole, fused::UpsampleRequest& u) {
    if (hole == Py_None) return;
    u.hole = PyFloat_AsDouble(hole);
    if (u.hole == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    if (!std::isfinite(u.hole)) {
        PyErr_SetString(PyExc_ValueError, "hole must be finite");
        throw PyErrorSet{};
    }
    u.holes = true;
}

PyObject* upsample_body(PyObject* numpy_empty, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 14) {
        PyErr_Format(PyExc_TypeError, "upsample() takes 14 positional arguments (%zd given)", nargs);
        throw PyErrorSet{};
    }
    HeldObjects held;
    acquire(held.image, args[0], false, "low");
    acquire(held.guidance, args[1], false, "guidance");
    acquire(held.kernel, args[2], false, "kernels");
    fused::UpsampleRequest u;
    fused::FilterRequest& q = u.source;
    const Py_ssize_t side = read_arrays_and_kernels(held, u);
    read_range(args[3], held, q);
    read_border(args, q);
    read_region(args, q, q.guidance.h, q.guidance.w);
    read_hole(args[13], u);
    const SizeOf sizing = [&u](const fused::FilterRequest& request) {
        fused::UpsampleRequest sized = u;
        sized.source = request;
        return fused::bytes_per_thread(sized);
    };
    const Budget budget = prepare_output(numpy_empty, args[4], side, held, q, "joint_bilateral_upsample", sizing);
    if (budget.threads == 0) return held.output.release();  // an empty result
    const fused::Result run =
        without_gil([&](const std::function<bool()>& poll) { return fused::upsample(u, budget.threads, poll); });
    raise_for(run, q, "joint_bilateral_upsample");
    return held.output.release();
}

}  // namespace

PyObject* upsample(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    report_failures([&] { result = upsample_body(numpy_empty_of(module), args, nargs); }, PyExc_SystemError,
                    "sovelk_tools._native.upsample failed without setting an exception");
    return result;
}

}  // namespace sovelk::tools
