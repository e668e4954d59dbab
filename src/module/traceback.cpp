#include "module/traceback.hpp"

#include "module/parked_exception.hpp"
#include "module/state.hpp"

#include <frameobject.h>

namespace sovelk {

namespace {

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

}  // namespace sovelk
