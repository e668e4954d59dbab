#include "module/method_object.hpp"

#include "module/state.hpp"
#include "module/traceback.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace sovelk {

namespace {

// Member type codes: public in Python.h from 3.12 on, in the older structmember.h before.
#if PY_VERSION_HEX >= 0x030C0000
constexpr int kMemberSsize = Py_T_PYSSIZET;
constexpr int kMemberReadOnly = Py_READONLY;
#else
constexpr int kMemberSsize = T_PYSSIZET;
constexpr int kMemberReadOnly = READONLY;
#endif

struct MethodObject {
    PyObject_HEAD
    const MethodInfo* info;
    PyObject* param_names[3];  // interned, in parameter order
    PyObject* name;            // __name__
    PyObject* qualname;        // __qualname__
    PyObject* module;          // __module__
    PyObject* doc;             // __doc__
    PyObject* globals;         // __globals__
    PyObject* code;            // __code__, made on first request
    PyObject* dict;            // __dict__
};

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

// ---- binding --------------------------------------------------------------------------------

PyObject* positional_count_error(const MethodInfo& info, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 info.name, "exactly", info.param_count, info.param_count == 1 ? "" : "s", given);
    return nullptr;
}

// The one boundary of every method: whatever `enter` (the keyword binding, if any, then the
// body) throws leaves the method as a Python exception with one entry at the statement reached,
// the method's first line while binding.
template <class Enter>
PyObject* run_method(const MethodInfo& info, Enter&& enter) {
    StatementLine line(info.entry_name, info.first_line);
    PyObject* result = nullptr;
    run_reporting_failures(
        line, [&] { result = enter(line); }, PyExc_SystemError,
        "a method of Joint_bilateral_filter failed without setting an exception");
    return result;
}

PyObject* call_single_argument(MethodObject* m, PyObject* args, PyObject* kwargs) {
    const MethodInfo& info = *m->info;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", info.name);
        return nullptr;
    }
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", info.name,
                     given);
        return nullptr;
    }
    PyObject* params[1] = {PyTuple_GET_ITEM(args, 0)};
    return run_method(info, [&](StatementLine& line) { return info.body(params, line); });
}

// Text comparison of a str key with a parameter name: lengths first, then the string
// comparison. Returns 1 on a match, 0 otherwise, -1 with an error set.
int key_names(PyObject* key, PyObject* name) {
    if (key == name) return 1;
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return 0;
    const int cmp = PyUnicode_Compare(key, name);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp == 0 ? 1 : 0;
}

// Binds p(first_keyword)..p(N-1) from the keys the caller wrote, in the dict's order; the first
// offending key decides the error. Returns false with an error set.
bool scan_keywords(MethodObject* m, PyObject* kwargs, Py_ssize_t first_keyword, Ref* bound) {
    const MethodInfo& info = *m->info;
    const Py_ssize_t n = info.param_count;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        bool matched = false;
        for (Py_ssize_t j = first_keyword; j < n && !matched; ++j) {
            if (key == m->param_names[j]) {
                bound[j] = Ref::new_ref(value);
                matched = true;
            }
        }
        if (matched) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", info.name);
            return false;
        }
        // The key may be a str subclass: hold it, since comparing must not let it go.
        Ref held_key = Ref::new_ref(key);
        Ref held_value = Ref::new_ref(value);
        for (Py_ssize_t j = first_keyword; j < n && !matched; ++j) {
            const int same = key_names(key, m->param_names[j]);
            if (same < 0) return false;
            if (same) {
                bound[j] = std::move(held_value);
                matched = true;
            }
        }
        if (matched) continue;
        for (Py_ssize_t j = 0; j < first_keyword; ++j) {
            const int same = key_names(key, m->param_names[j]);
            if (same < 0) return false;
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             info.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", info.name, key);
        return false;
    }
    return true;
}

// Returns false with an error set, reported at the method's first line.
bool bind_keywords(MethodObject* m, PyObject* args, PyObject* kwargs, Ref* bound) {
    const MethodInfo& info = *m->info;
    const Py_ssize_t n = info.param_count;
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr) {
        if (given != n) return positional_count_error(info, given), false;
        for (Py_ssize_t j = 0; j < n; ++j) bound[j] = Ref::new_ref(PyTuple_GET_ITEM(args, j));
        return true;
    }
    if (given > n) return positional_count_error(info, given), false;
    for (Py_ssize_t j = 0; j < given; ++j) bound[j] = Ref::new_ref(PyTuple_GET_ITEM(args, j));
    Py_ssize_t used = 0;
    for (Py_ssize_t j = given; j < n; ++j) {
        // The dict belongs to the caller and keys may compare with Python code: hold what we bind.
        PyObject* value = PyDict_GetItemWithError(kwargs, m->param_names[j]);
        if (value == nullptr) {
            if (PyErr_Occurred()) return false;
            return positional_count_error(info, j), false;
        }
        bound[j] = Ref::new_ref(value);
        ++used;
    }
    if (PyDict_GET_SIZE(kwargs) > used) return scan_keywords(m, kwargs, given, bound);
    return true;
}

PyObject* call_keywords(MethodObject* m, PyObject* args, PyObject* kwargs) {
    const MethodInfo& info = *m->info;
    return run_method(info, [&](StatementLine& line) {
        Ref bound[3];
        if (!bind_keywords(m, args, kwargs, bound)) throw PyErrorSet{};
        PyObject* params[3] = {bound[0].get(), bound[1].get(), bound[2].get()};
        return info.body(params, line);
    });
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    MethodObject* m = as_method(self);
    if (m->info->binding == Binding::single_argument) return call_single_argument(m, args, kwargs);
    return call_keywords(m, args, kwargs);
}

// ---- descriptor and attributes -------------------------------------------------------------

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_method(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_method(self)->doc); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_method(self)->globals); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

int set_str_slot(PyObject*& slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_slot(as_method(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_slot(as_method(self)->qualname, value, "__qualname__");
}
int set_any(PyObject*& slot, PyObject* value) {
    Py_SETREF(slot, Py_NewRef(value ? value : Py_None));
    return 0;
}
int set_module(PyObject* self, PyObject* value, void*) { return set_any(as_method(self)->module, value); }
int set_doc(PyObject* self, PyObject* value, void*) { return set_any(as_method(self)->doc, value); }

// A code object carrying the parameter names, so that inspect.signature sees a function-like
// object: (self, img, guidance) through the class, (img, guidance) through an instance.
PyObject* get_code(PyObject* self, void*) {
    MethodObject* m = as_method(self);
    if (m->code == nullptr) {
        const MethodInfo& info = *m->info;
        try {
            Ref empty = require(reinterpret_cast<PyObject*>(
                PyCode_NewEmpty(kEntryFile, info.name, info.first_line)));
            Ref names = require(PyTuple_New(info.param_count));
            for (Py_ssize_t j = 0; j < info.param_count; ++j) {
                PyTuple_SET_ITEM(names.get(), j, Py_NewRef(m->param_names[j]));
            }
            Ref replace = require(PyObject_GetAttrString(empty.get(), "replace"));
            Ref no_args = require(PyTuple_New(0));
            Ref count = require(PyLong_FromSsize_t(info.param_count));
            Ref kwargs = require(Py_BuildValue("{sOsOsO}", "co_argcount", count.get(), "co_nlocals",
                                               count.get(), "co_varnames", names.get()));
            m->code = require(PyObject_Call(replace.get(), no_args.get(), kwargs.get())).release();
        } catch (const PyErrorSet&) {
            return nullptr;
        }
    }
    return Py_NewRef(m->code);
}

// Pickled by reference, like a function: found again as Joint_bilateral_filter.<name>.
PyObject* method_reduce(PyObject* self, PyObject*) {
    return PyUnicode_FromFormat("Joint_bilateral_filter.%s", as_method(self)->info->name);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->globals);
    Py_VISIT(m->code);
    Py_VISIT(m->dict);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->code);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    MethodObject* m = as_method(self);
    for (PyObject*& p : m->param_names) Py_CLEAR(p);
    method_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef method_members[] = {
    {"__dictoffset__", kMemberSsize, offsetof(MethodObject, dict), kMemberReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_call, reinterpret_cast<void*>(method_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_methods, method_methods},
    {Py_tp_members, method_members},
    {Py_tp_getset, method_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "Sovelk.method",
    sizeof(MethodObject),
    0,
    // METHOD_DESCRIPTOR: obj.m(...) may call us with obj first instead of making a bound method,
    // which is the same call.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    method_slots,
};

// Made once per process; the method objects live as long as the process.
PyTypeObject* method_type = nullptr;

}  // namespace

bool ready_method_type() {
    if (method_type == nullptr) {
        method_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&method_spec));
    }
    return method_type != nullptr;
}

const MethodInfo* method_info(PyObject* obj) {
    if (method_type == nullptr || Py_TYPE(obj) != method_type) return nullptr;
    return as_method(obj)->info;
}

PyObject* new_method_object(const MethodInfo& info, PyObject* globals) {
    Ref name = Ref::steal(PyUnicode_InternFromString(info.name));
    if (!name) return nullptr;
    Ref qualname = Ref::steal(PyUnicode_FromFormat("Joint_bilateral_filter.%s", info.name));
    if (!qualname) return nullptr;
    Ref module = Ref::steal(PyUnicode_InternFromString("Sovelk"));
    if (!module) return nullptr;
    Ref params[3];
    for (Py_ssize_t j = 0; j < info.param_count; ++j) {
        params[j] = Ref::steal(PyUnicode_InternFromString(info.params[j]));
        if (!params[j]) return nullptr;
    }
    MethodObject* m = PyObject_GC_New(MethodObject, method_type);
    if (m == nullptr) return nullptr;
    m->info = &info;
    for (int j = 0; j < 3; ++j) m->param_names[j] = params[j].release();
    m->name = name.release();
    m->qualname = qualname.release();
    m->module = module.release();
    m->doc = Py_NewRef(Py_None);
    m->globals = Py_NewRef(globals);
    m->code = nullptr;
    m->dict = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace sovelk
