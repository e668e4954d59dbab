#include "methods/array_sizes.hpp"

#include "module/array_dims.hpp"

#include <algorithm>
#include <cstring>

namespace sovelk {

double elements_of(PyObject* obj) {
    BufferView view;
    if (!acquire_array_dims(view, obj)) return 0;
    double elements = 1;
    for (int d = 0; d < view->ndim; ++d) elements *= static_cast<double>(view->shape[d]);
    return elements;
}

double broadcast_elements(PyObject* a, PyObject* b) {
    BufferView va, vb;
    if (!acquire_array_dims(va, a) || !acquire_array_dims(vb, b)) return 0;
    const int nd = std::max(va->ndim, vb->ndim);
    double elements = 1;
    for (int i = 1; i <= nd; ++i) {
        const Py_ssize_t da = i <= va->ndim ? va->shape[va->ndim - i] : 1;
        const Py_ssize_t db = i <= vb->ndim ? vb->shape[vb->ndim - i] : 1;
        if (da != db && da != 1 && db != 1) return 0;
        elements *= static_cast<double>(da == 1 ? db : da);
    }
    return elements;
}

double result_itemsize(PyObject* a, PyObject* b) {
    BufferView va, vb;
    if (!acquire_array_dims(va, a, PyBUF_RECORDS_RO) || !acquire_array_dims(vb, b, PyBUF_RECORDS_RO)) return 8;
    const bool same = va->format != nullptr && vb->format != nullptr && std::strcmp(va->format, vb->format) == 0;
    return same ? static_cast<double>(va->itemsize) : 8;
}

}  // namespace sovelk
