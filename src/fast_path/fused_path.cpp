// Eligibility of the fused kernel, and the hand-over to it.
//
// The kernel replaces the statements from the window stacks (line 44) to the weighted sums
// (line 58), and on the 8-bit path also the padding (lines 40 and 41) and the final cast (line
// 60). It may run only where those statements could not have done anything else: no Python code
// of anybody's would have run, numpy and OpenCV would have computed from the same arrays, and no
// floating-point event occurred that numpy would have reported. Every condition below says which
// of those it protects. Where one fails, the statements run and give their own result, warnings
// and errors.
#include "fast_path/fused_path.hpp"

#include "core/fused_kernel.hpp"
#include "core/memory_budget.hpp"
#include "core/reflect_padding.hpp"
#include "module/buffer_view.hpp"
#include "module/lines.hpp"
#include "module/method_object.hpp"
#include "module/statements.hpp"
#include "module/traceback.hpp"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace sovelk {

namespace {

namespace line_of = lines::joint_bilateral_filter;
// The kernel's own failures report where the statements would allocate first (the window stacks);
// a Ctrl-C during the kernel reports the weighted sum that the kernel ends with.
constexpr int kLineAllocation = line_of::kTmpImg;
constexpr int kLineWeightedSum = line_of::kOutput;
// Channel counts that every supported OpenCV release pads as one multi-channel matrix (OpenCV 4
// takes up to 512, OpenCV 5 refuses more than 128); the 8-bit path takes no more than these, and
// calls with more channels go to OpenCV, which decides.
constexpr Py_ssize_t kPaddedChannelsMax = 4;

// Why the fast path last declined on this thread.
thread_local const char* g_decline_reason = "";

Ref decline(const char* reason) {
    note_decline(reason);
    return Ref();
}

bool is_exact_ndarray(PyObject* obj) {
    return g_state.ndarray != nullptr && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(g_state.ndarray);
}

bool has_format(const Py_buffer& view, const char* format, Py_ssize_t itemsize) {
    return view.format != nullptr && std::strcmp(view.format, format) == 0 && view.itemsize == itemsize;
}

// A Python int that fits a Py_ssize_t, else -1 (exact int only: an int subclass could redefine
// the arithmetic the statements do with it).
Py_ssize_t exact_small_int(PyObject* obj) {
    if (!PyLong_CheckExact(obj)) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v < 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return -1;
    }
    return static_cast<Py_ssize_t>(v);
}

// Every key a str and not a subclass: looking a name up compares by hash and identity or runs
// str's own comparison, never a caller's __eq__ (which could count the lookups).
bool keys_exact_str(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

bool plain_module(PyObject* module) {
    return module != nullptr && Py_TYPE(module) == &PyModule_Type && keys_exact_str(PyModule_GetDict(module));
}

// True when reading `name` on self can only come from the instance's own attribute dict: the
// type neither defines it nor customises attribute access, so no descriptor or __getattr__ of
// anybody's can run or answer instead.
bool plain_instance_attribute(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name) == nullptr;
}

// True when self.get_range_kernel is the module's own method bound to self: neither a subclass
// override nor an instance attribute of that name.
bool own_range_kernel(PyObject* self) {
    PyObject* in_type = _PyType_Lookup(Py_TYPE(self), g_const.get_range_kernel);
    if (in_type == nullptr || method_info(in_type) != &kMethods[kGetRangeKernel]) return false;
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

// numpy's module dict still holds, under each name the replaced statements use, the object
// imported at init. Read from the dict itself: the module is a plain one (reads_observable).
const char* numpy_replaced(bool with_final_cast) {
    const auto& o = g_state.originals;
    struct Check {
        PyObject* name;
        PyObject* original;
    };
    const Check checks[] = {
        {g_const.zeros, o.zeros}, {g_const.expand_dims, o.expand_dims}, {g_const.repeat, o.repeat},
        {g_const.sum, o.sum},     {g_const.abs, o.abs},                 {g_const.prod, o.prod},
        {g_const.int32, o.int32}, {g_const.clip, o.clip},               {g_const.uint8, o.uint8},
    };
    PyObject* dict = PyModule_GetDict(g_state.numpy);
    for (const Check& c : checks) {
        if (!with_final_cast && (c.name == g_const.clip || c.name == g_const.uint8)) continue;
        PyObject* current = PyDict_GetItemWithError(dict, c.name);
        if (current == nullptr) PyErr_Clear();
        if (c.original == nullptr || current != c.original) return "a numpy function the statements call was replaced";
    }
    if (o.empty == nullptr || o.geterr == nullptr) return "numpy lacks empty or geterr";
    return nullptr;
}

// A float64 array copied out in C order (what reshape would read), or false on mismatch. numpy
// computes the same values from unaligned and byte-swapped arrays, so neither matters here: the
// values are copied anyway (an unpickled array, as Dask workers get them, is often unaligned).
bool copy_float64(PyObject* array, Py_ssize_t expected_size, int expected_ndim, std::vector<double>& out) {
    if (!is_exact_ndarray(array)) return false;
    BufferView view;
    if (!view.acquire(array, PyBUF_RECORDS_RO)) return false;
    const char* format = view->format;
    if (format == nullptr || view->itemsize != 8) return false;
    bool swap = false;
    if (format[0] == '@' || format[0] == '=' || format[0] == '<' || format[0] == '>' || format[0] == '!') {
        const bool big = format[0] == '>' || format[0] == '!';
        swap = big != (PY_BIG_ENDIAN != 0);
        if (format[0] == '@' || format[0] == '=') swap = false;
        ++format;
    }
    if (std::strcmp(format, "d") != 0) return false;
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

// Would numpy have reported the events in `flags` under the current error settings? Division by
// zero, overflow and invalid are reported unless ignored; so is underflow, which numpy ignores by
// default. Rather than decode every setting, any event but an ignored underflow sends the call to
// the statements, which then report exactly as numpy does.
bool events_reportable(int flags) {
    if (flags & (FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID)) return true;
    if (!(flags & FE_UNDERFLOW)) return false;
    Ref settings = call(g_state.originals.geterr, {});
    if (!PyDict_Check(settings.get())) return true;
    PyObject* under = PyDict_GetItemString(settings.get(), "under");
    if (under == nullptr || !PyUnicode_Check(under)) return true;
    return PyUnicode_CompareWithASCIIString(under, "ignore") != 0;
}

// What both paths read from the filter object: the window geometry, the spatial weights and the
// range table for the guidance's channel count, copied because the kernel runs without the GIL.
struct Weights {
    Py_ssize_t pad = -1, wndw_size = -1;
    std::vector<double> kernel_s, table;
};

// numpy's own empty((h, w, ch), dtype=uint8), or float64 without `uint8`, viewed writable in
// `view`; null when numpy gave anything else.
Ref new_output(Py_ssize_t h, Py_ssize_t w, Py_ssize_t ch, PyObject* uint8, BufferView& view) {
    Ref shape = require(Py_BuildValue("(nnn)", h, w, ch));
    Ref output;
    if (uint8 != nullptr) {
        Ref kwnames = require(Py_BuildValue("(s)", "dtype"));
        output = call(g_state.originals.empty, {shape.get(), uint8}, kwnames.get());
    } else {
        output = call(g_state.originals.empty, {shape.get()});
    }
    const bool fits = view.acquire(output.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) &&
                      (uint8 != nullptr ? has_format(*view, "B", 1) : has_format(*view, "d", 8));
    return fits ? std::move(output) : Ref();
}

// The kernel's request for the sizes and weights of a call; the buffers are the caller's to set.
fused::Request kernel_request(fused::Element element, Py_ssize_t h, Py_ssize_t w, Py_ssize_t pad,
                              Py_ssize_t img_ch, Py_ssize_t guid_ch, const Weights& weights) {
    fused::Request request;
    request.element = element;
    request.h = h;
    request.w = w;
    request.pad = pad;
    request.img_ch = static_cast<int>(img_ch);
    request.guid_ch = static_cast<int>(guid_ch);
    request.kernel_s = weights.kernel_s.data();
    request.table = weights.table.data();
    request.table_len = static_cast<ptrdiff_t>(weights.table.size());
    return request;
}

const char* read_weights(PyObject* self, Py_ssize_t guid_ch, Weights& weights) {
    // Attribute reads must give plain values: the names not defined on the type (so no property
    // or descriptor answers them), and get_range_kernel the module's own.
    PyTypeObject* type = Py_TYPE(self);
    for (PyObject* name : {g_const.wndw_size, g_const.pad_w, g_const.kernel_s, g_const.table_r_gray,
                           g_const.table_r_color}) {
        if (!plain_instance_attribute(type, name)) return "the filter's class defines an attribute the statements read";
    }
    if (!own_range_kernel(self)) return "get_range_kernel is overridden";
    // Geometry: exact ints with the window centred on the pixel, as construction makes them.
    Ref pad_obj = read_attribute(self, g_const.pad_w);
    Ref wndw_obj = read_attribute(self, g_const.wndw_size);
    if (!pad_obj || !wndw_obj) return "pad_w or wndw_size is missing";
    weights.pad = exact_small_int(pad_obj.get());
    weights.wndw_size = exact_small_int(wndw_obj.get());
    // A window side beyond 2^15 would make wndw_size^2 window offsets overflow the kernel's ints.
    if (weights.pad < 0 || weights.wndw_size != 2 * weights.pad + 1 || weights.wndw_size > 32767)
        return "pad_w and wndw_size are not plain ints with wndw_size == 2 * pad_w + 1";
    // Spatial weights: wndw_size^2 of them, read in C order as reshape does.
    Ref kernel_obj = read_attribute(self, g_const.kernel_s);
    if (!kernel_obj || !copy_float64(kernel_obj.get(), weights.wndw_size * weights.wndw_size, -1, weights.kernel_s))
        return "kernel_s is not a float64 array of wndw_size**2 values";
    // The statements choose the gray table for one guidance channel, the colour table otherwise.
    Ref table_obj = read_attribute(self, guid_ch == 1 ? g_const.table_r_gray : g_const.table_r_color);
    if (!table_obj || !copy_float64(table_obj.get(), -1, 1, weights.table))
        return "the range table is not a one-axis float64 array";
    return nullptr;
}

// The GIL released for the scope, and the thread state restored on every way out, exceptions
// included. with_gil() takes it back for a moment (Ctrl-C checks).
class GilReleased {
public:
    GilReleased() : saved_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(saved_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    template <class F>
    auto with_gil(F&& f) {
        struct Reacquired {
            PyThreadState*& saved;
            explicit Reacquired(PyThreadState*& s) : saved(s) { PyEval_RestoreThread(saved); }
            ~Reacquired() { saved = PyEval_SaveThread(); }
        } held(saved_);
        return f();
    }

private:
    PyThreadState* saved_;
};

// Runs the kernel without the GIL, hearing Ctrl-C on this thread. Every C++ exception stops at
// this boundary: the thread state is back before any Python error is set.
fused::Result run_kernel(const fused::Request& request, int threads, StatementLine& line) {
    fused::Result result;
    enum class Failure { none, memory, other } failure = Failure::none;
    std::string what;
    bool interrupted = false;
    {
        GilReleased unlocked;
        auto poll = [&unlocked, &interrupted]() {
            return unlocked.with_gil([&interrupted] {
                interrupted = PyErr_CheckSignals() != 0;
                return interrupted;
            });
        };
        try {
            result = fused::run(request, threads, poll);
        } catch (const std::bad_alloc&) {
            failure = Failure::memory;
        } catch (const std::exception& e) {
            failure = Failure::other;
            what = e.what();
        } catch (...) {
            failure = Failure::other;
            what = "unknown C++ exception";
        }
    }
    line.at(kLineAllocation);
    if (failure == Failure::memory || (failure == Failure::none && result.status == fused::Status::out_of_memory)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, "not enough memory for the filter's working buffers");
        throw PyErrorSet{};
    }
    if (failure == Failure::other) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "the filter's native kernel failed: %s", what.c_str());
        throw PyErrorSet{};
    }
    if (result.status == fused::Status::cancelled) {
        line.at(kLineWeightedSum);
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw PyErrorSet{};
    }
    // A signal handler that ran during a poll but did not ask to stop leaves nothing pending.
    (void)interrupted;
    return result;
}

struct Budget {
    int threads = 0;  // 0: not even one worker fits
    MemoryReservation reservation;
};

// Worker threads for a call that allocates `fixed` bytes besides each worker's scratch: no more
// than half the memory the process can get allows, after what calls running at once reserved.
// The memory is reserved for this call until the Budget goes.
Budget affordable_threads(uint64_t fixed, uint64_t per_thread) {
    Budget budget;
    const int threads = fused::default_thread_count();
    const auto available = unreserved_memory_bytes();
    if (!available) {
        budget.threads = threads;
        return budget;
    }
    if (fixed + per_thread > *available) return budget;
    // Half of it, leaving room for everything else the process and the call's caller do.
    const uint64_t half = *available / 2;
    const uint64_t fit = half > fixed && per_thread > 0 ? (half - fixed) / per_thread : 1;
    budget.threads = static_cast<int>(std::clamp<uint64_t>(fit, 1, static_cast<uint64_t>(threads)));
    budget.reservation = MemoryReservation::reserve(fixed + per_thread * static_cast<uint64_t>(budget.threads));
    if (!budget.reservation) {  // another call reserved in between: one worker, if even that fits
        budget.reservation = MemoryReservation::reserve(fixed + per_thread);
        budget.threads = budget.reservation ? 1 : 0;
    }
    return budget;
}

[[noreturn]] void refuse_window(uint64_t needed, Py_ssize_t wndw_size) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "joint_bilateral_filter needs about %.1f GiB of working memory for a "
                  "window of %zd x %zd pixels, more than this process can get",
                  static_cast<double>(needed) / 1073741824.0, wndw_size, wndw_size);
    PyErr_SetString(PyExc_MemoryError, text);
    throw PyErrorSet{};
}

// Whether the call holds the only reference to a fresh array that owns its memory: then nothing
// else can write or free it while the kernel reads it without the GIL.
bool owned_by_call(PyObject* array) {
    if (!is_exact_ndarray(array) || Py_REFCNT(array) != 1) return false;
    Ref base = read_attribute(array, require(PyUnicode_InternFromString("base")).get());
    if (!base || base.get() != Py_None) return false;
    Ref flags = read_attribute(array, require(PyUnicode_InternFromString("flags")).get());
    if (!flags) return false;
    Ref owndata = read_attribute(flags.get(), require(PyUnicode_InternFromString("owndata")).get());
    return owndata && owndata.get() == Py_True;
}

// The int32 data of a padded array, in memory only this call can reach: the array itself when
// the call owns it, else a copy made now, with the GIL held.
const int32_t* owned_int32(bool owned, const Py_buffer& view, std::vector<int32_t>& copy) {
    if (owned) return static_cast<const int32_t*>(view.buf);
    try {
        copy.resize(static_cast<size_t>(view.len / 4));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::memcpy(copy.data(), view.buf, copy.size() * 4);  // C-contiguous, checked by the caller
    return copy.data();
}

// A source (h, w) or (h, w, ch) of 8-bit values, read through its strides.
padding::Source source_of(const Py_buffer& view) {
    padding::Source s;
    s.data = static_cast<const uint8_t*>(view.buf);
    s.h = view.shape[0];
    s.w = view.shape[1];
    s.ch = view.ndim == 3 ? view.shape[2] : 1;
    s.stride_h = view.strides[0];
    s.stride_w = view.strides[1];
    s.stride_c = view.ndim == 3 ? view.strides[2] : 1;
    return s;
}

struct FreeBytes {
    void operator()(uint8_t* p) const { delete[] p; }
};
using Bytes = std::unique_ptr<uint8_t[], FreeBytes>;

}  // namespace

void note_decline(const char* reason) { g_decline_reason = reason; }

void explain_path(PathTaken path) {
    if (g_state.explain_logger == nullptr) return;
    const bool statements = path == PathTaken::statements;
    const char* text = statements                        ? "joint_bilateral_filter: statements ran; fast path declined: %s"
                       : path == PathTaken::int32_kernel ? "joint_bilateral_filter: int32 fast path ran; 8-bit path declined: %s"
                                                         : "joint_bilateral_filter: 8-bit fast path ran (%s)";
    const char* reason = path == PathTaken::uint8_kernel ? fused::path_name() : g_decline_reason;
    // The diagnostic must never change the call's outcome: any error of the logging is dropped,
    // and a pending exception is kept as it is. Interned texts (a few dozen in all) keep the
    // calls from leaving new strings in the interpreter's caches at every call.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* method = PyUnicode_InternFromString(statements ? "info" : "debug");
    PyObject* format = PyUnicode_InternFromString(text);
    PyObject* why = PyUnicode_InternFromString(reason);
    PyObject* result = method && format && why
                           ? PyObject_CallMethodObjArgs(g_state.explain_logger, method, format, why, nullptr)
                           : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(method);
    Py_XDECREF(format);
    Py_XDECREF(why);
    if (result == nullptr) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

const char* reads_observable(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return "the filter's class customises attribute access";
    // Attribute lookups go through the dicts of the classes along the MRO (static types' dicts
    // cannot gain keys) and the instance dict.
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return "the filter's class has no MRO";
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        if (t->tp_dict == nullptr || !keys_exact_str(t->tp_dict)) return "a class of the filter has a key that is not a plain str";
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        PyErr_Clear();
        return "the filter has no attribute dict";
    }
    if (!PyDict_CheckExact(dict.get()) || !keys_exact_str(dict.get()))
        return "the filter's attribute dict has a key that is not a plain str";
    // np found in the module's globals (never the builtins), as the module imported. cv2 is
    // looked up and read only in lines 39 to 41, which every path makes alike.
    if (g_state.numpy == nullptr || !keys_exact_str(g_state.globals))
        return "the module's globals have a key that is not a plain str";
    PyObject* np = PyDict_GetItemWithError(g_state.globals, g_const.np);
    if (np == nullptr) PyErr_Clear();
    if (np != g_state.numpy) return "np is not the module imported";
    if (!plain_module(g_state.numpy)) return "numpy is not a plain module with str keys";
    return nullptr;
}

const char* padding_reads_observable() {
    PyObject* cv2 = PyDict_GetItemWithError(g_state.globals, g_const.cv2);
    if (cv2 == nullptr) PyErr_Clear();
    if (!plain_module(cv2)) return "cv2 is not a plain module with str keys";
    return nullptr;
}

Ref fused_uint8_result(PyObject* self, PyObject* img, PyObject* guidance, Py_ssize_t pad, StatementLine& line) {
    if (const char* why = numpy_replaced(true)) return decline(why);

    // Inputs: plain 8-bit arrays (a subclass could override shape or the arithmetic), the image
    // with three axes and at least two channels, the guidance gray (two axes) or with at least
    // two channels: OpenCV pads a one-channel array to two axes, which the statements do not
    // broadcast alike.
    BufferView img_view, guid_view;
    if (!is_exact_ndarray(img) || !is_exact_ndarray(guidance) || !img_view.acquire(img, PyBUF_RECORDS_RO) ||
        !guid_view.acquire(guidance, PyBUF_RECORDS_RO) || !has_format(*img_view, "B", 1) ||
        !has_format(*guid_view, "B", 1))
        return decline("image or guidance is not a plain uint8 array");
    if (img_view->ndim != 3 || img_view->shape[2] < 2 || img_view->shape[2] > kPaddedChannelsMax)
        return decline("the image does not have three axes with 2 to 4 channels");
    const Py_ssize_t h = img_view->shape[0], w = img_view->shape[1], img_ch = img_view->shape[2];
    // numpy sums a single pixel's offsets pairwise rather than in order.
    if (h < 1 || w < 1 || h * w < 2) return decline("the image has fewer than two pixels");
    Py_ssize_t guid_ch;
    if (guid_view->ndim == 2) {
        guid_ch = 1;
    } else if (guid_view->ndim == 3 && guid_view->shape[2] >= 2 && guid_view->shape[2] <= kPaddedChannelsMax) {
        guid_ch = guid_view->shape[2];
    } else {
        return decline("the guidance is neither gray (two axes) nor has 2 to 4 channels");
    }
    if (guid_view->shape[0] != h || guid_view->shape[1] != w) return decline("guidance and image differ in size");
    // OpenCV keeps rows, columns and a row's values in ints.
    const Py_ssize_t ph = h + 2 * pad, pw = w + 2 * pad;
    if (pad > INT_MAX / 4 || ph > INT_MAX || pw > INT_MAX / std::max(img_ch, guid_ch))
        return decline("the padded size is beyond OpenCV's int geometry");

    Weights weights;
    if (const char* why = read_weights(self, guid_ch, weights)) return decline(why);
    if (weights.pad != pad) return decline("pad_w changed");
    // 8-bit guidance differences reach 255: a shorter table needs the statements' IndexError.
    if (weights.table.size() < 256) return decline("the range table has fewer than 256 entries");

    fused::Request request = kernel_request(fused::Element::uint8, h, w, pad, img_ch, guid_ch, weights);
    // One estimate of everything the call allocates, before any of it is: the padded copies, the
    // output and the workers' scratch. Where it cannot fit, the statements decide what to raise.
    const uint64_t img_bytes = static_cast<uint64_t>(ph) * pw * img_ch;
    const uint64_t guid_bytes = static_cast<uint64_t>(ph) * pw * guid_ch;
    const uint64_t out_bytes = static_cast<uint64_t>(h) * w * img_ch;
    uint8_t placeholder = 0;
    request.out_u8 = &placeholder;  // sizes the per-thread row buffer
    const uint64_t per_thread = fused::bytes_per_thread(request);
    if (per_thread == 0) return decline("the kernel refuses these sizes");
    const Budget budget = affordable_threads(img_bytes + guid_bytes + out_bytes, per_thread);
    const int threads = budget.threads;
    if (threads == 0) return decline("not enough memory");

    // Copies of the caller's arrays in buffers only this call can reach, padded as OpenCV pads
    // them, made while the GIL is held.
    line.at(line_of::kPadImg);
    Bytes padded_img(new (std::nothrow) uint8_t[img_bytes]);
    Bytes padded_guid(new (std::nothrow) uint8_t[guid_bytes]);
    if (!padded_img || !padded_guid) return decline("not enough memory for the padded copies");
    if (!padding::pad_reflect(source_of(*img_view), pad, padded_img.get()) ||
        !padding::pad_reflect(source_of(*guid_view), pad, padded_guid.get()))
        return decline("padding refused the sizes");
    request.padded_img = padded_img.get();
    request.padded_guid = padded_guid.get();

    line.at(kLineAllocation);
    BufferView out_view;
    Ref output = new_output(h, w, img_ch, g_state.originals.uint8, out_view);
    if (!output) return decline("numpy.empty gave no writable uint8 array");
    request.out_u8 = static_cast<uint8_t*>(out_view->buf);

    const fused::Result result = run_kernel(request, threads, line);
    if (result.status == fused::Status::invalid_argument) return decline("the kernel refused the request");
    if (result.nan_in_output) return decline("a result is NaN: numpy's cast decides its value and warning");
    if (events_reportable(result.fp_flags)) return decline("a floating-point event numpy would report");
    return output;
}

Ref fused_output(PyObject* self, PyObject* img, PyObject* guidance, PyObject* padded_img,
                 PyObject* padded_guidance, StatementLine& line) {
    // Judged now: the padding statements may have run a caller's code (a replaced cv2).
    if (const char* why = reads_observable(self)) return decline(why);
    if (const char* why = numpy_replaced(false)) return decline(why);

    // Inputs: plain arrays (a subclass could override shape or the arithmetic), the image with
    // three axes, the guidance gray (two axes) or with at least two channels (one channel would be
    // padded to two axes by OpenCV and fail to broadcast in the statements).
    if (!is_exact_ndarray(img) || !is_exact_ndarray(guidance) || !is_exact_ndarray(padded_img) ||
        !is_exact_ndarray(padded_guidance))
        return decline("an input or a padded array is not a plain numpy array");
    BufferView img_view, guid_view;
    if (!img_view.acquire(img, PyBUF_STRIDES) || !guid_view.acquire(guidance, PyBUF_STRIDES))
        return decline("an input exports no buffer");
    if (img_view->ndim != 3) return decline("the image does not have three axes");
    const Py_ssize_t h = img_view->shape[0], w = img_view->shape[1], img_ch = img_view->shape[2];
    // numpy sums a single pixel's offsets pairwise rather than in order.
    if (h < 1 || w < 1 || img_ch < 1 || h * w < 2) return decline("the image has fewer than two pixels");
    Py_ssize_t guid_ch;
    if (guid_view->ndim == 2) {
        guid_ch = 1;
    } else if (guid_view->ndim == 3 && guid_view->shape[2] >= 2) {
        guid_ch = guid_view->shape[2];
    } else {
        return decline("the guidance is neither gray (two axes) nor has two or more channels");
    }
    if (guid_view->shape[0] != h || guid_view->shape[1] != w) return decline("guidance and image differ in size");
    // Channel counts travel to the kernel as int; OpenCV allows at most 512 anyway.
    if (img_ch > 4096 || guid_ch > 4096) return decline("too many channels");

    Weights weights;
    if (const char* why = read_weights(self, guid_ch, weights)) return decline(why);
    const Py_ssize_t pad = weights.pad;

    // Judged before a buffer view adds its own reference.
    const bool img_owned = owned_by_call(padded_img), guid_owned = owned_by_call(padded_guidance);
    // The padded copies: int32, C order, the input's shape with pad_w more on every side.
    BufferView pimg, pguid;
    const int contiguous = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (!pimg.acquire(padded_img, contiguous) || !pguid.acquire(padded_guidance, contiguous))
        return decline("a padded array is not C-contiguous");
    if (!has_format(*pimg, "i", 4) || !has_format(*pguid, "i", 4)) return decline("a padded array is not int32");
    if (pimg->ndim != 3 || pimg->shape[0] != h + 2 * pad || pimg->shape[1] != w + 2 * pad ||
        pimg->shape[2] != img_ch)
        return decline("the padded image has an unexpected shape");
    if (pguid->ndim != guid_view->ndim || pguid->shape[0] != h + 2 * pad ||
        pguid->shape[1] != w + 2 * pad || (pguid->ndim == 3 && pguid->shape[2] != guid_ch))
        return decline("the padded guidance has an unexpected shape");

    fused::Request request = kernel_request(fused::Element::int32, h, w, pad, img_ch, guid_ch, weights);

    // One estimate before anything more is allocated: the float64 output, copies of padded arrays
    // the call does not own, each worker's scratch.
    const uint64_t fixed = static_cast<uint64_t>(h) * w * img_ch * 8 + (img_owned ? 0 : static_cast<uint64_t>(pimg->len)) +
                           (guid_owned ? 0 : static_cast<uint64_t>(pguid->len));
    const uint64_t per_thread = fused::bytes_per_thread(request);
    if (per_thread == 0) return decline("the kernel refuses these sizes");
    line.at(kLineAllocation);
    const Budget budget = affordable_threads(fixed, per_thread);
    const int threads = budget.threads;
    if (threads == 0) refuse_window(fixed + per_thread, weights.wndw_size);

    // The kernel reads only memory nothing else can reach while it runs without the GIL: padded
    // arrays a replaced copyMakeBorder or astype handed out are copied first.
    std::vector<int32_t> img_copy, guid_copy;
    const int32_t* img_data = owned_int32(img_owned, *pimg, img_copy);
    const int32_t* guid_data = owned_int32(guid_owned, *pguid, guid_copy);
    if (img_data == nullptr || guid_data == nullptr) return decline("not enough memory to copy the padded arrays");
    // A guidance whose differences could leave the table (the statements raise IndexError there)
    // is refused by the kernel itself, which measures the span of the data it reads.
    request.padded_img = img_data;
    request.padded_guid = guid_data;

    BufferView out_view;
    Ref output = new_output(h, w, img_ch, nullptr, out_view);
    if (!output) return decline("numpy.empty gave no writable float64 array");
    request.out = static_cast<double*>(out_view->buf);

    const fused::Result result = run_kernel(request, threads, line);
    if (result.status == fused::Status::invalid_argument) return decline("the kernel refused the request");
    if (events_reportable(result.fp_flags)) return decline("a floating-point event numpy would report");
    return output;
}

}  // namespace sovelk
