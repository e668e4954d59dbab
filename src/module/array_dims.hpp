// Reading numpy arrays' memory and dimensions through the buffer protocol: no Python code runs,
// whatever a subclass overrides, and no numpy headers are needed.
#pragma once
#include "glue/buffer_view.hpp"
#include "module/state.hpp"

namespace sovelk {

// The dimensions of a numpy array (subclasses too, unless one exports its buffer through code of
// its own, which would run here) into `view`; false for anything else, and for dtypes without a
// buffer format (datetime, for one). `flags` may ask for the format too.
inline bool acquire_array_dims(BufferView& view, PyObject* obj, int flags = PyBUF_STRIDES) {
    if (g_state.ndarray == nullptr) return false;
    auto* ndarray = reinterpret_cast<PyTypeObject*>(g_state.ndarray);
    if (!PyObject_TypeCheck(obj, ndarray)) return false;
    PyBufferProcs* own = Py_TYPE(obj)->tp_as_buffer;
    if (own == nullptr || ndarray->tp_as_buffer == nullptr || own->bf_getbuffer != ndarray->tp_as_buffer->bf_getbuffer)
        return false;
    return view.acquire(obj, flags);
}

}  // namespace sovelk
