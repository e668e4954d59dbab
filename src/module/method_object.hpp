// The callable that stands for one method in the class namespace.
#pragma once
#include "methods.hpp"

namespace sovelk {

// Readies the method object type once per process.
bool ready_method_type();

// The method an object stands for, or nullptr when it is not one of the module's method objects.
const MethodInfo* method_info(PyObject* obj);

// A new method object for `info`, whose body looks its globals up in `globals`.
PyObject* new_method_object(const MethodInfo& info, PyObject* globals);

}  // namespace sovelk
