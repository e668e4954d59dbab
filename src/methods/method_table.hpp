// The five methods of Joint_bilateral_filter: their parameters, binding and bodies, in the
// order in which they enter the class namespace.
#pragma once
#include "module/method_object.hpp"

namespace sovelk {

inline constexpr int kMethodCount = 5;
enum MethodIndex { kInit, kGetRangeTable, kGetSpatialKernel, kGetRangeKernel, kJointBilateralFilter };
extern const MethodInfo kMethods[kMethodCount];

PyObject* init_body(PyObject* const* params, StatementLine& line);
PyObject* get_range_table_body(PyObject* const* params, StatementLine& line);
PyObject* get_spatial_kernel_body(PyObject* const* params, StatementLine& line);
PyObject* get_range_kernel_body(PyObject* const* params, StatementLine& line);
PyObject* joint_bilateral_filter_body(PyObject* const* params, StatementLine& line);

}  // namespace sovelk
