// Reading what memory and CPU the process may use, against fake /proc and /sys/fs/cgroup trees
// in a temporary folder: nested cgroup v2 groups, v1 beside an empty unified hierarchy, a
// container mount, missing and garbled files, the address-space limit; then the thread limit and
// memory reservations.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/memory_budget.hpp"
#include "core/process_limits.hpp"
#include "core/worker_pool.hpp"
#include "check.hpp"

namespace {

using sovelk::testing::check;

using Files = std::vector<std::pair<std::string, std::string>>;
const uint64_t kPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
constexpr uint64_t kMeminfoBytes = (8000 + 1000) * 1024ull;  // MemAvailable + SwapFree
const std::pair<std::string, std::string> kMeminfo{"/proc/meminfo",
    "MemTotal: 16000 kB\nMemAvailable:    8000 kB\nSwapFree:  1000 kB\n"};
const std::pair<std::string, std::string> kV2Mount{"/proc/self/mountinfo",
    "24 30 0:22 / /sys rw - sysfs sysfs rw\n31 24 0:27 / /sys/fs/cgroup rw shared:9 - cgroup2 cgroup2 rw\n"};
const std::pair<std::string, std::string> kV2Controllers{"/sys/fs/cgroup/cgroup.controllers", "cpuset cpu memory\n"};

struct Scenario {
    const char* name;
    Files files;
    std::optional<uint64_t> memory;  // expected available_memory_bytes
    std::optional<int> cpus;         // expected cgroup_cpu_limit
    std::optional<uint64_t> rlimit = std::nullopt;
};

const Scenario kScenarios[] = {
    {"v2 nested: the tightest level; max, unreadable and garbled levels set nothing",
     {kMeminfo, kV2Mount, kV2Controllers, {"/proc/self/cgroup", "0::/a/b/c\n"},
      {"/sys/fs/cgroup/a/b/c/memory.max", "max\n"}, {"/sys/fs/cgroup/a/b/c/memory.current", "100\n"},
      {"/sys/fs/cgroup/a/b/memory.max", "1000000\n"}, {"/sys/fs/cgroup/a/b/memory.current", "400000\n"},
      {"/sys/fs/cgroup/a/memory.max", "5000000\n"}, {"/sys/fs/cgroup/a/memory.current", "4900000\n"},
      {"/sys/fs/cgroup/memory.max", "12abc\n"}, {"/sys/fs/cgroup/memory.current", "1\n"},
      {"/sys/fs/cgroup/a/b/c/cpu.max", "max 100000\n"}, {"/sys/fs/cgroup/a/b/cpu.max", "250000 100000\n"},
      {"/sys/fs/cgroup/a/cpu.max", "800000 100000\n"}, {"/sys/fs/cgroup/cpu.max", "fast 100000\n"}},
     100000, 3},
    {"v2: a group over its limit leaves nothing",
     {kMeminfo, kV2Mount, kV2Controllers, {"/proc/self/cgroup", "0::/g\n"},
      {"/sys/fs/cgroup/g/memory.max", "1000\n"}, {"/sys/fs/cgroup/g/memory.current", "5000\n"}},
     0, std::nullopt},
    {"v1 beside an empty unified hierarchy, unlimited root, quota -1 at the root",
     {kMeminfo, {"/proc/self/cgroup", "9:name=systemd:/\n4:memory:/jobs/42\n2:cpu,cpuacct:/jobs/42\n0::/\n"},
      {"/proc/self/mountinfo",
       "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
       "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
       "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
      {"/sys/fs/cgroup/unified/cgroup.controllers", "\n"},
      {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
      {"/sys/fs/cgroup/memory/memory.usage_in_bytes", "9000000000\n"},
      {"/sys/fs/cgroup/memory/jobs/42/memory.limit_in_bytes", "3000000\n"},
      {"/sys/fs/cgroup/memory/jobs/42/memory.usage_in_bytes", "1000000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"}, {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/jobs/42/cpu.cfs_quota_us", "50000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/jobs/42/cpu.cfs_period_us", "100000\n"}},
     2000000, 1},
    {"v1 without mountinfo: the usual mount points",
     {kMeminfo, {"/proc/self/cgroup", "4:memory:/j\n"},
      {"/sys/fs/cgroup/memory/j/memory.limit_in_bytes", "3000\n"}, {"/sys/fs/cgroup/memory/j/memory.usage_in_bytes", "1000\n"}},
     2000, std::nullopt},
    {"container: the mount shows the own group as the root of the hierarchy",
     {{"/proc/self/cgroup", "0::/docker/abc/worker\n"},
      {"/proc/self/mountinfo", "40 31 0:38 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
      {"/sys/fs/cgroup/cgroup.controllers", "memory\n"},
      {"/sys/fs/cgroup/memory.max", "500000\n"}, {"/sys/fs/cgroup/memory.current", "200000\n"},
      {"/sys/fs/cgroup/worker/memory.max", "900000\n"}, {"/sys/fs/cgroup/worker/memory.current", "100000\n"}},
     300000, std::nullopt},
    {"nothing readable is no reading, not unlimited", {}, std::nullopt, std::nullopt},
    {"garbled MemAvailable: free swap alone says nothing",
     {{"/proc/meminfo", "MemAvailable:    lots kB\nSwapFree:        1000 kB\n"}}, std::nullopt, std::nullopt},
    {"RLIMIT_AS less the virtual size from statm",
     {kMeminfo, {"/proc/self/statm", "100 50 10 1 0 20 0\n"}}, 900 * kPage, std::nullopt, 1000 * kPage},
    {"RLIMIT_AS already exceeded", {kMeminfo, {"/proc/self/statm", "100 50\n"}}, 0, std::nullopt, 50 * kPage},
    {"a loose RLIMIT_AS", {kMeminfo, {"/proc/self/statm", "100 50\n"}}, kMeminfoBytes, std::nullopt, uint64_t{1} << 62},
    {"unreadable statm: the limit itself is the most left",
     {kMeminfo, {"/proc/self/statm", "junk\n"}}, 1000 * kPage, std::nullopt, 1000 * kPage},
};

std::string show(std::optional<uint64_t> v) { return v ? std::to_string(*v) : "none"; }

void test_scenarios() {
    namespace fs = std::filesystem;
    for (const Scenario& s : kScenarios) {
        char pattern[] = "/tmp/sovelk-limits.XXXXXX";
        const std::string root = mkdtemp(pattern);
        for (const auto& [path, text] : s.files) {
            fs::create_directories(fs::path(root + path).parent_path());
            std::ofstream(root + path) << text;
        }
        const auto memory = sovelk::detail::available_memory_bytes(root, s.rlimit);
        const auto cpus = sovelk::limits::cgroup_cpu_limit(root);
        check(memory == s.memory && cpus == s.cpus, std::string(s.name) + " (memory " + show(memory) +
                                                        ", cpus " + show(cpus ? std::optional<uint64_t>(*cpus) : std::nullopt) + ")");
        fs::remove_all(root);
    }
}

void test_thread_limit() {
    using sovelk::pool::detail::thread_limit;
    check(thread_limit(8, 0, nullptr) == 8 && thread_limit(8, 3, nullptr) == 3 && thread_limit(2, 5, nullptr) == 2,
          "threads: the affinity mask, lowered by a cgroup quota");
    bool ignored = true;
    for (const char* bad : {"", "0", "-3", "abc", "4x", "2.5"}) ignored = ignored && thread_limit(8, 0, bad) == 8;
    check(thread_limit(8, 0, " 2\n") == 2 && thread_limit(8, 0, "64") == 8 && ignored,
          "SOVELK_NUM_THREADS caps and never raises; anything but a positive integer is ignored");
}

void test_reservations() {
    using sovelk::MemoryReservation;
    const auto before = sovelk::unreserved_memory_bytes();
    if (!before) return;
    check(!MemoryReservation::reserve(UINT64_MAX / 2), "a reservation beyond what is available is refused");
    {
        MemoryReservation half = MemoryReservation::reserve(*before / 2);
        const auto during = sovelk::unreserved_memory_bytes();
        check(half && during && *during < *sovelk::available_memory_bytes() - *before / 4,
              "a reservation is deducted from what other calls see");
        check(!MemoryReservation::reserve(*before / 2 + *before / 4), "a second reservation counts the first");
    }
    const auto after = sovelk::unreserved_memory_bytes();
    check(after && *after > *before / 2 + *before / 4, "the reservation's end gives the memory back");
}

}  // namespace

int main() {
    test_scenarios();
    test_thread_limit();
    test_reservations();
    return sovelk::testing::checks_passed();
}
