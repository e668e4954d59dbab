// Running the fused kernel from either extension module: the GIL released while it computes,
// Ctrl-C heard while it runs.
#pragma once
#include "core/fused_kernel.hpp"
#include "core/upsample.hpp"
#include "glue/pyref.hpp"

namespace sovelk {

// fused::filter() on up to `threads` workers without the GIL. About every
// 50 ms the waiting thread takes the GIL back for a moment to run the signal handlers; when one
// raised (KeyboardInterrupt for Ctrl-C) the kernel stops, the exception stays pending and the
// result is Status::cancelled. Called and returning with the GIL held.
fused::Result filter_without_gil(const fused::FilterRequest& request, int threads);
// The same for fused::upsample().
fused::Result upsample_without_gil(const fused::UpsampleRequest& request, int threads);

// For a result of Status::cancelled, the pending exception (KeyboardInterrupt should a handler
// have stopped the kernel without one), and for Status::out_of_memory "not enough memory for
// <whose> working buffers": both thrown as PyErrorSet. Any other status returns.
void raise_if_stopped(const fused::Result& result, const char* whose);

}  // namespace sovelk
