// Owning references and the one error convention of the binding layer.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace sovelk {

// Thrown when a C API call failed and the Python error indicator is already set.
// Caught in exactly one place per entry point, which adds the traceback entry.
struct PyErrorSet {};

// Whether this thread holds the GIL. At interpreter exit, a daemon thread that tries to take the
// GIL back is ended by a forced unwind, which runs the destructors of every C++ frame on its way
// out without the GIL while the main thread finalises: a destructor that touched an object then
// would race the collector. Destructors ask this first and, without the GIL, leave the object be
// (the process is ending; the reference is not worth a crash). From 3.12 the current thread
// state is kept per thread and set only while the thread holds the GIL, so it tells alone;
// PyGILState_Check is not enough there: on 3.13 it lets a thread being ended at exit release a
// numpy array, which can crash the process (docs/hardening.md). Before 3.12 the current thread
// state is the GIL holder's, of whatever thread, and PyGILState_Check is the test.
inline bool gil_held() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    return PyGILState_Check() != 0;
#endif
}

// A strong reference. The destructor drops it (see gil_held()); release() hands it back to Python.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() {
        if (ptr_ != nullptr && gil_held()) Py_DECREF(ptr_);
    }

    // Takes over a reference the caller already owns (a C API "new reference").
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.ptr_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer.
    static Ref new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

// A new reference from the C API, or PyErrorSet when it returned NULL.
inline Ref require(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return Ref::steal(p);
}

// A status from the C API: -1 means the error indicator is set.
inline int require_status(int status) {
    if (status < 0) throw PyErrorSet{};
    return status;
}

}  // namespace sovelk
