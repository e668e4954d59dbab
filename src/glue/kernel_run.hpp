// Running the fused kernel from either extension module: the GIL released while it computes,
// Ctrl-C heard while it runs.
#pragma once
#include <functional>

#include "core/fused_kernel.hpp"
#include "glue/gil.hpp"
#include "glue/pyref.hpp"

namespace sovelk {

// run(poll), a call of the core, without the GIL; poll() takes it back for a moment to run the
// signal handlers, and says whether one raised. The core polls about every 50 ms; when a handler
// raised (KeyboardInterrupt for Ctrl-C) the kernel stops, the exception stays pending and the
// result is Status::cancelled. Called and returning with the GIL held.
template <class Run>
fused::Result without_gil(Run run) {
    GilReleased released;
    const std::function<bool()> poll = [&released] {
        return released.with_gil([] { return PyErr_CheckSignals() != 0; });
    };
    const fused::Result result = run(poll);
    released.reacquire();
    return result;
}

// fused::filter() on up to `threads` workers without the GIL, as without_gil() runs it.
fused::Result filter_without_gil(const fused::FilterRequest& request, int threads);

// For a result of Status::cancelled, the pending exception (KeyboardInterrupt should a handler
// have stopped the kernel without one), and for Status::out_of_memory "not enough memory for
// <whose> working buffers": both thrown as PyErrorSet. Any other status returns.
void raise_if_stopped(const fused::Result& result, const char* whose);

}  // namespace sovelk
