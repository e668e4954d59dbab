// Running the fused kernel for a call: its request, its output array, and the call itself with
// the GIL released, Ctrl-C heard, and the kernel's status turned into the module's exceptions.
#pragma once
#include "bridge/eligibility.hpp"
#include "core/fused_kernel.hpp"
#include "glue/buffer_view.hpp"
#include "module/traceback.hpp"

namespace sovelk {

// The kernel's request for the sizes and weights of a call, its border the reflection OpenCV's
// BORDER_REFLECT pads with; the arrays and where the output block starts are the caller's to set.
fused::FilterRequest kernel_request(const Inputs& inputs, Py_ssize_t pad, const Weights& weights);

// numpy's own empty((h, w, ch), dtype=uint8), or float64 without `uint8`, viewed writable in
// `view`; a null Ref when numpy gave anything else.
Ref new_output(const Inputs& inputs, bool uint8, BufferView& view);

// fused::filter() without the GIL, on up to `threads` workers, Ctrl-C heard (glue/kernel_run.hpp).
// Returns the kernel's result when it ran (Status::ok) or refused the request (any other status
// but the two below); throws PyErrorSet with `line` set where the statements would report it for
// a Ctrl-C or another exception a signal handler raised (the weighted sum) and for memory the
// kernel could not get (the window stacks).
fused::Result run_kernel(const fused::FilterRequest& request, int threads, StatementLine& line);

}  // namespace sovelk
