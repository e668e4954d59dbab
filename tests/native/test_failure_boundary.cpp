// The boundary that method bodies run inside, in an embedded interpreter: each kind of C++
// failure becomes the right Python exception, with exactly one entry at the statement reached,
// placed before the entries the failing call added itself. The C++-only failures (bad_alloc and
// other std::exception) cannot be provoked from Python, hence this test.
#include "module/traceback.hpp"
#include "check.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using sovelk::PyErrorSet;
using sovelk::Ref;
using sovelk::StatementLine;

namespace {

// The pending exception, normalised, as a new reference (the 3.12 call, or its older spelling).
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` (a reference handed over) the pending exception again.
void put_back(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

using sovelk::testing::check;

std::string text_of(PyObject* obj) {
    Ref s = Ref::steal(PyObject_Str(obj));
    const char* utf8 = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    return utf8 ? utf8 : "<unprintable>";
}

struct Entry {
    std::string name, file;
    long line;
};

// The traceback of `exc` as (name, file, line), innermost last.
std::vector<Entry> entries_of(PyObject* exc) {
    std::vector<Entry> out;
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    while (tb && tb.get() != Py_None) {
        Ref frame = Ref::steal(PyObject_GetAttrString(tb.get(), "tb_frame"));
        Ref code = Ref::steal(PyObject_GetAttrString(frame.get(), "f_code"));
        Ref name = Ref::steal(PyObject_GetAttrString(code.get(), "co_name"));
        Ref file = Ref::steal(PyObject_GetAttrString(code.get(), "co_filename"));
        Ref line = Ref::steal(PyObject_GetAttrString(tb.get(), "tb_lineno"));
        out.push_back({text_of(name.get()), text_of(file.get()), PyLong_AsLong(line.get())});
        tb = Ref::steal(PyObject_GetAttrString(tb.get(), "tb_next"));
    }
    return out;
}

// Runs `body` at the boundary with the statement line moved to 23; returns the exception raised.
template <class Body>
Ref fail_at_boundary(const char* what, Body&& body) {
    StatementLine line("Sovelk.Joint_bilateral_filter.probe", 21);
    const bool ok = sovelk::run_reporting_failures(
        line,
        [&] {
            line.at(23);
            body();
        },
        PyExc_SystemError, "fallback text");
    check(!ok, std::string(what) + ": the boundary reported success");
    Ref exc = Ref::steal(take_exception());
    check(bool(exc), std::string(what) + ": no exception pending");
    return exc;
}

void expect(const char* what, PyObject* exc, PyObject* type, const std::string& text, size_t library_entries) {
    if (exc == nullptr) return;
    check(Py_TYPE(exc) == reinterpret_cast<PyTypeObject*>(type),
          std::string(what) + ": type " + Py_TYPE(exc)->tp_name);
    check(text_of(exc) == text, std::string(what) + ": text '" + text_of(exc) + "'");
    const std::vector<Entry> entries = entries_of(exc);
    check(entries.size() == 1 + library_entries, std::string(what) + ": entry count");
    if (!entries.empty()) {
        const Entry& ours = entries.front();
        check(ours.name == "Sovelk.Joint_bilateral_filter.probe" && ours.file == "Sovelk" && ours.line == 23,
              std::string(what) + ": entry " + ours.name + " " + ours.file + ":" + std::to_string(ours.line));
    }
}

}  // namespace

int main() {
    Py_Initialize();
    {
        // A Python error raised by Python code: the entry goes before the library's own one,
        // and the exception object stays the same.
        PyObject* raised = nullptr;
        Ref exc = fail_at_boundary("PyErrorSet", [&] {
            Ref result = Ref::steal(PyRun_String("1 / 0", Py_eval_input, PyEval_GetBuiltins(),
                                                 PyEval_GetBuiltins()));
            if (result) return;
            raised = take_exception();
            put_back(Py_NewRef(raised));
            throw PyErrorSet{};
        });
        expect("PyErrorSet", exc.get(), PyExc_ZeroDivisionError, "division by zero", 1);
        check(exc.get() == raised, "PyErrorSet: the exception was replaced");
        Py_XDECREF(raised);

        exc = fail_at_boundary("bad_alloc", [] { throw std::bad_alloc(); });
        expect("bad_alloc", exc.get(), PyExc_MemoryError, "", 0);

        exc = fail_at_boundary("runtime_error", [] { throw std::length_error("too long"); });
        expect("runtime_error", exc.get(), PyExc_RuntimeError, "too long", 0);

        exc = fail_at_boundary("not UTF-8", [] { throw std::runtime_error("bad \xff byte"); });
        expect("not UTF-8", exc.get(), PyExc_RuntimeError, "bad \xef\xbf\xbd byte", 0);

        exc = fail_at_boundary("nothing pending", [] { throw PyErrorSet{}; });
        expect("nothing pending", exc.get(), PyExc_SystemError, "fallback text", 0);

        StatementLine line("Sovelk.Joint_bilateral_filter.probe", 21);
        check(sovelk::run_reporting_failures(line, [] {}, PyExc_SystemError, "unused") && !PyErr_Occurred(),
              "success: reported as failure");
    }
    if (Py_FinalizeEx() < 0) check(false, "interpreter finalisation");
    return sovelk::testing::checks_passed();
}
