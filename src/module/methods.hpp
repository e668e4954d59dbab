// The five methods of Joint_bilateral_filter: their parameters, binding and bodies.
#pragma once
#include "pyref.hpp"
#include "traceback.hpp"

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

// In definition order: the order in which they enter the class namespace.
inline constexpr int kMethodCount = 5;
enum MethodIndex { kInit, kGetRangeTable, kGetSpatialKernel, kGetRangeKernel, kJointBilateralFilter };
extern const MethodInfo kMethods[kMethodCount];

PyObject* init_body(PyObject* const* params, StatementLine& line);
PyObject* get_range_table_body(PyObject* const* params, StatementLine& line);
PyObject* get_spatial_kernel_body(PyObject* const* params, StatementLine& line);
PyObject* get_range_kernel_body(PyObject* const* params, StatementLine& line);
PyObject* joint_bilateral_filter_body(PyObject* const* params, StatementLine& line);

}  // namespace sovelk
