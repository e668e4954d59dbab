// The one rule by which every step of the module refuses work that the process cannot get the
// memory for: MemoryError before anything is allocated, instead of numpy's lazily committed pages
// letting the allocation succeed and the OOM killer end the process while they are filled.
#pragma once
#include "core/memory_budget.hpp"
#include "module/pyref.hpp"

#include <cstdint>

namespace sovelk {

// Raises MemoryError (PyErrorSet) when `bytes` more do not fit in what the process can still get
// after what calls running at once have reserved: "<what> needs about N GiB, more than the M GiB
// this process can get". Returns when they fit or nothing can be judged. `bytes` is a double so
// that estimates past 2^64 still compare.
void require_memory(double bytes, const char* what);

// Elements of the array that `a op b` makes, numpy broadcasting both: 0 when either is not a
// numpy array whose dimensions can be read without running code, or when they do not broadcast
// (numpy raises its own error first then).
double broadcast_elements(PyObject* a, PyObject* b);
// Bytes per element of `a op b`: the common item size of two arrays of one element type, else 8
// (numpy promotes mixed types to at most eight bytes on the filter's ways).
double result_itemsize(PyObject* a, PyObject* b);

// Worker threads for a call that allocates `fixed` bytes besides each worker's `per_thread`: no
// more than half of what the process can get allows, the memory reserved for the call until the
// Budget goes. threads is 0 when not even one worker fits.
struct Budget {
    int threads = 0;
    MemoryReservation reservation;
};
Budget affordable_threads(uint64_t fixed, uint64_t per_thread);

}  // namespace sovelk
