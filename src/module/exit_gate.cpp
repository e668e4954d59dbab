#include "module/exit_gate.hpp"

#include <unistd.h>

#include <chrono>
#include <thread>

namespace sovelk {

namespace {

// All three are read and written with the GIL held.
bool g_closed = false;
PyThreadState* g_exiting = nullptr;  // the thread that runs the atexit hooks
int g_in_flight = 0;

// Long enough for any padding to finish; bounded, so that exit cannot hang on a stuck call.
constexpr auto kLongestWait = std::chrono::seconds(30);

PyObject* close_gate(PyObject*, PyObject*) {
    g_closed = true;
    g_exiting = PyThreadState_Get();
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    while (g_in_flight > 0 && std::chrono::steady_clock::now() < deadline) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_close_sovelk_exit_gate", close_gate, METH_NOARGS, nullptr};

}  // namespace

bool install_exit_gate() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref hook = Ref::steal(PyCFunction_New(&close_gate_def, nullptr));
    if (!hook) return false;
    Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(registered);
}

GatedLibraryCall::GatedLibraryCall() {
    if (g_closed && PyThreadState_Get() != g_exiting) {
        Py_BEGIN_ALLOW_THREADS
        for (;;) pause();
        Py_END_ALLOW_THREADS
    }
    ++g_in_flight;
}

GatedLibraryCall::~GatedLibraryCall() {
    if (gil_held()) --g_in_flight;
}

}  // namespace sovelk
