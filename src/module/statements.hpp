// The building blocks of the methods' statements, each one interpreter operation through the
// C API. Every helper throws PyErrorSet on failure, so a statement reads as a sequence of calls
// and its method reports the line in one place.
#pragma once
#include "glue/pyref.hpp"
#include "module/state.hpp"

#include <array>
#include <initializer_list>

namespace sovelk {

// A name of the builtins module, else NameError (the message of an undefined global).
Ref lookup_builtin(PyObject* name);

// A module global at the moment of use: the module's dict, then the builtins module, else
// NameError. Looked up at each use so that a caller who rebinds np or cv2 is heard.
Ref lookup_global(PyObject* name);

inline Ref get_attr(PyObject* obj, PyObject* name) { return require(PyObject_GetAttr(obj, name)); }

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    require_status(PyObject_SetAttr(obj, name, value));
}

// Calls f with positional arguments, then the values of the keyword names in kwnames (if any).
// At most kMaxCallArguments in all.
inline constexpr size_t kMaxCallArguments = 7;
Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// Strict unpacking of exactly N values (tuple/list by length, anything else by iteration).
void unpack_into(PyObject* seq, Ref* targets, Py_ssize_t count);

template <Py_ssize_t N>
std::array<Ref, N> unpack(PyObject* seq) {
    std::array<Ref, N> out;
    unpack_into(seq, out.data(), N);
    return out;
}

inline Ref add(PyObject* a, PyObject* b) { return require(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return require(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return require(PyNumber_Multiply(a, b)); }
inline Ref true_div(PyObject* a, PyObject* b) { return require(PyNumber_TrueDivide(a, b)); }
inline Ref floor_div(PyObject* a, PyObject* b) { return require(PyNumber_FloorDivide(a, b)); }
inline Ref rem(PyObject* a, PyObject* b) { return require(PyNumber_Remainder(a, b)); }
inline Ref square(PyObject* a) { return require(PyNumber_Power(a, g_const.int_2, Py_None)); }
inline Ref neg(PyObject* a) { return require(PyNumber_Negative(a)); }
inline Ref get_item(PyObject* obj, PyObject* key) { return require(PyObject_GetItem(obj, key)); }
inline void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    require_status(PyObject_SetItem(obj, key, value));
}

// `a == b` used as a condition: the comparison, then its truth value.
bool equals_as_condition(PyObject* a, PyObject* b);

}  // namespace sovelk
