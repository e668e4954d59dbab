#include "bridge/kernel_call.hpp"

#include "module/gil.hpp"
#include "module/lines.hpp"
#include "module/state.hpp"
#include "module/statements.hpp"

#include <cstring>

namespace sovelk {

namespace {

namespace line_of = lines::joint_bilateral_filter;

}  // namespace

fused::Request kernel_request(fused::Element element, const Inputs& inputs, Py_ssize_t pad, const Weights& weights) {
    fused::Request request;
    request.element = element;
    request.h = inputs.h;
    request.w = inputs.w;
    request.pad = pad;
    request.img_ch = static_cast<int>(inputs.img_ch);
    request.guid_ch = static_cast<int>(inputs.guid_ch);
    request.kernel_s = weights.kernel_s.data();
    request.table = weights.table.data();
    request.table_len = static_cast<ptrdiff_t>(weights.table.size());
    return request;
}

Ref new_output(const Inputs& inputs, bool uint8, BufferView& view) {
    Ref shape = require(Py_BuildValue("(nnn)", inputs.h, inputs.w, inputs.img_ch));
    Ref output = uint8 ? call(g_state.originals.empty, {shape.get(), g_state.originals.uint8}, g_const.kw_dtype)
                       : call(g_state.originals.empty, {shape.get()});
    if (!view.acquire(output.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT)) return Ref();
    const char* format = uint8 ? "B" : "d";
    const Py_ssize_t itemsize = uint8 ? 1 : 8;
    if (view->format == nullptr || std::strcmp(view->format, format) != 0 || view->itemsize != itemsize) return Ref();
    return output;
}

fused::Result run_kernel(const fused::Request& request, int threads, StatementLine& line) {
    GilReleased unlocked;
    const fused::Result result = fused::run(request, threads, [&unlocked] {
        return unlocked.with_gil([] { return PyErr_CheckSignals() != 0; });
    });
    unlocked.reacquire();
    switch (result.status) {
        case fused::Status::ok:
        case fused::Status::invalid_argument:
        case fused::Status::non_finite_image:  // not from integer samples; declined like a refusal
        case fused::Status::unusable_guidance:  // likewise: run() takes table guidance only
            return result;
        case fused::Status::cancelled:
            // A signal handler raised (KeyboardInterrupt for Ctrl-C): the kernel stopped for it.
            line.at(line_of::kOutput);
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw PyErrorSet{};
        case fused::Status::out_of_memory:
            break;
    }
    line.at(line_of::kTmpImg);
    PyErr_SetString(PyExc_MemoryError, "not enough memory for the filter's working buffers");
    throw PyErrorSet{};
}

}  // namespace sovelk
