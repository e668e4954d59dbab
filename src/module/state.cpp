#include "module/state.hpp"

#include "glue/buffer_view.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

namespace sovelk {

ProcessState g_state;
Constants g_const;

namespace {

PyObject* grab(PyObject* module, const char* name) {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

bool numpy_namespace(PyObject* dict) {
    PyObject* name = PyDict_GetItemString(dict, "__name__");
    if (name == nullptr || !PyUnicode_Check(name)) return false;
    Ref numpy = Ref::steal(PyUnicode_FromString("numpy"));
    return numpy && PyUnicode_Tailmatch(name, numpy.get(), 0, 5, -1) == 1;
}

// Walks the code that numpy's functions run at each call and records every global and module
// attribute it reads by name (`np.add`, `_wrapreduction`, `um.clip`, builtins such as
// `isinstance`), with the object each holds now. Only numpy's own Python functions are walked:
// C functions and ufuncs read nothing by name. Nested code (comprehensions) and closures (the
// dispatch wrappers of older numpy) are followed. Every step returns false with an error set.
class NameWalk {
public:
    explicit NameWalk(ProcessState::LibraryNames& out) : out_(out) {}
    NameWalk(const NameWalk&) = delete;
    NameWalk& operator=(const NameWalk&) = delete;

    // The global `name` of `dict` and whatever its value reads.
    bool from_global(PyObject* dict, const char* name) {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        if (!key) return false;
        PyObject* value = PyDict_GetItemWithError(dict, key.get());
        if (value == nullptr) return !PyErr_Occurred();  // absent: nothing reads it
        return record(dict, key.get(), value) && visit(value);
    }

private:
    bool visit(PyObject* obj) {
        if (PyType_Check(obj) || PyModule_Check(obj) || PyCFunction_Check(obj)) return true;
        // Closures can hold the function itself (older numpy's dispatch wrappers do).
        if (!seen_.insert(obj).second) return true;
        if (PyFunction_Check(obj)) {
            PyObject* globals = PyFunction_GET_GLOBALS(obj);
            if (!numpy_namespace(globals)) return true;
            if (!walk_code(PyFunction_GET_CODE(obj), globals)) return false;
            PyObject* closure = PyFunction_GET_CLOSURE(obj);
            for (Py_ssize_t i = 0; closure != nullptr && i < PyTuple_GET_SIZE(closure); ++i) {
                PyObject* content = PyCell_GET(PyTuple_GET_ITEM(closure, i));
                if (content != nullptr && !visit(content)) return false;
            }
            return true;
        }
        // numpy's dispatch objects (np.sum is one) run their `_implementation`.
        Ref implementation = Ref::steal(PyObject_GetAttrString(obj, "_implementation"));
        if (!implementation) {
            PyErr_Clear();
            return true;
        }
        return visit(implementation.get());
    }

    bool walk_code(PyObject* code, PyObject* globals) {
        if (!seen_.insert(code).second) return true;
        Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
        Ref consts = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
        if (!names || !consts) return false;
        if (!PyTuple_Check(names.get()) || !PyTuple_Check(consts.get())) {
            PyErr_SetString(PyExc_TypeError, "code object without name tuples");
            return false;
        }
        PyObject* builtins = PyDict_GetItemString(globals, "__builtins__");
        if (builtins != nullptr && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
        if (builtins != nullptr && !PyDict_Check(builtins)) builtins = nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
            PyObject* name = PyTuple_GET_ITEM(names.get(), i);
            PyObject* value = PyDict_GetItemWithError(globals, name);
            if (value == nullptr && PyErr_Occurred()) return false;
            if (value != nullptr) {
                if (!record(globals, name, value)) return false;
                // A module read by name (`np`, `um`) is read for the attributes this code names.
                if (PyModule_Check(value) && !module_attributes(value, names.get())) return false;
                if (!visit(value)) return false;
                continue;
            }
            if (builtins == nullptr) continue;
            PyObject* builtin = PyDict_GetItemWithError(builtins, name);
            if (builtin == nullptr && PyErr_Occurred()) return false;
            if (builtin != nullptr && !record(builtins, name, builtin)) return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
            PyObject* constant = PyTuple_GET_ITEM(consts.get(), i);
            if (PyCode_Check(constant) && !walk_code(constant, globals)) return false;
        }
        return true;
    }

    bool module_attributes(PyObject* module, PyObject* names) {
        PyObject* dict = PyModule_GetDict(module);
        if (dict == nullptr || !numpy_namespace(dict)) return true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
            PyObject* name = PyTuple_GET_ITEM(names, i);
            PyObject* value = PyDict_GetItemWithError(dict, name);
            if (value == nullptr && PyErr_Occurred()) return false;
            if (value != nullptr && !(record(dict, name, value) && visit(value))) return false;
        }
        return true;
    }

    bool record(PyObject* dict, PyObject* key, PyObject* value) {
        for (const auto& n : out_.names) {
            if (n.dict == dict && n.key == key) return true;  // names of code objects are interned
        }
        try {
            out_.names.push_back({Py_NewRef(dict), Py_NewRef(key), Py_NewRef(value)});
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    ProcessState::LibraryNames& out_;
    std::unordered_set<PyObject*> seen_;  // borrowed: everything walked is kept alive by a record
};

void clear_names(ProcessState::LibraryNames& names) {
    for (auto& n : names.names) {
        Py_DECREF(n.dict);
        Py_DECREF(n.key);
        Py_DECREF(n.value);
    }
    names.names.clear();
    names.dicts.clear();
    names.complete = false;
}

// The names read from numpy.<each root> on, and from `methods`.<_clip>: ndarray.clip, which
// np.clip ends in, calls that Python function of numpy's from C.
void walk_names(ProcessState::LibraryNames& out, PyObject* numpy, std::initializer_list<const char*> roots,
                PyObject* methods) {
    clear_names(out);
    bool ok = true;
    {
        NameWalk walk(out);
        for (const char* name : roots) ok = ok && walk.from_global(PyModule_GetDict(numpy), name);
        if (ok && methods != nullptr) ok = walk.from_global(PyModule_GetDict(methods), "_clip");
    }
    try {
        for (const auto& n : out.names)
            if (std::find(out.dicts.begin(), out.dicts.end(), n.dict) == out.dicts.end()) out.dicts.push_back(n.dict);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        PyErr_Clear();
        clear_names(out);
        return;
    }
    out.complete = true;
}

// numpy's private module of ndarray methods written in Python (numpy._core in 2.x, numpy.core
// before), or null.
Ref array_methods_module() {
    for (const char* name : {"numpy._core._methods", "numpy.core._methods"}) {
        Ref module = Ref::steal(PyImport_ImportModule(name));
        if (module) return module;
        PyErr_Clear();
    }
    return Ref();
}

// Whether numpy.sum(stack, axis=0) of a C-contiguous float64 stack adds the planes in order,
// plane 0 first, as the fused kernel adds the window offsets of each pixel. numpy does so where a
// plane holds two or more values (a lone pixel's planes it sums pairwise), and nothing promises
// that a later release will. Plane 0 holds 1.0 and planes 1 to 8 hold 2^-53: added in order, to
// nearest, each small one is lost to the 1.0; added up first (pairwise, reversed), they are not.
// The in-order sums are computed here too, from the same memory in the same rounding mode, and
// numpy's must be those bits. Any failure counts as "not in order". Calls numpy.sum and
// numpy.empty as they are now, never through the module's globals.
bool numpy_sums_in_order(PyObject* numpy, PyObject* empty) {
    constexpr Py_ssize_t kPlanes = 9;
    const Py_ssize_t shapes[][3] = {{1, 2, 1}, {2, 2, 3}};  // a plane's (h, w, channels)
    Ref sum = Ref::steal(PyObject_GetAttrString(numpy, "sum"));
    if (!sum || empty == nullptr) return false;
    for (const auto& shape : shapes) {
        const Py_ssize_t values = shape[0] * shape[1] * shape[2];
        Ref dims = Ref::steal(Py_BuildValue("(nnnn)", kPlanes, shape[0], shape[1], shape[2]));
        if (!dims) return false;
        Ref stack = Ref::steal(PyObject_CallOneArg(empty, dims.get()));
        if (!stack) return false;
        {
            BufferView view;
            if (!view.acquire(stack.get(), PyBUF_RECORDS) || view->format == nullptr ||
                std::strcmp(view->format, "d") != 0 || !PyBuffer_IsContiguous(view.raw(), 'C') ||
                view->len != kPlanes * values * 8)
                return false;
            double* data = static_cast<double*>(view->buf);
            for (Py_ssize_t i = 0; i < kPlanes * values; ++i) data[i] = i < values ? 1.0 : 0x1p-53;
        }
        PyObject* args[] = {stack.get(), g_const.int_0};
        Ref total = Ref::steal(PyObject_Vectorcall(sum.get(), args, 1, g_const.kw_axis));
        if (!total) return false;
        BufferView in, out;
        if (!in.acquire(stack.get(), PyBUF_RECORDS_RO) || !out.acquire(total.get(), PyBUF_RECORDS_RO) ||
            out->format == nullptr || std::strcmp(out->format, "d") != 0 ||
            !PyBuffer_IsContiguous(out.raw(), 'C') || out->len != values * 8)
            return false;
        const double* planes = static_cast<const double*>(in->buf);
        const double* sums = static_cast<const double*>(out->buf);
        for (Py_ssize_t j = 0; j < values; ++j) {
            double in_order = 0.0;
            for (Py_ssize_t p = 0; p < kPlanes; ++p) in_order = in_order + planes[p * values + j];
            if (std::memcmp(&in_order, &sums[j], sizeof in_order) != 0) return false;
        }
    }
    return true;
}

}  // namespace

bool keys_exact_str(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

void capture_numpy_originals(PyObject* numpy) {
    auto& o = g_state.originals;
    const struct {
        PyObject** slot;
        const char* name;
    } names[] = {
        {&o.int32, "int32"}, {&o.uint8, "uint8"}, {&o.empty, "empty"}, {&o.geterr, "geterr"},
    };
    for (const auto& n : names) {
        Py_XSETREF(*n.slot, grab(numpy, n.name));
    }
    g_state.numpy_sums_in_order = numpy_sums_in_order(numpy, o.empty);
    PyErr_Clear();
    Ref methods = array_methods_module();
    walk_names(g_state.weights_names, numpy, {"zeros", "expand_dims", "repeat", "sum", "abs", "prod", "int32"},
               nullptr);
    walk_names(g_state.cast_names, numpy, {"clip", "uint8"}, methods.get());
}

void capture_cv2_originals(PyObject* cv2) {
    auto& o = g_state.originals;
    Py_XSETREF(o.copyMakeBorder, grab(cv2, "copyMakeBorder"));
    Py_XSETREF(o.BORDER_REFLECT, grab(cv2, "BORDER_REFLECT"));
    Py_XSETREF(o.cv2_error, grab(cv2, "error"));
    Py_XSETREF(o.cv2_version, grab(cv2, "__version__"));
    g_state.opencv_loops_on_empty = false;
    if (o.cv2_version != nullptr && PyUnicode_Check(o.cv2_version)) {
        const char* text = PyUnicode_AsUTF8(o.cv2_version);
        int major = 0, minor = 0;
        if (text == nullptr) {
            PyErr_Clear();
        } else if (std::sscanf(text, "%d.%d", &major, &minor) == 2) {
            g_state.opencv_loops_on_empty = major < 5 || (major == 5 && minor < 1);
        }
    }
}

void release_originals() {
    auto& o = g_state.originals;
    for (PyObject** slot : {&o.int32, &o.uint8, &o.empty, &o.geterr, &o.copyMakeBorder, &o.BORDER_REFLECT,
                            &o.cv2_error, &o.cv2_version}) {
        Py_CLEAR(*slot);
    }
    clear_names(g_state.weights_names);
    clear_names(g_state.cast_names);
    g_state.numpy_sums_in_order = false;
}

bool library_names_unchanged(const ProcessState::LibraryNames& names) {
    if (!names.complete) return false;
    for (PyObject* dict : names.dicts) {
        if (!keys_exact_str(dict)) return false;
    }
    for (const auto& n : names.names) {
        PyObject* current = PyDict_GetItemWithError(n.dict, n.key);
        if (current == nullptr) PyErr_Clear();
        if (current != n.value) return false;
    }
    return true;
}

bool init_constants() {
    static bool done = false;
    if (done) return true;
    Constants& c = g_const;
    struct Name {
        PyObject** slot;
        const char* text;
    };
    const Name names[] = {
        {&c.np, "np"}, {&c.cv2, "cv2"}, {&c.object, "object"}, {&c.range, "range"},
        {&c.sigma_s, "sigma_s"}, {&c.sigma_r, "sigma_r"}, {&c.wndw_size, "wndw_size"},
        {&c.pad_w, "pad_w"}, {&c.kernel_s, "kernel_s"}, {&c.table_r_color, "table_r_color"},
        {&c.table_r_gray, "table_r_gray"}, {&c.get_spatial_kernel, "get_spatial_kernel"},
        {&c.get_range_table, "get_range_table"}, {&c.get_range_kernel, "get_range_kernel"},
        {&c.meshgrid, "meshgrid"}, {&c.exp, "exp"}, {&c.arange, "arange"}, {&c.abs, "abs"},
        {&c.expand_dims, "expand_dims"}, {&c.prod, "prod"}, {&c.int32, "int32"},
        {&c.uint8, "uint8"}, {&c.repeat, "repeat"}, {&c.zeros, "zeros"}, {&c.sum, "sum"},
        {&c.clip, "clip"}, {&c.astype, "astype"}, {&c.reshape, "reshape"}, {&c.ndim, "ndim"},
        {&c.shape, "shape"}, {&c.BORDER_REFLECT, "BORDER_REFLECT"},
        {&c.copyMakeBorder, "copyMakeBorder"}, {&c.ndarray, "ndarray"}, {&c.axis, "axis"},
        {&c.keepdims, "keepdims"}, {&c.dtype, "dtype"}, {&c.integer, "integer"}, {&c.info, "info"},
        {&c.debug, "debug"}, {&c.code, "code"},
    };
    for (const Name& n : names) {
        if (*n.slot == nullptr && (*n.slot = PyUnicode_InternFromString(n.text)) == nullptr) return false;
    }
    struct Integer {
        PyObject** slot;
        long value;
    };
    const Integer integers[] = {
        {&c.int_0, 0}, {&c.int_1, 1}, {&c.int_2, 2}, {&c.int_3, 3}, {&c.int_6, 6},
        {&c.int_minus_1, -1}, {&c.int_minus_3, -3}, {&c.int_255, 255}, {&c.int_256, 256},
    };
    for (const Integer& i : integers) {
        if (*i.slot == nullptr && (*i.slot = PyLong_FromLong(i.value)) == nullptr) return false;
    }
    if (c.float_2 == nullptr && (c.float_2 = PyFloat_FromDouble(2.0)) == nullptr) return false;
    if (c.float_255 == nullptr && (c.float_255 = PyFloat_FromDouble(255.0)) == nullptr) return false;
    if (c.kw_axis == nullptr && (c.kw_axis = PyTuple_Pack(1, c.axis)) == nullptr) return false;
    if (c.kw_dtype == nullptr && (c.kw_dtype = PyTuple_Pack(1, c.dtype)) == nullptr) return false;
    if (c.kw_axis_keepdims == nullptr &&
        (c.kw_axis_keepdims = PyTuple_Pack(2, c.axis, c.keepdims)) == nullptr)
        return false;
    done = true;
    return true;
}

}  // namespace sovelk
