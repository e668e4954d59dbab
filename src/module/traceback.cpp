#include "traceback.hpp"

#include "state.hpp"

#include <frameobject.h>

namespace sovelk {

void add_traceback_entry(const char* entry_name, int line) {
    // Making the frame allocates; park the pending exception so that a failure here cannot
    // replace it, and drop the entry rather than the caller's error if memory is that short.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* globals = g_state.globals;
    Ref scratch_globals;
    if (globals == nullptr) {
        // Initialisation can fail before the module's dict is bound.
        scratch_globals = Ref::steal(PyDict_New());
        globals = scratch_globals.get();
    }
    Ref code;
    Ref frame;
    if (globals != nullptr) {
        // An empty code object whose first line is the statement's line: a frame that has not
        // run any instruction reports its code's first line.
        code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kEntryFile, entry_name, line)));
        if (code) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
        }
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace sovelk
