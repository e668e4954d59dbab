// The functions of sovelk_tools._native; each is one error boundary, returning null with the
// Python error set.
#pragma once
#include "glue/pyref.hpp"

namespace sovelk::tools {

// filter(image, guidance, kernel_s, range, output, mode, cval, guidance_cval, truncate,
//        row0, col0, rows, cols) -> output
// image and guidance (h, w, c) and (h, w, gc), each of uint8, uint16, int16, int32, float32 or
// float64; kernel_s a square float64 array of odd side; range the 256 float64 range weights of
// uint8 guidance, else the range rule's sigma; output an array of shape (rows, cols, c) or a
// dtype for a new one; mode a fused::Border code.
PyObject* filter(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// upsample(low, guidance, kernels, range, output, mode, cval, guidance_cval, truncate, row0, col0,
//          rows, cols, hole) -> output
// low (h, w, c) of any of filter()'s image dtypes; guidance (f h, f w, gc); kernels (f, f, side,
// side) float64, the spatial kernel of each phase; the output block in full-resolution pixels;
// hole None or a finite number. Otherwise as filter().
PyObject* upsample(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// require_memory(nbytes, what): MemoryError naming `what` when the process cannot get nbytes.
PyObject* require_memory(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// hold_temporary(path: bytes) -> slot: until release_temporary(slot), a fault that ends the process
// (SIGSEGV, SIGBUS, ...) unlinks `path` first (fault_cleanup.cpp). The slot is -1 when all are taken.
PyObject* hold_temporary(PyObject* module, PyObject* path);
PyObject* release_temporary(PyObject* module, PyObject* slot);

// numpy.empty, imported when the module was executed (borrowed).
PyObject* numpy_empty_of(PyObject* module);

}  // namespace sovelk::tools
