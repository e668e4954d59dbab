// Traceback entries, and the one boundary that turns a failure inside the module's methods or
// its initialisation into a Python exception carrying such an entry.
#pragma once
#include "glue/error_boundary.hpp"
#include "glue/pyref.hpp"

#include <utility>

namespace sovelk {

// File name that every entry of the module reports.
inline constexpr const char* kEntryFile = "Sovelk";

// Adds one entry (name, file "Sovelk", line) to the pending exception, which stays unchanged.
// The entry is a frame running in the module's globals, so it lists after the callers' entries
// and before those that a failing library call added itself. Should memory be too short even for
// the entry, the caller's exception is kept without it.
void add_traceback_entry(const char* entry_name, int line);

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

// The boundary every method body and the module's initialisation run inside: report_failures()
// (glue/error_boundary.hpp), and on failure one traceback entry at the line `line` was last set
// to.
template <class Body>
bool run_reporting_failures(StatementLine& line, Body&& body, PyObject* fallback_type,
                            const char* fallback_text) {
    if (report_failures(std::forward<Body>(body), fallback_type, fallback_text)) return true;
    add_traceback_entry(line.entry_name(), line.line());
    return false;
}

}  // namespace sovelk
