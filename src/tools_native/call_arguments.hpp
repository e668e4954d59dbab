// The arguments of sovelk_tools._native's calls into the core, read and checked, and the core's
// statuses as exceptions: shared by filter() (filter_call.cpp) and upsample()
// (upsample_call.cpp). Each function throws PyErrorSet with the Python error set.
#pragma once

#include <functional>
#include <vector>

#include "core/fused_kernel.hpp"
#include "glue/buffer_view.hpp"
#include "glue/memory_rule.hpp"
#include "glue/pyref.hpp"

namespace sovelk::tools {

// Everything a call holds while the core runs without the GIL.
struct HeldObjects {
    BufferView image, guidance, kernel, table, out;
    Ref output;
    std::vector<double> kernel_values, table_values;  // weights_of()'s copies
};

// The object's buffer with strides and format, into `view`; `what` names the argument in the
// TypeError.
void acquire(BufferView& view, PyObject* obj, bool writable, const char* what);

// An (h, w, channels) array as the core reads it.
fused::Strided strided_of(const Py_buffer& view, const char* what);

// `n` doubles, C-contiguous, each finite and >= 0, copied from a float64 array of `ndim` axes.
// The core reads them without the GIL, while another thread may write the caller's array: the
// copy is what is checked and what the core reads.
std::vector<double> weights_of(const Py_buffer& v, int ndim, Py_ssize_t n, const char* what);

// The range weights (argument 3), the guidance read already: the table of uint8 guidance, the
// range rule's sigma for any other.
void read_range(PyObject* range, HeldObjects& held, fused::FilterRequest& q);

// mode, cval, guidance_cval and truncate (arguments 5 to 8), the guidance read already.
void read_border(PyObject* const* args, fused::FilterRequest& q);

// row0, col0, rows and cols (arguments 9 to 12): a block inside an h x w image.
void read_region(PyObject* const* args, fused::FilterRequest& q, Py_ssize_t h, Py_ssize_t w);

// What one worker thread allocates for a request: fused::bytes_per_thread() of the call's kind.
using SizeOf = std::function<uint64_t(const fused::FilterRequest&)>;

// The output (argument 4): the caller's array, or one of that dtype made here once the memory is
// known to be there, of shape (rows, cols, image channels). Returns the workers the memory
// allows (none for an empty result, which the core is not asked for). `who` names the function
// in a MemoryError; `side` is the window's.
Budget prepare_output(PyObject* numpy_empty, PyObject* output, Py_ssize_t side, HeldObjects& held,
                      fused::FilterRequest& q, const char* who, const SizeOf& bytes_per_thread);

// The core's refusals and floating-point events as the function's exceptions, naming `who`.
void raise_for(const fused::Result& result, const fused::FilterRequest& request, const char* who);

}  // namespace sovelk::tools
