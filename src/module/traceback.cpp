#include "traceback.hpp"

#include "state.hpp"

#include <cstring>
#include <frameobject.h>

namespace sovelk {

namespace {

// The pending exception, taken out of the indicator and owned here until it is put back.
// 3.12 keeps an exception as one object; before that it is the (type, value, traceback) triple,
// whose fetch and restore 3.12 deprecates.
class ParkedException {
public:
    ParkedException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    ParkedException(const ParkedException&) = delete;
    ParkedException& operator=(const ParkedException&) = delete;
    ~ParkedException() { restore(); }

    // Sets the indicator to the parked exception and keeps a reference of its own, so that it can
    // be put back again should whatever runs next replace it.
    void set_pending() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Py_XNewRef(exc_));
#else
        PyErr_Restore(Py_XNewRef(type_), Py_XNewRef(value_), Py_XNewRef(tb_));
#endif
    }
    // Drops whatever is pending and puts the parked exception back, handing it over.
    void restore() noexcept {
        if (!parked_) return;
        parked_ = false;
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, value_, tb_);
#endif
    }
    // The pending exception is the parked one in its final state: hand the reference back.
    void release() noexcept {
        if (!parked_) return;
        parked_ = false;
#if PY_VERSION_HEX >= 0x030C0000
        Py_XDECREF(exc_);
#else
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
#endif
    }

private:
    bool parked_ = true;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
#endif
};

// A frame that has run no instruction, of an empty code object whose first line is `line`:
// such a frame reports its code's first line, on every interpreter version we build for.
Ref entry_frame(const char* entry_name, int line) {
    PyObject* globals = g_state.globals;
    Ref scratch_globals;
    if (globals == nullptr) {
        // Initialisation can fail before the module's dict is bound.
        scratch_globals = Ref::steal(PyDict_New());
        if (!scratch_globals) return Ref();
        globals = scratch_globals.get();
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kEntryFile, entry_name, line)));
    if (!code) return Ref();
    return Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

}  // namespace

void add_traceback_entry(const char* entry_name, int line) {
    // Making the frame allocates and PyTraceBack_Here replaces the pending exception with its own
    // MemoryError when it fails: park the caller's exception for both, and keep it without the
    // entry if memory is that short.
    ParkedException parked;
    Ref frame = entry_frame(entry_name, line);
    if (!frame) return;  // `parked` puts the caller's exception back
    parked.set_pending();
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) return;
    parked.release();
}

void raise_cpp_exception(const std::exception& e) {
    // what() is not promised to be UTF-8: decode leniently rather than lose the exception.
    const char* text = e.what();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) return;  // the decoding error (a MemoryError) is what is pending then
    PyErr_SetObject(PyExc_RuntimeError, message.get());
}

}  // namespace sovelk
