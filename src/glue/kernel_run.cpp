#include "glue/kernel_run.hpp"

#include <cstdio>

namespace sovelk {

fused::Result filter_without_gil(const fused::FilterRequest& request, int threads) {
    return without_gil([&](const std::function<bool()>& poll) { return fused::filter(request, threads, poll); });
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
