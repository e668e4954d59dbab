#include "core/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace sovelk {

namespace {

// The "Key:   1234 kB" fields of /proc/meminfo that matter here, in bytes.
struct MemInfo {
    std::optional<uint64_t> available, swap_free;
};

MemInfo read_meminfo() {
    MemInfo info;
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    std::string unit;
    while (in >> key >> kib) {
        std::getline(in, unit);
        if (key == "MemAvailable:") info.available = kib * 1024;
        if (key == "SwapFree:") info.swap_free = kib * 1024;
    }
    return info;
}

std::optional<uint64_t> read_number(const char* path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max") return std::nullopt;
    try {
        return std::stoull(word);
    } catch (...) {
        return std::nullopt;
    }
}

void keep_least(std::optional<uint64_t>& best, std::optional<uint64_t> candidate) {
    if (candidate && (!best || *candidate < *best)) best = candidate;
}

}  // namespace

std::optional<uint64_t> available_memory_bytes() {
    std::optional<uint64_t> best;

    const MemInfo meminfo = read_meminfo();
    if (meminfo.available) keep_least(best, *meminfo.available + meminfo.swap_free.value_or(0));

    // cgroup v2: the OOM killer acts on the group's limit, not the machine's.
    auto limit = read_number("/sys/fs/cgroup/memory.max");
    auto used = read_number("/sys/fs/cgroup/memory.current");
    if (limit && used) keep_least(best, *limit > *used ? *limit - *used : 0);

    struct rlimit as_limit;
    if (getrlimit(RLIMIT_AS, &as_limit) == 0 && as_limit.rlim_cur != RLIM_INFINITY) {
        uint64_t vm_pages = 0;
        std::ifstream statm("/proc/self/statm");
        statm >> vm_pages;
        const uint64_t vm_bytes = vm_pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        keep_least(best, as_limit.rlim_cur > vm_bytes ? as_limit.rlim_cur - vm_bytes : 0);
    }
    return best;
}

}  // namespace sovelk
