// Sizes of the arrays the statements are about to make, read without running any code, for the
// memory rule to judge each allocation before numpy makes it.
#pragma once
#include "glue/pyref.hpp"

namespace sovelk {

// Elements of a numpy array; 0 for anything else.
double elements_of(PyObject* obj);
// Elements of the array that `a op b` makes, numpy broadcasting both: 0 when either is not a
// numpy array whose dimensions can be read without running code, or when they do not broadcast
// (numpy raises its own error first then).
double broadcast_elements(PyObject* a, PyObject* b);
// Bytes per element of `a op b`: the common item size of two arrays of one element type, else 8
// (numpy promotes mixed types to at most eight bytes on the filter's ways).
double result_itemsize(PyObject* a, PyObject* b);

}  // namespace sovelk
