// Traceback entries for failures inside the module's methods and its initialisation.
#pragma once
#include "pyref.hpp"

namespace sovelk {

// File name that every entry of the module reports.
inline constexpr const char* kEntryFile = "Sovelk";

// Adds one entry (name, file "Sovelk", line) to the pending exception, which stays unchanged.
// The entry is a frame running in the module's globals, so it lists after the callers' entries
// and before those that a failing library call added itself.
void add_traceback_entry(const char* entry_name, int line);

// Remembers the line of the statement being run, so that the single catch site of a method
// body can report where it stopped.
class StatementLine {
public:
    explicit StatementLine(const char* entry_name) noexcept : entry_name_(entry_name) {}
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    // Reports the failure of the current statement; returns nullptr for the caller to return.
    PyObject* fail() const {
        add_traceback_entry(entry_name_, line_);
        return nullptr;
    }

private:
    const char* entry_name_;
    int line_ = 0;
};

}  // namespace sovelk
