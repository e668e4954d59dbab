// The one rule by which every step refuses work that the process cannot get the memory for:
// MemoryError before anything is allocated, instead of numpy's lazily committed pages letting the
// allocation succeed and the OOM killer end the process while they are filled. Both extension
// modules use it.
#pragma once
#include "core/memory_budget.hpp"
#include "glue/pyref.hpp"

#include <cstdint>

namespace sovelk {

// Raises MemoryError (PyErrorSet) when `bytes` more do not fit in what the process can still get
// after what calls running at once have reserved: "<who> needs about N GiB[ <purpose>], more
// than the M GiB this process can get". Returns when they fit or nothing can be judged. `bytes`
// is a double so that estimates past 2^64 still compare.
void require_memory(double bytes, const char* who, const char* purpose = nullptr);

// Worker threads for a call that allocates `fixed` bytes besides each worker's `per_thread`: no
// more than half of what the process can get allows, the memory reserved for the call until the
// Budget goes. threads is 0 when not even one worker fits. A call that needs less than
// kUncheckedBytes on every thread the pool has is not weighed: reading the process's limits
// costs more than filtering a small image, and the interpreter makes allocations of that size
// unchecked all the time.
struct Budget {
    int threads = 0;
    MemoryReservation reservation;
};
inline constexpr uint64_t kUncheckedBytes = uint64_t{16} << 20;
Budget affordable_threads(uint64_t fixed, uint64_t per_thread);

// affordable_threads(), or MemoryError (PyErrorSet) from require_memory(fixed + per_thread, who,
// purpose) when not even one worker fits. Should that much fit after all (a call running at once
// has just ended), one worker, with nothing reserved.
Budget threads_or_memory_error(uint64_t fixed, uint64_t per_thread, const char* who, const char* purpose);

}  // namespace sovelk
