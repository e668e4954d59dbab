#include "module/statements.hpp"

#include <stdexcept>

namespace sovelk {

Ref lookup_builtin(PyObject* name) {
    PyObject* builtin = PyObject_GetAttr(g_state.builtins, name);
    if (builtin != nullptr) return Ref::steal(builtin);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw PyErrorSet{};
}

Ref lookup_global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(g_state.globals, name);
    if (found != nullptr) return Ref::new_ref(found);
    if (PyErr_Occurred()) throw PyErrorSet{};
    return lookup_builtin(name);
}

Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    // The statements pass at most six arguments. The slot before them lets a bound method
    // prepend self without copying.
    PyObject* stack[kMaxCallArguments + 1];
    const size_t n = args.size();
    if (n > kMaxCallArguments) throw std::length_error("statement call with too many arguments");
    size_t i = 1;
    for (PyObject* a : args) stack[i++] = a;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const size_t nargs = n - static_cast<size_t>(nkw);
    return require(
        PyObject_Vectorcall(f, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

void unpack_into(PyObject* seq, Ref* targets, Py_ssize_t count) {
    auto too_many = [count]() {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
        throw PyErrorSet{};
    };
    auto too_few = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
        throw PyErrorSet{};
    };
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > count) too_many();
        if (size < count) too_few(size);
        for (Py_ssize_t i = 0; i < count; ++i) {
            targets[i] = Ref::new_ref(PySequence_Fast_GET_ITEM(seq, i));
        }
        return;
    }
    Ref it = require(PyObject_GetIter(seq));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            too_few(i);
        }
        targets[i] = std::move(item);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) too_many();
    if (PyErr_Occurred()) throw PyErrorSet{};
}

bool equals_as_condition(PyObject* a, PyObject* b) {
    Ref result = require(PyObject_RichCompare(a, b, Py_EQ));
    return require_status(PyObject_IsTrue(result.get())) != 0;
}

}  // namespace sovelk
