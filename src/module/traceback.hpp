// Traceback entries, and the one boundary that turns a failure inside the module's methods or
// its initialisation into a Python exception carrying such an entry.
#pragma once
#include "pyref.hpp"

#include <exception>
#include <new>
#include <utility>

namespace sovelk {

// File name that every entry of the module reports.
inline constexpr const char* kEntryFile = "Sovelk";

// Adds one entry (name, file "Sovelk", line) to the pending exception, which stays unchanged.
// The entry is a frame running in the module's globals, so it lists after the callers' entries
// and before those that a failing library call added itself. Should memory be too short even for
// the entry, the caller's exception is kept without it.
void add_traceback_entry(const char* entry_name, int line);

// RuntimeError with the exception's text: what a C++ failure of our own code looks like in Python.
void raise_cpp_exception(const std::exception& e);

// The line of the statement being run, so that the boundary can report where a body stopped.
class StatementLine {
public:
    StatementLine(const char* entry_name, int line) noexcept : entry_name_(entry_name), line_(line) {}
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    const char* entry_name() const noexcept { return entry_name_; }

private:
    const char* entry_name_;
    int line_;
};

// The one mapping of the binding's failures to Python exceptions. `body` reports its failures by
// throwing: PyErrorSet when the Python error is already set, std::bad_alloc (MemoryError) or any
// other std::exception (RuntimeError with its text). Returns false with that exception set. A
// PyErrorSet thrown without a pending error gets `fallback_type` with `fallback_text`, so that
// the caller never returns failure without an exception.
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

// The boundary every method body and the module's initialisation run inside: report_failures,
// and on failure one traceback entry at the line `line` was last set to.
template <class Body>
bool run_reporting_failures(StatementLine& line, Body&& body, PyObject* fallback_type,
                            const char* fallback_text) {
    if (report_failures(std::forward<Body>(body), fallback_type, fallback_text)) return true;
    add_traceback_entry(line.entry_name(), line.line());
    return false;
}

}  // namespace sovelk
