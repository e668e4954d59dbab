#include "bridge/eligibility.hpp"

#include "glue/buffer_format.hpp"
#include "glue/buffer_view.hpp"
#include "module/method_object.hpp"
#include "module/state.hpp"
#include "module/statements.hpp"

#include <algorithm>
#include <cfenv>
#include <cstring>
#include <new>

namespace sovelk {

namespace {

// Channels the 8-bit path takes, fewer than any supported OpenCV release pads as one
// multi-channel matrix (OpenCV 4 takes up to 512, OpenCV 5 refuses more than 128): calls with more
// channels go to OpenCV, which decides.
constexpr Py_ssize_t kUint8PathChannelsMax = 4;
// Channel counts travel to the kernel as int.
constexpr Py_ssize_t kKernelChannelsMax = 4096;

bool is_exact_ndarray(PyObject* obj) {
    return g_state.ndarray != nullptr && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(g_state.ndarray);
}

// A Python int from 0 to PY_SSIZE_T_MAX, else -1 (exact int only: an int subclass could redefine
// the arithmetic the statements do with it).
Py_ssize_t non_negative_exact_int(PyObject* obj) {
    if (!PyLong_CheckExact(obj)) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v < 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return -1;
    }
    return static_cast<Py_ssize_t>(v);
}

bool plain_module(PyObject* module) {
    return module != nullptr && Py_TYPE(module) == &PyModule_Type && keys_exact_str(PyModule_GetDict(module));
}

// Reading `name` on self can only come from the instance's own attribute dict: the type does not
// define it, so no descriptor of anybody's can answer instead.
bool plain_instance_attribute(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name) == nullptr;
}

// self.get_range_kernel is the module's own method (`own`) bound to self: neither a subclass
// override nor an instance attribute of that name.
bool own_range_kernel(PyObject* self, const MethodInfo* own) {
    PyObject* in_type = _PyType_Lookup(Py_TYPE(self), g_const.get_range_kernel);
    if (in_type == nullptr || own == nullptr || method_info(in_type) != own) return false;
    Ref bound = Ref::steal(PyObject_GetAttr(self, g_const.get_range_kernel));
    if (!bound) {
        PyErr_Clear();
        return false;
    }
    return PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == in_type &&
           PyMethod_GET_SELF(bound.get()) == self;
}

// self.<name>, with any error swallowed: the statements will raise it themselves.
Ref read_attribute(PyObject* self, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(self, name));
    if (!value) PyErr_Clear();
    return value;
}

// A float64 array copied out in C order (what reshape would read), or false on mismatch. numpy
// computes the same values from unaligned and byte-swapped arrays, so neither matters here: the
// values are copied anyway (an unpickled array, as Dask workers get them, is often unaligned).
bool copy_float64(PyObject* array, Py_ssize_t expected_size, int expected_ndim, std::vector<double>& out) {
    if (!is_exact_ndarray(array)) return false;
    BufferView view;
    if (!view.acquire(array, PyBUF_RECORDS_RO) || view->format == nullptr) return false;
    const std::optional<SampleFormat> format = sample_format(*view);
    if (!format || format->sample != fused::Sample::float64) return false;
    const bool swap = format->swapped;
    if (expected_ndim >= 0 && view->ndim != expected_ndim) return false;
    const Py_ssize_t size = view->len / 8;
    if (expected_size >= 0 && size != expected_size) return false;
    if (size < 1) return false;
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (PyBuffer_ToContiguous(out.data(), view.raw(), view->len, 'C') != 0) {
        PyErr_Clear();
        return false;
    }
    if (swap) {
        for (double& v : out) {
            unsigned char bytes[8];
            std::memcpy(bytes, &v, 8);
            std::reverse(bytes, bytes + 8);
            std::memcpy(&v, bytes, 8);
        }
    }
    return true;
}

// The guidance's channel count as the statements see it: 1 for two axes, c for three axes of c
// between `least` and `most`; 0 for anything else.
Py_ssize_t guidance_channels(const Py_buffer& view, Py_ssize_t least, Py_ssize_t most) {
    if (view.ndim == 2) return 1;
    if (view.ndim == 3 && view.shape[2] >= least && view.shape[2] <= most) return view.shape[2];
    return 0;
}

}  // namespace

Verdict reads_unobservable(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr)
        return Verdict::declined("the filter's class customises attribute access");
    // Attribute lookups go through the dicts of the classes along the MRO (static types' dicts
    // cannot gain keys) and the instance dict.
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return Verdict::declined("the filter's class has no MRO");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        if (t->tp_dict == nullptr || !keys_exact_str(t->tp_dict))
            return Verdict::declined("a class of the filter has a key that is not a plain str");
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        PyErr_Clear();
        return Verdict::declined("the filter has no attribute dict");
    }
    if (!PyDict_CheckExact(dict.get()) || !keys_exact_str(dict.get()))
        return Verdict::declined("the filter's attribute dict has a key that is not a plain str");
    // np found in the module's globals (never the builtins), as the module imported.
    if (g_state.numpy == nullptr || !keys_exact_str(g_state.globals))
        return Verdict::declined("the module's globals have a key that is not a plain str");
    PyObject* np = PyDict_GetItemWithError(g_state.globals, g_const.np);
    if (np == nullptr) PyErr_Clear();
    if (np != g_state.numpy) return Verdict::declined("np is not the module imported");
    if (!plain_module(g_state.numpy)) return Verdict::declined("numpy is not a plain module with str keys");
    return Verdict::eligible();
}

Verdict cv2_reads_unobservable() {
    PyObject* cv2 = PyDict_GetItemWithError(g_state.globals, g_const.cv2);
    if (cv2 == nullptr) PyErr_Clear();
    if (!plain_module(cv2)) return Verdict::declined("cv2 is not a plain module with str keys");
    return Verdict::eligible();
}

Verdict numpy_as_imported(bool final_cast) {
    if (!library_names_unchanged(g_state.weights_names) || (final_cast && !library_names_unchanged(g_state.cast_names)))
        return Verdict::declined("a name numpy's functions read on the statements' way was rebound");
    const auto& o = g_state.originals;
    if (o.empty == nullptr || o.geterr == nullptr || o.int32 == nullptr || o.uint8 == nullptr)
        return Verdict::declined("numpy lacks empty, geterr, int32 or uint8");
    if (!g_state.numpy_sums_in_order) return Verdict::declined("numpy does not sum the window offsets in order");
    return Verdict::eligible();
}

Verdict check_inputs(PyObject* img, PyObject* guidance, InputRule rule, Inputs& inputs) {
    // Plain arrays: a subclass could override shape or the arithmetic.
    if (!is_exact_ndarray(img) || !is_exact_ndarray(guidance))
        return Verdict::declined("image or guidance is not a plain numpy array");
    const bool uint8 = rule == InputRule::uint8_unpadded;
    BufferView img_view, guid_view;
    const int flags = uint8 ? PyBUF_RECORDS_RO : PyBUF_STRIDES;
    if (!img_view.acquire(img, flags) || !guid_view.acquire(guidance, flags))
        return Verdict::declined("image or guidance exports no buffer");
    const auto is_uint8 = [](const Py_buffer& view) { return native_sample(view) == fused::Sample::uint8; };
    if (uint8 && (!is_uint8(*img_view) || !is_uint8(*guid_view)))
        return Verdict::declined("image or guidance is not uint8");
    // OpenCV pads a one-channel array to two axes, which the statements do not broadcast like
    // three: such calls keep to the statements, which raise or not as they do.
    const Py_ssize_t least = uint8 ? 2 : 1, most = uint8 ? kUint8PathChannelsMax : kKernelChannelsMax;
    if (img_view->ndim != 3 || img_view->shape[2] < least || img_view->shape[2] > most)
        return Verdict::declined("the image does not have three axes and a channel count the path takes");
    inputs.h = img_view->shape[0];
    inputs.w = img_view->shape[1];
    inputs.img_ch = img_view->shape[2];
    // numpy sums a single pixel's offsets pairwise rather than in order.
    if (inputs.h < 1 || inputs.w < 1 || inputs.h * inputs.w < 2)
        return Verdict::declined("the image has fewer than two pixels");
    inputs.guid_ch = guidance_channels(*guid_view, 2, most);
    if (inputs.guid_ch == 0) return Verdict::declined("the guidance is neither gray (two axes) nor has 2 or more channels the path takes");
    if (guid_view->shape[0] != inputs.h || guid_view->shape[1] != inputs.w)
        return Verdict::declined("guidance and image differ in size");
    return Verdict::eligible();
}

Verdict read_weights(PyObject* self, const MethodInfo* range_kernel, Py_ssize_t guid_ch, Weights& weights) {
    // The names not defined on the type (so no property or descriptor answers them), and
    // get_range_kernel the module's own.
    PyTypeObject* type = Py_TYPE(self);
    for (PyObject* name : {g_const.wndw_size, g_const.pad_w, g_const.kernel_s, g_const.table_r_gray,
                           g_const.table_r_color}) {
        if (!plain_instance_attribute(type, name))
            return Verdict::declined("the filter's class defines an attribute the statements read");
    }
    if (!own_range_kernel(self, range_kernel)) return Verdict::declined("get_range_kernel is overridden");
    // Geometry: exact ints with the window centred on the pixel, as construction makes them.
    Ref pad_obj = read_attribute(self, g_const.pad_w);
    Ref wndw_obj = read_attribute(self, g_const.wndw_size);
    if (!pad_obj || !wndw_obj) return Verdict::declined("pad_w or wndw_size is missing");
    weights.pad = non_negative_exact_int(pad_obj.get());
    weights.wndw_size = non_negative_exact_int(wndw_obj.get());
    // A window side beyond 2^15 would make wndw_size^2 window offsets overflow the kernel's ints.
    if (weights.pad < 0 || weights.wndw_size != 2 * weights.pad + 1 || weights.wndw_size > 32767)
        return Verdict::declined("pad_w and wndw_size are not plain ints with wndw_size == 2 * pad_w + 1");
    Ref kernel_obj = read_attribute(self, g_const.kernel_s);
    if (!kernel_obj || !copy_float64(kernel_obj.get(), weights.wndw_size * weights.wndw_size, -1, weights.kernel_s))
        return Verdict::declined("kernel_s is not a float64 array of wndw_size**2 values");
    // The statements choose the gray table for one guidance channel, the colour table otherwise.
    Ref table_obj = read_attribute(self, guid_ch == 1 ? g_const.table_r_gray : g_const.table_r_color);
    if (!table_obj || !copy_float64(table_obj.get(), -1, 1, weights.table))
        return Verdict::declined("the range table is not a one-axis float64 array");
    return Verdict::eligible();
}

Verdict events_unobservable(const fused::Result& result) {
    // Division by zero, overflow and invalid are reported unless ignored; so is underflow, which
    // numpy ignores by default. Rather than decode every setting, any event but an ignored
    // underflow sends the call to the statements, which then report exactly as numpy does.
    const int flags = result.fp_flags;
    const Verdict reportable = Verdict::declined("a floating-point event numpy would report");
    if (flags & (FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID)) return reportable;
    if (!(flags & FE_UNDERFLOW)) return Verdict::eligible();
    Ref settings = call(g_state.originals.geterr, {});
    if (!PyDict_Check(settings.get())) return reportable;
    PyObject* under = PyDict_GetItemString(settings.get(), "under");
    if (under == nullptr || !PyUnicode_Check(under) || PyUnicode_CompareWithASCIIString(under, "ignore") != 0)
        return reportable;
    return Verdict::eligible();
}

}  // namespace sovelk
