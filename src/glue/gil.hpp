// The one way the binding layers release the GIL around pure C++ work.
#pragma once
#include "glue/pyref.hpp"

#include <utility>

namespace sovelk {

// The GIL released for a scope. reacquire() takes it back at the end; with_gil() takes it for a
// moment (signal checks). At interpreter exit, taking the GIL back is where CPython ends a
// daemon thread, by a forced unwind out of PyEval_RestoreThread: a thread state that was not
// taken back is then never restored or saved again on the way out, and the destructor lets the
// unwind pass (noexcept(false)). The destructor takes the GIL back only when a C++ exception
// leaves the scope before reacquire().
class GilReleased {
public:
    GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
    ~GilReleased() noexcept(false) {
        if (saved_ != nullptr) PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    void reacquire() {
        if (saved_ != nullptr) PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }

    // f() with the GIL held, released again afterwards.
    template <class F>
    auto with_gil(F&& f) {
        PyEval_RestoreThread(std::exchange(saved_, nullptr));
        struct ReleaseAgain {
            PyThreadState*& slot;
            ~ReleaseAgain() {
                if (gil_held()) slot = PyEval_SaveThread();
            }
        } release_again{saved_};
        return f();
    }

private:
    PyThreadState* saved_;
};

}  // namespace sovelk
