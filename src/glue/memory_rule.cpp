#include "glue/memory_rule.hpp"

#include "core/fused_kernel.hpp"

#include <algorithm>
#include <cstdio>

namespace sovelk {

void require_memory(double bytes, const char* who, const char* purpose) {
    const auto available = unreserved_memory_bytes();
    if (!available || bytes <= static_cast<double>(*available)) return;
    constexpr double kGiB = 1073741824.0;
    // Windows beyond any machine give sizes of thirty digits: those read better in powers of ten.
    const double needed = bytes / kGiB;
    char text[400];
    std::snprintf(text, sizeof text,
                  needed < 1e6 ? "%s needs about %.1f GiB%s%s, more than the %.1f GiB this process can get"
                               : "%s needs about %.2g GiB%s%s, more than the %.1f GiB this process can get",
                  who, needed, purpose ? " " : "", purpose ? purpose : "", static_cast<double>(*available) / kGiB);
    PyErr_SetString(PyExc_MemoryError, text);
    throw PyErrorSet{};
}

Budget affordable_threads(uint64_t fixed, uint64_t per_thread) {
    Budget budget;
    const int threads = fused::default_thread_count();
    if (fixed + per_thread * static_cast<uint64_t>(threads) < kUncheckedBytes) {
        budget.threads = threads;
        return budget;
    }
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

Budget threads_or_memory_error(uint64_t fixed, uint64_t per_thread, const char* who, const char* purpose) {
    Budget budget = affordable_threads(fixed, per_thread);
    if (budget.threads > 0) return budget;
    require_memory(static_cast<double>(fixed) + static_cast<double>(per_thread), who, purpose);
    budget.threads = 1;
    return budget;
}

}  // namespace sovelk
