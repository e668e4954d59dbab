#include "glue/error_boundary.hpp"

#include <cstring>

namespace sovelk {

void raise_cpp_exception(const std::exception& e) {
    // what() is not promised to be UTF-8: decode leniently rather than lose the exception.
    const char* text = e.what();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) return;  // the decoding error (a MemoryError) is what is pending then
    PyErr_SetObject(PyExc_RuntimeError, message.get());
}

}  // namespace sovelk
