#include "core/memory_budget.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <sstream>

#include "core/process_limits.hpp"

namespace sovelk {

namespace {

// The "Key:   1234 kB" fields of /proc/meminfo that matter here, in bytes.
struct MemInfo {
    std::optional<uint64_t> available, swap_free;
};

std::optional<uint64_t> kib_to_bytes(const std::string& number) {
    const auto kib = limits::parse_u64(number);
    if (!kib || *kib > UINT64_MAX / 1024) return std::nullopt;
    return *kib * 1024;
}

// The value of the line "<key> <number> kB", or empty where there is no such line.
std::optional<uint64_t> meminfo_field(const std::string& text, const char* key) {
    size_t at = 0;
    const std::string wanted = std::string(key) + ":";
    while ((at = text.find(wanted, at)) != std::string::npos && at != 0 && text[at - 1] != '\n') ++at;
    if (at == std::string::npos) return std::nullopt;
    const size_t end = text.find('\n', at);
    std::string value = text.substr(at + wanted.size(), end == std::string::npos ? std::string::npos : end - at - wanted.size());
    const size_t unit = value.rfind(" kB");
    if (unit == std::string::npos || unit + 3 != value.size()) return std::nullopt;
    value.resize(unit);
    return kib_to_bytes(value);
}

MemInfo read_meminfo(const std::string& root) {
    MemInfo info;
    if (const auto text = limits::read_text(root, "/proc/meminfo")) {
        info.available = meminfo_field(*text, "MemAvailable");
        info.swap_free = meminfo_field(*text, "SwapFree");
    }
    return info;
}

using limits::keep_least;

// Lock-free, so that a child forked while another thread held it can still reserve.
std::atomic<uint64_t> g_reserved{0};
// Counts the forks this process descends from. A forked child has none of the calls that were
// reserving in its parent (only the forking thread goes on, its own call included): it starts
// with nothing reserved, and a reservation made before the fork no longer counts there.
std::atomic<unsigned> g_generation{0};

void start_over_after_fork() {
    g_generation.fetch_add(1);
    g_reserved.store(0);
}

// Registered once, before the first reservation.
void watch_forks() {
    static const bool registered = [] { return pthread_atfork(nullptr, nullptr, start_over_after_fork) == 0; }();
    (void)registered;
}

}  // namespace

namespace detail {

std::optional<uint64_t> available_memory_bytes(const std::string& root, std::optional<uint64_t> address_space_limit) {
    std::optional<uint64_t> best;

    const MemInfo meminfo = read_meminfo(root);
    if (meminfo.available) {
        const uint64_t swap = meminfo.swap_free.value_or(0);
        keep_least(best, *meminfo.available + std::min(swap, UINT64_MAX - *meminfo.available));
    }

    // The OOM killer acts on the tightest of the process's groups, not on the machine.
    keep_least(best, limits::cgroup_memory_left(root));

    if (address_space_limit) {
        // The first field of statm is the process's virtual size in pages. Without it the room
        // left cannot be told, and the limit itself is the most that could be left.
        std::optional<uint64_t> vm_bytes;
        if (const auto statm = limits::read_text(root, "/proc/self/statm")) {
            std::istringstream words(*statm);
            std::string first;
            const long page = sysconf(_SC_PAGESIZE);
            if (words >> first && page > 0)
                if (const auto pages = limits::parse_u64(first); pages && *pages <= UINT64_MAX / static_cast<uint64_t>(page))
                    vm_bytes = *pages * static_cast<uint64_t>(page);
        }
        const uint64_t used = vm_bytes.value_or(0);
        keep_least(best, *address_space_limit > used ? *address_space_limit - used : 0);
    }
    return best;
}

}  // namespace detail

std::optional<uint64_t> available_memory_bytes() {
    std::optional<uint64_t> address_space;
    struct rlimit as_limit;
    if (getrlimit(RLIMIT_AS, &as_limit) == 0 && as_limit.rlim_cur != RLIM_INFINITY)
        address_space = static_cast<uint64_t>(as_limit.rlim_cur);
    try {
        return detail::available_memory_bytes("", address_space);
    } catch (const std::bad_alloc&) {  // not even the few bytes of a reading: nothing is left
        return 0;
    }
}

std::optional<uint64_t> unreserved_memory_bytes() {
    const auto available = available_memory_bytes();
    if (!available) return std::nullopt;
    const uint64_t reserved = g_reserved.load();
    return *available > reserved ? *available - reserved : 0;
}

MemoryReservation MemoryReservation::reserve(uint64_t bytes) {
    // Two calls reserving at once judge against the same reading, but each counts the other's
    // reservation: the compare-exchange fails if another one landed in between.
    watch_forks();
    const auto available = available_memory_bytes();
    MemoryReservation r;
    r.generation_ = g_generation.load();
    uint64_t reserved = g_reserved.load();
    do {
        const uint64_t left = !available ? UINT64_MAX : *available > reserved ? *available - reserved : 0;
        if (bytes > left || bytes > UINT64_MAX - reserved) return r;
    } while (!g_reserved.compare_exchange_weak(reserved, reserved + bytes));
    r.bytes_ = bytes;
    r.granted_ = true;
    return r;
}

MemoryReservation& MemoryReservation::operator=(MemoryReservation&& other) noexcept {
    if (this != &other) {
        release();
        bytes_ = other.bytes_;
        granted_ = other.granted_;
        generation_ = other.generation_;
        other.bytes_ = 0;
        other.granted_ = false;
    }
    return *this;
}

void MemoryReservation::release() {
    if (!granted_) return;
    if (generation_ == g_generation.load()) g_reserved.fetch_sub(bytes_);
    bytes_ = 0;
    granted_ = false;
}

}  // namespace sovelk
