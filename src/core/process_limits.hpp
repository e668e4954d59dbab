// What the process may use of the machine: the limits of its own control groups (cgroup v1 and
// v2), read from /proc and /sys/fs/cgroup. Plain C++, no Python.
//
// Every reading takes the root of the file system tree as a parameter, so that tests can point it
// at a fake /proc and /sys/fs/cgroup built in a temporary folder. A file that cannot be read or
// parsed is never taken for "unlimited" or "free": it simply sets no limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sovelk::limits {

// The whole content of root + path, or empty when it cannot be read.
std::optional<std::string> read_text(const std::string& root, const std::string& path);

// A non-negative decimal integer alone on the first line (surrounding blanks allowed); empty for
// anything else, "max" included.
std::optional<uint64_t> parse_u64(const std::string& text);

// `best` lowered to `candidate` where that is known and less: the tightest of several limits.
void keep_least(std::optional<uint64_t>& best, std::optional<uint64_t> candidate);

// The folders of this process's cgroup that hold `controller` ("memory", "cpu"), from its own
// group up to the root of that hierarchy, as paths below `root`. cgroup v2 (the unified hierarchy)
// is used when it has the controller, v1 otherwise; `v2` tells which. Found through
// /proc/self/cgroup and /proc/self/mountinfo (the default mount points when mountinfo cannot be
// read). A limit set on any of these folders applies to the process, so callers take the tightest.
struct CgroupChain {
    bool v2 = false;
    std::vector<std::string> folders;  // own group first
};
CgroupChain cgroup_chain(const std::string& root, const std::string& controller);

// Memory the process's cgroups still allow: the least over its chain of limit minus usage
// (memory.max - memory.current for v2, memory.limit_in_bytes - memory.usage_in_bytes for v1).
// Empty where no level sets a readable limit.
std::optional<uint64_t> cgroup_memory_left(const std::string& root);

// CPUs' worth of time the cgroup quota allows (cpu.max for v2, cpu.cfs_quota_us over
// cpu.cfs_period_us for v1), rounded up and at least 1; the tightest over the chain. Empty where
// no quota is set.
std::optional<int> cgroup_cpu_limit(const std::string& root);

// Writes one line to stderr: the environment variable `name` holds `value`, which is ignored, and
// `accepted` says what it takes. Callers read each setting once per process, so a wrong setting
// is named once, not at every call; without it a typo would silently leave every core or the
// widest vectors in use. Odd bytes of `value` are escaped so that the line stays one line.
void warn_ignored_setting(const char* name, const char* value, const char* accepted) noexcept;

}  // namespace sovelk::limits
