// How much memory this process can still get, so that a computation too big for the machine is
// refused with MemoryError instead of getting the process killed by the OOM killer. Plain C++.
#pragma once
#include <cstdint>
#include <optional>

namespace sovelk {

// The least of: available RAM plus free swap, the cgroup's remaining allowance and the address
// space left under RLIMIT_AS. Empty where none of these can be read.
std::optional<uint64_t> available_memory_bytes();

}  // namespace sovelk
