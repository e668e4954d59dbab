// The callable that stands for one method in the class namespace, and the record that
// describes a method to it: parameters, binding, traceback entry and body.
#pragma once
#include "glue/pyref.hpp"
#include "module/traceback.hpp"

namespace sovelk {

// A method body receives its bound parameters, self first, and returns a new reference. It
// reports a failure by throwing (see run_reporting_failures), after setting `line` to the
// statement that failed; the method object's call adds the traceback entry.
using MethodBody = PyObject* (*)(PyObject* const* params, StatementLine& line);

enum class Binding {
    single_argument,  // self alone, no keywords
    keywords,         // every parameter by position or keyword
};

struct MethodInfo {
    const char* name;        // fixed: binding errors use it whatever __name__ is set to later
    const char* entry_name;  // traceback entry name
    int first_line;          // line reported by binding errors (lines.hpp)
    Binding binding;
    Py_ssize_t param_count;  // including self
    const char* params[3];
    MethodBody body;
};

// Readies the method object type once per process.
bool ready_method_type();

// The method an object stands for, or nullptr when it is not one of the module's method objects.
const MethodInfo* method_info(PyObject* obj);

// A new method object for `info`, whose body looks its globals up in `globals`.
PyObject* new_method_object(const MethodInfo& info, PyObject* globals);

}  // namespace sovelk
