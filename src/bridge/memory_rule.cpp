#include "bridge/memory_rule.hpp"

#include "core/fused_kernel.hpp"
#include "module/buffer_view.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sovelk {

void require_memory(double bytes, const char* what) {
    const auto available = unreserved_memory_bytes();
    if (!available || bytes <= static_cast<double>(*available)) return;
    constexpr double kGiB = 1073741824.0;
    char text[400];
    std::snprintf(text, sizeof text, "%s needs about %.1f GiB, more than the %.1f GiB this process can get", what,
                  bytes / kGiB, static_cast<double>(*available) / kGiB);
    PyErr_SetString(PyExc_MemoryError, text);
    throw PyErrorSet{};
}

double broadcast_elements(PyObject* a, PyObject* b) {
    BufferView va, vb;
    if (!va.acquire_array_dims(a) || !vb.acquire_array_dims(b)) return 0;
    const int nd = std::max(va->ndim, vb->ndim);
    double elements = 1;
    for (int i = 1; i <= nd; ++i) {
        const Py_ssize_t da = i <= va->ndim ? va->shape[va->ndim - i] : 1;
        const Py_ssize_t db = i <= vb->ndim ? vb->shape[vb->ndim - i] : 1;
        if (da != db && da != 1 && db != 1) return 0;
        elements *= static_cast<double>(da == 1 ? db : da);
    }
    return elements;
}

double result_itemsize(PyObject* a, PyObject* b) {
    BufferView va, vb;
    if (!va.acquire_array_dims(a, PyBUF_RECORDS_RO) || !vb.acquire_array_dims(b, PyBUF_RECORDS_RO)) return 8;
    const bool same = va->format != nullptr && vb->format != nullptr && std::strcmp(va->format, vb->format) == 0;
    return same ? static_cast<double>(va->itemsize) : 8;
}

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

}  // namespace sovelk
