// Temporary output files removed when a fault ends the process. SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGTRAP and SIGSYS run no Python code: the command line's cleanup (a finally block)
// never runs for them, and a hidden temporary file of the output's full size stayed. The paths
// registered here are unlinked by a handler (unlink is async-signal-safe), which then gives the
// signal back to whoever had it before (the default action, or faulthandler) and raises it again.
// SIGKILL is left to the next run, which removes temporary files nobody holds locked.
#include "tools_native/filter_call.hpp"

#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace sovelk::tools {

namespace {

constexpr int kSlots = 16;
constexpr size_t kPathBytes = 4096;

// A slot is free (0), being written (1) or holds a path the handler may unlink (2).
struct Slot {
    std::atomic<int> state{0};
    char path[kPathBytes];
};
Slot g_slots[kSlots];

constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
constexpr int kFaultCount = sizeof kFaults / sizeof kFaults[0];
struct sigaction g_previous[kFaultCount];
bool g_installed = false;  // changed with the GIL held

void on_fault(int signal_number) {
    for (Slot& slot : g_slots) {
        if (slot.state.load(std::memory_order_acquire) == 2) unlink(slot.path);
    }
    for (int i = 0; i < kFaultCount; ++i) {
        if (kFaults[i] == signal_number) sigaction(signal_number, &g_previous[i], nullptr);
    }
    // Blocked while this handler runs: delivered to the restored action on return. A fault
    // would recur anyway when its instruction runs again.
    raise(signal_number);
}

bool install() {
    if (g_installed) return true;
    struct sigaction action {};
    action.sa_handler = on_fault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;  // faulthandler's alternate stack, where there is one
    for (int i = 0; i < kFaultCount; ++i) {
        if (sigaction(kFaults[i], &action, &g_previous[i]) != 0) {
            for (int j = 0; j < i; ++j) sigaction(kFaults[j], &g_previous[j], nullptr);
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
    }
    g_installed = true;
    return true;
}

}  // namespace

PyObject* hold_temporary(PyObject*, PyObject* path) {
    if (!PyBytes_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "hold_temporary() takes a path as bytes");
        return nullptr;
    }
    const Py_ssize_t length = PyBytes_GET_SIZE(path);
    const char* text = PyBytes_AS_STRING(path);
    if (static_cast<size_t>(length) >= kPathBytes || std::memchr(text, '\0', static_cast<size_t>(length)) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "hold_temporary(): the path is too long or holds a NUL byte");
        return nullptr;
    }
    if (!install()) return nullptr;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!g_slots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
        std::memcpy(g_slots[i].path, text, static_cast<size_t>(length));
        g_slots[i].path[length] = '\0';
        g_slots[i].state.store(2, std::memory_order_release);
        return PyLong_FromLong(i);
    }
    return PyLong_FromLong(-1);  // every slot taken: the next run removes what a fault leaves
}

PyObject* release_temporary(PyObject*, PyObject* slot_object) {
    const long slot = PyLong_AsLong(slot_object);
    if (slot == -1 && PyErr_Occurred()) return nullptr;
    if (slot >= 0 && slot < kSlots) g_slots[slot].state.store(0, std::memory_order_release);
    Py_RETURN_NONE;
}

}  // namespace sovelk::tools
