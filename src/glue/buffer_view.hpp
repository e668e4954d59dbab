// The one holder of a Python buffer in both extension modules: a view of an object's memory
// through the buffer protocol, released when the holder goes.
#pragma once
#include "glue/pyref.hpp"

namespace sovelk {

// A buffer view released on scope exit, but never without the GIL (see gil_held()): at
// interpreter exit a daemon thread may unwind through here while the main thread finalises.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }
    // False (no error set) when the object does not export such a buffer.
    bool acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    void release() {
        if (held_ && gil_held()) PyBuffer_Release(&view_);
        held_ = false;
    }
    bool held() const { return held_; }
    const Py_buffer& operator*() const { return view_; }
    const Py_buffer* operator->() const { return &view_; }
    // For C API functions that take a non-const view (PyBuffer_ToContiguous before 3.11).
    Py_buffer* raw() { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace sovelk
