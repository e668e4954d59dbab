// Releasing the GIL around pure C++ work, for the companion module sovelk_tools._native.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sovelk::tools {

// True while this thread waits to take the GIL back. When the interpreter is finalising, that
// wait never returns: CPython ends a daemon thread there by unwinding it (a forced unwind, which
// C++ destructors see pass). Nothing may then touch a Python object, so owners of Python objects
// that live across a GilReleased scope drop their references unreleased when this is set.
inline thread_local bool t_taking_gil_back = false;

// The GIL released for the scope. Taking it back in the destructor may be where the thread is
// ended: the destructor lets that unwinding pass (noexcept(false)). Nothing else may leave the
// scope by an exception: a C++ exception there would unwind through this destructor while it
// takes the GIL, which the process cannot survive if the thread is being ended at that moment.
class GilReleased {
public:
    GilReleased() : saved_(PyEval_SaveThread()) {}
    ~GilReleased() noexcept(false) {
        if (ended_) return;  // the thread is being unwound out of with_gil(): no GIL to take
        take_back();
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    // f() with the GIL held (signal checks), released again afterwards; f must not throw.
    template <class F>
    auto with_gil(F&& f) {
        ended_ = true;  // stays set only if the thread is ended while it waits
        take_back();
        ended_ = false;
        struct Release {
            GilReleased& scope;
            ~Release() { scope.saved_ = PyEval_SaveThread(); }
        } release{*this};
        return f();
    }

private:
    void take_back() {
        t_taking_gil_back = true;
        PyEval_RestoreThread(saved_);
        t_taking_gil_back = false;
    }

    PyThreadState* saved_;
    bool ended_ = false;
};

}  // namespace sovelk::tools
