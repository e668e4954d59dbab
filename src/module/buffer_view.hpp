// Reading numpy arrays' memory and dimensions through the buffer protocol: no Python code runs,
// whatever a subclass overrides, and no numpy headers are needed.
#pragma once
#include "pyref.hpp"
#include "state.hpp"

namespace sovelk {

// A buffer view released on scope exit.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_ && gil_held()) PyBuffer_Release(&view_);
    }
    // False (no error set) when the object does not export such a buffer.
    bool acquire(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    // The dimensions of a numpy array (subclasses too, unless one exports its buffer through code
    // of its own, which would run here); false for anything else, and for dtypes without a
    // buffer format (datetime, for one). `flags` may ask for the format too.
    bool acquire_array_dims(PyObject* obj, int flags = PyBUF_STRIDES) {
        if (g_state.ndarray == nullptr) return false;
        auto* ndarray = reinterpret_cast<PyTypeObject*>(g_state.ndarray);
        if (!PyObject_TypeCheck(obj, ndarray)) return false;
        PyBufferProcs* own = Py_TYPE(obj)->tp_as_buffer;
        if (own == nullptr || ndarray->tp_as_buffer == nullptr ||
            own->bf_getbuffer != ndarray->tp_as_buffer->bf_getbuffer)
            return false;
        return acquire(obj, flags);
    }
    const Py_buffer& operator*() const { return view_; }
    const Py_buffer* operator->() const { return &view_; }
    // For C API functions that take a non-const view (PyBuffer_ToContiguous before 3.11).
    Py_buffer* raw() { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace sovelk
