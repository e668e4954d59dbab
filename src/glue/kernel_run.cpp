#include "glue/kernel_run.hpp"

#include "glue/gil.hpp"

#include <cstdio>

namespace sovelk {

namespace {

// run(poll) without the GIL, poll() running the signal handlers with it.
template <class Run>
fused::Result without_gil(Run run) {
    GilReleased released;
    const fused::Result result =
        run([&released] { return released.with_gil([] { return PyErr_CheckSignals() != 0; }); });
    released.reacquire();
    return result;
}

}  // namespace

fused::Result filter_without_gil(const fused::FilterRequest& request, int threads) {
    return without_gil([&](const std::function<bool()>& poll) { return fused::filter(request, threads, poll); });
}

fused::Result upsample_without_gil(const fused::UpsampleRequest& request, int threads) {
    return without_gil([&](const std::function<bool()>& poll) { return fused::upsample(request, threads, poll); });
}

void raise_if_stopped(const fused::Result& result, const char* whose) {
    if (result.status == fused::Status::cancelled) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw PyErrorSet{};
    }
    if (result.status == fused::Status::out_of_memory) {
        char text[200];
        std::snprintf(text, sizeof text, "not enough memory for %s working buffers", whose);
        PyErr_SetString(PyExc_MemoryError, text);
        throw PyErrorSet{};
    }
}

}  // namespace sovelk
