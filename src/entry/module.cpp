// Module entry point, creation and execution: imports numpy and cv2 into the globals and builds
// the class Joint_bilateral_filter from the method table. The top floor of the binding: it alone
// knows both the module's machinery (module/) and the class's methods (methods/).
#include "methods/method_table.hpp"
#include "module/exit_gate.hpp"
#include "module/lines.hpp"
#include "module/method_object.hpp"
#include "module/parked_exception.hpp"
#include "module/state.hpp"
#include "module/statements.hpp"
#include "module/traceback.hpp"

#include <cstdlib>
#include <cstring>

namespace sovelk {

namespace {

constexpr const char* kInitEntry = "init Sovelk";
namespace line_of = lines::module_body;

// Copies one attribute of the ModuleSpec into the module dict; a missing attribute is skipped.
int copy_spec_attr(PyObject* module_spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(module_spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (allow_none || value != Py_None) result = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return result;
}

// The state is process-wide, and numpy and OpenCV do not work in a subinterpreter (OpenCV's
// binding deadlocks there). Only the main interpreter may load the module: refusing the others
// in create, before anything is recorded or imported, means a subinterpreter that tries first
// cannot lock the main interpreter out for the rest of the process.
bool check_main_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    if (!check_main_interpreter()) return nullptr;
    if (g_state.module != nullptr) return Py_NewRef(g_state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (dict == nullptr || copy_spec_attr(module_spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(module_spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

void drop_module() {
    Py_CLEAR(g_state.module);
    Py_CLEAR(g_state.globals);
    Py_CLEAR(g_state.builtins);
    Py_CLEAR(g_state.object);
    Py_CLEAR(g_state.range);
    Py_CLEAR(g_state.numpy);
    Py_CLEAR(g_state.cv2);
    Py_CLEAR(g_state.ndarray);
    Py_CLEAR(g_state.explain_logger);
    release_originals();
}

// An absolute import through the interpreter's import function; a replaced builtins.__import__
// is not consulted.
Ref import_module(const char* name) {
    Ref module_name = require(PyUnicode_FromString(name));
    Ref locals = require(PyDict_New());
    Ref fromlist = require(PyList_New(0));
    return require(PyImport_ImportModuleLevelObject(module_name.get(), g_state.globals,
                                                    locals.get(), fromlist.get(), 0));
}

// A missing cv2 leaves the user to find out which of OpenCV's four distributions to install: say
// it in a note (3.11+), keeping the import system's exception and its text as they are.
void note_how_to_install_opencv() {
#if PY_VERSION_HEX >= 0x030B0000
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
    ParkedException parked;
    PyObject* exc = parked.value();
    Ref name = Ref::steal(PyObject_GetAttrString(exc, "name"));
    if (name && PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "cv2") == 0) {
        Ref added = Ref::steal(PyObject_CallMethod(
            exc, "add_note", "s",
            "Sovelk needs OpenCV: pip install opencv-python-headless (or opencv-python, "
            "opencv-contrib-python, opencv-contrib-python-headless)"));
    }
    // Whatever the note's own failure, `parked` puts the import error back as it was.
#endif
}

// SOVELK_EXPLAIN_PATH=1: the fast path tells the logger "Sovelk" why it declined a call. Read
// once here; unset (or any other value), nothing is imported and nothing is logged.
void open_explain_logger() {
    const char* flag = std::getenv("SOVELK_EXPLAIN_PATH");
    if (flag == nullptr || std::strcmp(flag, "1") != 0) return;
    Ref logging = import_module("logging");
    Ref get_logger = get_attr(logging.get(), require(PyUnicode_InternFromString("getLogger")).get());
    Ref name = require(PyUnicode_FromString("Sovelk"));
    g_state.explain_logger = call(get_logger.get(), {name.get()}).release();
}

void build_class(StatementLine& line) {
    line.at(line_of::kClass);
    PyObject* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref name = require(PyUnicode_FromString("Joint_bilateral_filter"));
    Ref bases = require(PyTuple_Pack(1, g_state.object));
    Ref prepare = require(PyObject_GetAttrString(metaclass, "__prepare__"));
    Ref ns = call(prepare.get(), {name.get(), bases.get()});
    Ref module_name = require(PyUnicode_FromString("Sovelk"));
    set_item(ns.get(), require(PyUnicode_InternFromString("__module__")).get(), module_name.get());
    set_item(ns.get(), require(PyUnicode_InternFromString("__qualname__")).get(), name.get());
    for (const MethodInfo& info : kMethods) {
        line.at(info.first_line);
        Ref method = require(new_method_object(info, g_state.globals));
        Ref key = require(PyUnicode_InternFromString(info.name));
        set_item(ns.get(), key.get(), method.get());
    }
    line.at(line_of::kClass);
    Ref cls = call(metaclass, {name.get(), bases.get(), ns.get()});
    require_status(PyDict_SetItem(g_state.globals, name.get(), cls.get()));
}

int module_exec(PyObject* module) {
    if (g_state.module != nullptr) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'Sovelk' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    StatementLine line(kInitEntry, line_of::kNumpyImport);
    const bool done = run_reporting_failures(
        line,
        [&] {
            g_state.module = Py_NewRef(module);
            g_state.globals = Py_XNewRef(PyModule_GetDict(module));
            if (g_state.globals == nullptr) throw PyErrorSet{};
#if PY_VERSION_HEX >= 0x030D0000
            g_state.builtins = PyImport_AddModuleRef("builtins");
#else
            g_state.builtins = Py_XNewRef(PyImport_AddModule("builtins"));
#endif
            if (g_state.builtins == nullptr) throw PyErrorSet{};
            if (!init_constants() || !ready_method_type()) throw PyErrorSet{};
            g_state.object = lookup_builtin(g_const.object).release();
            g_state.range = lookup_builtin(g_const.range).release();

            Ref numpy = import_module("numpy");
            require_status(PyDict_SetItem(g_state.globals, g_const.np, numpy.get()));
            g_state.ndarray = get_attr(numpy.get(), g_const.ndarray).release();
            capture_numpy_originals(numpy.get());
            g_state.numpy = numpy.release();

            line.at(line_of::kCv2Import);
            Ref cv2;
            try {
                cv2 = import_module("cv2");
            } catch (const PyErrorSet&) {
                note_how_to_install_opencv();
                throw;
            }
            require_status(PyDict_SetItem(g_state.globals, g_const.cv2, cv2.get()));
            capture_cv2_originals(cv2.get());
            g_state.cv2 = cv2.release();
            open_explain_logger();
            if (!install_exit_gate()) throw PyErrorSet{};

            build_class(line);
        },
        PyExc_ImportError, kInitEntry);
    if (done) return 0;
    // The entry is in place (it ran in the module's globals): now the module can go.
    drop_module();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Sovelk",  // m_name
    nullptr,   // m_doc: the module's __doc__ is None
    0,         // m_size: the state is process-wide, not per module object
    nullptr,   // m_methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sovelk

PyMODINIT_FUNC PyInit_Sovelk(void) {
    return PyModuleDef_Init(&sovelk::module_def);
}
