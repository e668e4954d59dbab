#include "bridge/kernel_call.hpp"

#include "glue/buffer_format.hpp"
#include "glue/kernel_run.hpp"
#include "module/lines.hpp"
#include "module/state.hpp"
#include "module/statements.hpp"

namespace sovelk {

namespace {

namespace line_of = lines::joint_bilateral_filter;

}  // namespace

fused::FilterRequest kernel_request(const Inputs& inputs, Py_ssize_t pad, const Weights& weights) {
    fused::FilterRequest request;
    request.border = fused::Border::reflect;
    request.pad = pad;
    request.rows = inputs.h;
    request.cols = inputs.w;
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
    if (native_sample(*view) != (uint8 ? fused::Sample::uint8 : fused::Sample::float64)) return Ref();
    return output;
}

fused::Result run_kernel(const fused::FilterRequest& request, int threads, StatementLine& line) {
    const fused::Result result = filter_without_gil(request, threads);
    // Where the statements would report it: a Ctrl-C or another exception a signal handler raised
    // at the weighted sum, memory the kernel could not get at the window stacks.
    if (result.status == fused::Status::cancelled) line.at(line_of::kOutput);
    if (result.status == fused::Status::out_of_memory) line.at(line_of::kTmpImg);
    raise_if_stopped(result, "the filter's");
    return result;
}

}  // namespace sovelk
