// Process-wide state: one copy per process, not one per module object.
#pragma once
#include "glue/pyref.hpp"

#include <cstdint>
#include <vector>

namespace sovelk {

struct ProcessState {
    // Set while the module is loaded (exec succeeded or is running); dropped when exec fails.
    PyObject* module = nullptr;
    PyObject* globals = nullptr;   // the module's dict, where the methods look up np and cv2
    PyObject* builtins = nullptr;  // the builtins module, the second place globals are looked up
    // Captured once at exec, so that rebinding the builtins later does not reach the methods.
    PyObject* object = nullptr;
    PyObject* range = nullptr;
    // The modules imported at exec. The methods always go through the globals; these only let the
    // fast path prove that the globals still hold what was imported.
    PyObject* numpy = nullptr;
    PyObject* cv2 = nullptr;
    PyObject* ndarray = nullptr;  // numpy.ndarray of that import

    // Objects of numpy and OpenCV as they were at import, which the fast path uses itself or
    // compares by identity. Null when the library lacked the name (the fast path is then never
    // taken).
    struct Originals {
        PyObject *int32, *uint8;
        PyObject* empty;   // makes the fast path's output arrays
        PyObject* geterr;  // reads the error settings the statements would be judged by
        PyObject *copyMakeBorder, *BORDER_REFLECT;
        PyObject* cv2_error;    // cv2.error
        PyObject* cv2_version;  // cv2.__version__, a str
    } originals{};
    // Every OpenCV before 5.1 loops forever in copyMakeBorder on an empty source.
    bool opencv_loops_on_empty = false;
    // numpy.sum(stack, axis=0) adds a stack's planes in order, as the fused kernel adds the
    // window offsets (numpy_sums_in_order() in state.cpp, run at import).
    bool numpy_sums_in_order = false;

    // Every name that numpy's own functions on the statements' way read at each call (np.sum
    // reads numpy.add and numpy._NoValue, np.clip reaches numpy's umath.clip, ...), with the
    // object it held at import. A caller who rebinds one changes what the statements compute
    // without replacing any function they call, so the fast path compares them all first.
    struct LibraryName {
        PyObject* dict;  // the module dict or builtins dict the name is read from
        PyObject* key;
        PyObject* value;
    };
    struct LibraryNames {
        std::vector<LibraryName> names;
        std::vector<PyObject*> dicts;  // the distinct dicts of `names` (borrowed from them)
        bool complete = false;  // false when the walk at import failed: never compare equal
    };
    LibraryNames weights_names;  // reached from the statements up to the weighted sums
    LibraryNames cast_names;     // reached from the final clip and cast to uint8

    // SOVELK_EXPLAIN_PATH=1 at import: every call that cannot take the fast path says why through
    // the logger "Sovelk" (level INFO). The logger, else null.
    PyObject* explain_logger = nullptr;
};

extern ProcessState g_state;

// Fill and clear g_state.originals and the library names; a name the module lacks stays null
// (the fast path is then never taken).
void capture_numpy_originals(PyObject* numpy);
void capture_cv2_originals(PyObject* cv2);
void release_originals();

// Every key a str and not a subclass: looking a name up compares by hash and identity or runs
// str's own comparison, never a caller's __eq__ (which could count the lookups).
bool keys_exact_str(PyObject* dict);

// Whether every name of `names` still holds what it held at import (and each dict has only
// plain str keys, so that no comparison of a caller's can run while they are looked up).
bool library_names_unchanged(const ProcessState::LibraryNames& names);

// Interned names and constant objects, made once per process and never freed.
struct Constants {
    PyObject *np, *cv2, *object, *range;
    PyObject *sigma_s, *sigma_r, *wndw_size, *pad_w, *kernel_s, *table_r_color, *table_r_gray;
    PyObject *get_spatial_kernel, *get_range_table, *get_range_kernel;
    PyObject *meshgrid, *exp, *arange, *abs, *expand_dims, *prod, *int32, *uint8, *repeat, *zeros,
        *sum, *clip, *astype, *reshape, *ndim, *shape, *BORDER_REFLECT, *copyMakeBorder, *ndarray, *axis,
        *keepdims, *dtype, *integer, *info, *debug, *code;
    PyObject *int_0, *int_1, *int_2, *int_3, *int_6, *int_minus_1, *int_minus_3, *int_255, *int_256;
    PyObject *float_2, *float_255;
    PyObject *kw_axis, *kw_axis_keepdims, *kw_dtype;  // keyword-name tuples for vectorcall
};

extern Constants g_const;

// Makes g_const on first use; false with an exception set when that fails.
bool init_constants();

}  // namespace sovelk
