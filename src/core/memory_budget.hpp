// How much memory this process can still get, so that a computation too big for the machine is
// refused with MemoryError instead of getting the process killed by the OOM killer. Plain C++.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace sovelk {

// The least of: available RAM plus free swap (MemAvailable + SwapFree), what the process's own
// cgroups still allow at every level of their hierarchy, and the address space left under
// RLIMIT_AS. Empty where none of these can be read. Never throws.
std::optional<uint64_t> available_memory_bytes();

// available_memory_bytes() less what concurrent calls have reserved (MemoryReservation) and not
// yet released. Calls running at once each see the memory the others are about to take; a
// forked child starts with nothing reserved. Never throws.
std::optional<uint64_t> unreserved_memory_bytes();

// Bytes set aside by a call before it allocates them, returned when it ends. Moving transfers the
// reservation; the destructor releases it.
class MemoryReservation {
public:
    MemoryReservation() = default;
    // Reserves `bytes` if unreserved_memory_bytes() covers them (or cannot be read, in which case
    // nothing can be judged and the reservation is granted); an empty reservation otherwise.
    static MemoryReservation reserve(uint64_t bytes);
    MemoryReservation(MemoryReservation&& other) noexcept
        : bytes_(other.bytes_), granted_(other.granted_), generation_(other.generation_) {
        other.bytes_ = 0;
        other.granted_ = false;
    }
    MemoryReservation& operator=(MemoryReservation&& other) noexcept;
    MemoryReservation(const MemoryReservation&) = delete;
    MemoryReservation& operator=(const MemoryReservation&) = delete;
    ~MemoryReservation() { release(); }

    explicit operator bool() const { return granted_; }
    uint64_t bytes() const { return bytes_; }
    void release();

private:
    uint64_t bytes_ = 0;
    bool granted_ = false;
    unsigned generation_ = 0;  // of forks: a reservation from before a fork is not the child's
};

namespace detail {

// available_memory_bytes() read below `root` (a fake /proc and /sys/fs/cgroup in tests) with the
// given address-space limit (empty: none) instead of the process's own.
std::optional<uint64_t> available_memory_bytes(const std::string& root, std::optional<uint64_t> address_space_limit);

}  // namespace detail
}  // namespace sovelk
