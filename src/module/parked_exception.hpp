// The pending exception, taken out of the error indicator and owned until it is put back: the one
// way the binding runs code that may fail (a traceback entry, a note, a diagnostic) beside an
// exception that must come out as it was.
#pragma once
#include "glue/pyref.hpp"

namespace sovelk {

// 3.12 keeps an exception as one object; before that it is the (type, value, traceback) triple,
// whose fetch and restore 3.12 deprecates. The triple is normalised on parking, so value() is the
// exception instance on every version.
class ParkedException {
public:
    ParkedException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
        if (type_ != nullptr) PyErr_NormalizeException(&type_, &value_, &tb_);
#endif
    }
    ParkedException(const ParkedException&) = delete;
    ParkedException& operator=(const ParkedException&) = delete;
    ~ParkedException() {
        if (gil_held()) restore();
    }

    // The exception instance (borrowed), or null when nothing was pending.
    PyObject* value() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return exc_;
#else
        return value_;
#endif
    }
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

}  // namespace sovelk
