// sovelk_tools._native: the function API's binding to the filter's core. Multi-phase init; the
// module state holds numpy.empty, which makes output arrays.
#include "tools_native/filter_call.hpp"

namespace sovelk::tools {

namespace {

struct State {
    PyObject* numpy_empty;
};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

int module_exec(PyObject* module) {
    // numpy does not work in a subinterpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "sovelk_tools._native can only be loaded by the main interpreter");
        return -1;
    }
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    PyObject* empty = PyObject_GetAttrString(numpy.get(), "empty");
    if (empty == nullptr) return -1;
    state_of(module)->numpy_empty = empty;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* s = state_of(module);
    if (s != nullptr) Py_VISIT(s->numpy_empty);
    return 0;
}

int module_clear(PyObject* module) {
    State* s = state_of(module);
    if (s != nullptr) Py_CLEAR(s->numpy_empty);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyMethodDef methods[] = {
    {"filter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filter)), METH_FASTCALL,
     "filter(image, guidance, kernel_s, range, output, mode, cval, guidance_cval, truncate, row0, col0, rows, "
     "cols)\n--\n\nThe core of sovelk_tools.joint_bilateral; call that instead. `range` is the range table of uint8 "
     "guidance, or the range rule's sigma for any other."},
    {"upsample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(upsample)), METH_FASTCALL,
     "upsample(low, guidance, kernels, range, output, mode, cval, guidance_cval, truncate, row0, col0, rows, cols, "
     "hole)\n--\n\nThe core of sovelk_tools.joint_bilateral_upsample; call that instead."},
    {"require_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(require_memory)), METH_FASTCALL,
     "require_memory(nbytes, what)\n--\n\nMemoryError naming `what` unless the process can get nbytes."},
    {"hold_temporary", hold_temporary, METH_O,
     "hold_temporary(path)\n--\n\nUntil release_temporary(slot), a fault that ends the process unlinks path (bytes) "
     "first. Returns the slot, -1 when none is free."},
    {"release_temporary", release_temporary, METH_O,
     "release_temporary(slot)\n--\n\nForget the path held in slot."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native core of sovelk_tools.joint_bilateral.",
    sizeof(State),
    methods,
    slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyObject* numpy_empty_of(PyObject* module) { return state_of(module)->numpy_empty; }

}  // namespace sovelk::tools

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&sovelk::tools::module_def); }
