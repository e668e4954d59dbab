// The fused kernel's attempts at joint_bilateral_filter: the 8-bit attempt (the whole call, the
// border included), the int32 attempt (from the padded arrays to the weighted sums), and the
// explain log that says which one ran.
#include "bridge/fast_paths.hpp"

#include "bridge/kernel_call.hpp"
#include "glue/buffer_format.hpp"
#include "glue/memory_rule.hpp"
#include "module/lines.hpp"
#include "module/parked_exception.hpp"
#include "module/state.hpp"
#include "module/statements.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

namespace sovelk {

namespace {

namespace line_of = lines::joint_bilateral_filter;

// The str of one of the few dozen fixed texts of the explain log, made once per process.
PyObject* text_object(const char* text) {
    static std::unordered_map<const char*, PyObject*> made;  // never freed, like interned names
    const auto found = made.find(text);
    if (found != made.end()) return found->second;
    PyObject* object = PyUnicode_InternFromString(text);
    if (object == nullptr) return nullptr;
    try {
        made.emplace(text, object);
    } catch (const std::bad_alloc&) {  // this once, nothing is logged
        Py_DECREF(object);
        return nullptr;
    }
    return object;
}

// The whole call for 8-bit image and guidance whose padding waited: the kernel reads the caller's
// arrays where they are, mirroring the border as OpenCV pads it, and writes the 8-bit result.
Verdict uint8_path(const FilterCall& call, Py_ssize_t pad, Ref& result) {
    PyObject* const img = call.img;
    PyObject* const guidance = call.guidance;
    StatementLine& line = call.line;
    if (Verdict v = numpy_as_imported(true); !v.ok()) return v;
    Inputs inputs;
    if (Verdict v = check_inputs(img, guidance, InputRule::uint8_unpadded, inputs); !v.ok()) return v;
    // OpenCV keeps rows, columns and a row's values in ints: beyond them it refuses the padding,
    // and the statements raise its error.
    const Py_ssize_t ph = inputs.h + 2 * pad, pw = inputs.w + 2 * pad;
    if (pad > INT_MAX / 4 || ph > INT_MAX || pw > INT_MAX / std::max(inputs.img_ch, inputs.guid_ch))
        return Verdict::declined("the padded size is beyond OpenCV's int geometry");
    Weights weights;
    if (Verdict v = read_weights(call.self, call.range_kernel, inputs.guid_ch, weights); !v.ok()) return v;
    if (weights.pad != pad) return Verdict::declined("pad_w changed");
    // 8-bit guidance differences reach 255: a shorter table needs the statements' IndexError.
    if (weights.table.size() < 256) return Verdict::declined("the range table has fewer than 256 entries");

    BufferView img_view, guid_view;
    if (!img_view.acquire(img, PyBUF_RECORDS_RO) || !guid_view.acquire(guidance, PyBUF_RECORDS_RO))
        return Verdict::declined("image or guidance exports no buffer");
    fused::FilterRequest request = kernel_request(inputs, pad, weights);
    request.image = strided_of(*img_view, fused::Sample::uint8);
    request.guidance = strided_of(*guid_view, fused::Sample::uint8);
    request.rounding = fused::Rounding::truncate;  // numpy's clip and astype(np.uint8)
    // One estimate of everything the call allocates, before any of it is: the output and the
    // workers' scratch. Where it cannot fit, the padding statements run and each step judges its
    // own allocation.
    const uint64_t out_bytes = static_cast<uint64_t>(inputs.h) * inputs.w * inputs.img_ch;
    uint8_t placeholder = 0;
    request.out = request.image;  // the output's shape and type, to size the workers' rows
    request.out.data = &placeholder;
    const uint64_t per_thread = fused::bytes_per_thread(request);
    if (per_thread == 0) return Verdict::declined("the kernel refuses these sizes");
    const Budget budget = affordable_threads(out_bytes, per_thread);
    if (budget.threads == 0) return Verdict::declined("not enough memory");

    line.at(line_of::kTmpImg);
    BufferView out_view;
    Ref output = new_output(inputs, true, out_view);
    if (!output) return Verdict::declined("numpy.empty gave no writable uint8 array");
    request.out = strided_of(*out_view, fused::Sample::uint8);

    const fused::Result run = run_kernel(request, budget.threads, line);
    if (run.status != fused::Status::ok) return Verdict::declined("the kernel refused the request");
    if (run.nan_in_output) return Verdict::declined("a result is NaN: numpy's cast decides its value and warning");
    if (Verdict v = events_unobservable(run); !v.ok()) return v;
    result = std::move(output);
    return Verdict::eligible();
}

// The float64 weighted sums from the padded int32 arrays.
Verdict int32_path(const FilterCall& call, PyObject* padded_img, PyObject* padded_guidance, bool owned,
                   Ref& output) {
    StatementLine& line = call.line;
    // Judged now: the padding statements may have run a caller's code (a replaced cv2).
    if (Verdict v = reads_unobservable(call.self); !v.ok()) return v;
    if (Verdict v = numpy_as_imported(false); !v.ok()) return v;
    Inputs inputs;
    if (Verdict v = check_inputs(call.img, call.guidance, InputRule::any_padded, inputs); !v.ok()) return v;
    Weights weights;
    if (Verdict v = read_weights(call.self, call.range_kernel, inputs.guid_ch, weights); !v.ok()) return v;
    const Py_ssize_t pad = weights.pad;

    // The padded copies: int32, C order, the input's shape with pad_w more on every side.
    BufferView pimg, pguid;
    const int contiguous = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (!pimg.acquire(padded_img, contiguous) || !pguid.acquire(padded_guidance, contiguous))
        return Verdict::declined("a padded array is not C-contiguous");
    if (native_sample(*pimg) != fused::Sample::int32 || native_sample(*pguid) != fused::Sample::int32)
        return Verdict::declined("a padded array is not int32");
    const Py_ssize_t ph = inputs.h + 2 * pad, pw = inputs.w + 2 * pad;
    if (pimg->ndim != 3 || pimg->shape[0] != ph || pimg->shape[1] != pw || pimg->shape[2] != inputs.img_ch)
        return Verdict::declined("the padded image has an unexpected shape");
    const int guid_ndim = inputs.guid_ch == 1 ? 2 : 3;
    if (pguid->ndim != guid_ndim || pguid->shape[0] != ph || pguid->shape[1] != pw ||
        (guid_ndim == 3 && pguid->shape[2] != inputs.guid_ch))
        return Verdict::declined("the padded guidance has an unexpected shape");

    // The padded arrays are an image whose output block starts pad rows and columns in: every
    // window lies inside it, and no border is ever reached.
    fused::FilterRequest request = kernel_request(inputs, pad, weights);
    request.image = strided_of(*pimg, fused::Sample::int32);
    request.guidance = strided_of(*pguid, fused::Sample::int32);
    request.row0 = request.col0 = pad;
    request.out = request.image;  // the output's shape and layout, to size the workers' rows
    request.out.sample = fused::Sample::float64;
    request.out.h = inputs.h;
    request.out.w = inputs.w;
    request.out.stride_c = 8;
    request.out.stride_w = 8 * inputs.img_ch;
    request.out.stride_h = 8 * inputs.img_ch * inputs.w;
    // The kernel reads without the GIL only memory nothing else can reach: padded arrays that
    // did not come from numpy's own astype are copied first, with the GIL held.
    const uint64_t copies = owned ? 0 : static_cast<uint64_t>(pimg->len) + static_cast<uint64_t>(pguid->len);
    const uint64_t fixed = static_cast<uint64_t>(inputs.h) * inputs.w * inputs.img_ch * 8 + copies;
    const uint64_t per_thread = fused::bytes_per_thread(request);
    if (per_thread == 0) return Verdict::declined("the kernel refuses these sizes");
    line.at(line_of::kTmpImg);
    char purpose[120];
    std::snprintf(purpose, sizeof purpose, "of working memory for a window of %zd x %zd pixels", weights.wndw_size,
                  weights.wndw_size);
    const Budget budget = threads_or_memory_error(fixed, per_thread, "joint_bilateral_filter", purpose);
    std::vector<int32_t> copy;
    if (!owned) {
        try {
            copy.resize(static_cast<size_t>((pimg->len + pguid->len) / 4));
        } catch (const std::bad_alloc&) {
            return Verdict::declined("not enough memory to copy the padded arrays");
        }
        std::memcpy(copy.data(), pimg->buf, static_cast<size_t>(pimg->len));
        std::memcpy(copy.data() + pimg->len / 4, pguid->buf, static_cast<size_t>(pguid->len));
        request.image.data = copy.data();  // C order, as the arrays copied
        request.guidance.data = copy.data() + pimg->len / 4;
    }
    // A guidance whose differences could leave the table (the statements raise IndexError there)
    // is refused by the kernel itself, which measures the span of the values the windows read.

    BufferView out_view;
    Ref sums = new_output(inputs, false, out_view);
    if (!sums) return Verdict::declined("numpy.empty gave no writable float64 array");
    request.out = strided_of(*out_view, fused::Sample::float64);

    const fused::Result run = run_kernel(request, budget.threads, line);
    if (run.status != fused::Status::ok) return Verdict::declined("the kernel refused the request");
    if (Verdict v = events_unobservable(run); !v.ok()) return v;
    output = std::move(sums);
    return Verdict::eligible();
}

}  // namespace

Verdict padding_may_wait(PyObject* self) {
    if (Verdict v = reads_unobservable(self); !v.ok()) return v;
    return cv2_reads_unobservable();
}

Attempt try_uint8_kernel(const FilterCall& call, Py_ssize_t pad) {
    Attempt attempt;
    attempt.verdict = uint8_path(call, pad, attempt.value);
    return attempt;
}

Attempt try_int32_kernel(const FilterCall& call, PyObject* padded_img, PyObject* padded_guidance, bool owned) {
    Attempt attempt;
    attempt.verdict = int32_path(call, padded_img, padded_guidance, owned, attempt.value);
    return attempt;
}

// INFO when the statements run (with the reason), DEBUG for the kernel's paths. The diagnostic
// never changes the call's outcome: any error of the logging is dropped, a pending exception kept.
void explain_path(PathTaken path, const char* reason) {
    if (g_state.explain_logger == nullptr) return;
    const char* text = path == PathTaken::statements     ? "joint_bilateral_filter: statements ran; fast path declined: %s"
                       : path == PathTaken::int32_kernel ? "joint_bilateral_filter: int32 fast path ran; 8-bit path declined: %s"
                                                         : "joint_bilateral_filter: 8-bit fast path ran (%s)";
    ParkedException parked;
    PyObject* format = text_object(text);
    PyObject* why = text_object(reason);
    PyObject* level = path == PathTaken::statements ? g_const.info : g_const.debug;
    if (format != nullptr && why != nullptr) {
        Ref logged = Ref::steal(PyObject_CallMethodObjArgs(g_state.explain_logger, level, format, why, nullptr));
    }
}

}  // namespace sovelk
