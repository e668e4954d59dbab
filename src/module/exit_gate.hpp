// Keeps daemon threads out of library calls that would abort the process at interpreter exit.
//
// At exit CPython (before 3.14) ends a daemon thread by a forced unwind when the thread takes the
// GIL back. OpenCV's binding takes it back inside a try block whose catch (...) does not rethrow,
// so a daemon thread in cv2.copyMakeBorder at that moment aborts the whole process. atexit hooks
// run before finalisation begins: there the gate closes and waits for the calls in flight; a
// thread that would enter afterwards (any but the one exiting) sleeps until the process ends
// instead, as CPython 3.14 does with daemon threads itself.
#pragma once
#include "glue/pyref.hpp"

namespace sovelk {

// Registers the hook with atexit. False with an exception set on failure.
bool install_exit_gate();

// One call into such a library, made while this object lives. Constructed and destroyed with
// the GIL held.
class GatedLibraryCall {
public:
    GatedLibraryCall();
    ~GatedLibraryCall();
    GatedLibraryCall(const GatedLibraryCall&) = delete;
    GatedLibraryCall& operator=(const GatedLibraryCall&) = delete;
};

}  // namespace sovelk
