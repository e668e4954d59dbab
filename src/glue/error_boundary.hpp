// The one mapping of a native call's failures to Python exceptions, shared by both extension
// modules: every entry point runs its body inside report_failures().
#pragma once
#include "glue/pyref.hpp"

#include <exception>
#include <new>

namespace sovelk {

// RuntimeError with the exception's text: what a C++ failure of our own code looks like in Python.
void raise_cpp_exception(const std::exception& e);

// `body` reports its failures by throwing: PyErrorSet when the Python error is already set,
// std::bad_alloc (MemoryError) or any other std::exception (RuntimeError with its text). Returns
// false with that exception set. A PyErrorSet thrown without a pending error gets
// `fallback_type` with `fallback_text`, so that the caller never returns failure without an
// exception.
//
// Anything else is left to propagate: a thread's forced unwinding must never be swallowed.
template <class Body>
bool report_failures(Body&& body, PyObject* fallback_type, const char* fallback_text) {
    try {
        body();
        return true;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(fallback_type, fallback_text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_cpp_exception(e);
    }
    return false;
}

}  // namespace sovelk
