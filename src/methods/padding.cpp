#include "methods/padding.hpp"

#include "module/buffer_view.hpp"
#include "module/statements.hpp"

namespace sovelk {

namespace {

// OpenCV 4.6's BORDER_REFLECT spins forever on an empty source, in C++ and with the GIL held, so
// nothing (not even Ctrl-C) gets the process back. Refuse such sources before the call.
void reject_empty_source(PyObject* source, const char* arg_name) {
    if (source == Py_None) {
        PyErr_Format(PyExc_ValueError, "%s is None: there is no image to pad", arg_name);
        throw PyErrorSet{};
    }
    bool empty = false;
    Ref shape;
    if (PyTuple_CheckExact(source)) {
        // OpenCV reads a tuple as a column of numbers; an empty one is an empty image.
        empty = PyTuple_GET_SIZE(source) == 0;
        if (empty) shape = require(PyTuple_New(0));
    } else {
        BufferView view;
        if (view.acquire_array_dims(source)) {
            empty = view->ndim >= 1 && (view->shape[0] == 0 || (view->ndim >= 2 && view->shape[1] == 0));
            if (empty) {
                shape = require(PyTuple_New(view->ndim));
                for (int d = 0; d < view->ndim; ++d) {
                    PyTuple_SET_ITEM(shape.get(), d, require(PyLong_FromSsize_t(view->shape[d])).release());
                }
            }
        }
    }
    if (empty) {
        PyErr_Format(PyExc_ValueError,
                     "%s is empty (shape %R): an image with a zero-length height or width cannot "
                     "be padded",
                     arg_name, shape.get());
        throw PyErrorSet{};
    }
}

}  // namespace

Ref pad_with_border(PyObject* self, PyObject* source, PyObject* border_type, const char* arg_name) {
    Ref cv2 = lookup_global(g_const.cv2);
    Ref copy_make_border = get_attr(cv2.get(), g_const.copyMakeBorder);
    Ref top = get_attr(self, g_const.pad_w);
    Ref bottom = get_attr(self, g_const.pad_w);
    Ref left = get_attr(self, g_const.pad_w);
    Ref right = get_attr(self, g_const.pad_w);
    reject_empty_source(source, arg_name);
    Ref bordered = call(copy_make_border.get(),
                        {source, top.get(), bottom.get(), left.get(), right.get(), border_type});
    Ref astype = get_attr(bordered.get(), g_const.astype);
    Ref np = lookup_global(g_const.np);
    Ref int32 = get_attr(np.get(), g_const.int32);
    return call(astype.get(), {int32.get()});
}

}  // namespace sovelk
