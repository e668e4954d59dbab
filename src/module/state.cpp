#include "state.hpp"

namespace sovelk {

ProcessState g_state;
Constants g_const;

namespace {

PyObject* grab(PyObject* module, const char* name) {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

}  // namespace

void capture_numpy_originals(PyObject* numpy) {
    auto& o = g_state.originals;
    const struct {
        PyObject** slot;
        const char* name;
    } names[] = {
        {&o.zeros, "zeros"}, {&o.expand_dims, "expand_dims"}, {&o.repeat, "repeat"}, {&o.sum, "sum"},
        {&o.abs, "abs"},     {&o.prod, "prod"},               {&o.clip, "clip"},     {&o.int32, "int32"},
        {&o.uint8, "uint8"}, {&o.empty, "empty"},             {&o.geterr, "geterr"},
    };
    for (const auto& n : names) {
        Py_XSETREF(*n.slot, grab(numpy, n.name));
    }
}

void capture_cv2_originals(PyObject* cv2) {
    auto& o = g_state.originals;
    Py_XSETREF(o.copyMakeBorder, grab(cv2, "copyMakeBorder"));
    Py_XSETREF(o.BORDER_REFLECT, grab(cv2, "BORDER_REFLECT"));
}

void release_originals() {
    auto& o = g_state.originals;
    for (PyObject** slot : {&o.zeros, &o.expand_dims, &o.repeat, &o.sum, &o.abs, &o.prod, &o.clip, &o.int32,
                            &o.uint8, &o.empty, &o.geterr, &o.copyMakeBorder, &o.BORDER_REFLECT}) {
        Py_CLEAR(*slot);
    }
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
        {&c.keepdims, "keepdims"},
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
    if (c.kw_axis_keepdims == nullptr &&
        (c.kw_axis_keepdims = PyTuple_Pack(2, c.axis, c.keepdims)) == nullptr)
        return false;
    done = true;
    return true;
}

}  // namespace sovelk
