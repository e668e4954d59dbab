// Reading what memory and CPU the process may use, against fake /proc and /sys/fs/cgroup trees
// built in a temporary folder: nested cgroup v2 groups, v1 hierarchies, a container whose mount
// shows only its own group, missing and garbled files.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/memory_budget.hpp"
#include "core/process_limits.hpp"
#include "core/worker_pool.hpp"

namespace fs = std::filesystem;

namespace {

int g_failed = 0, g_passed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string show(std::optional<uint64_t> v) { return v ? std::to_string(*v) : "none"; }

// A fresh fake root; files are written relative to it.
class Tree {
public:
    Tree() {
        char pattern[] = "/tmp/sovelk-limits.XXXXXX";
        root_ = mkdtemp(pattern);
    }
    ~Tree() { fs::remove_all(root_); }
    void write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root_ + path).parent_path());
        std::ofstream(root_ + path) << text;
    }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

const char* kMeminfo = "MemTotal:       16000000 kB\nMemFree:          100000 kB\n"
                       "MemAvailable:    8000000 kB\nSwapTotal:       2000000 kB\nSwapFree:        1000000 kB\n";

std::optional<uint64_t> available(const Tree& t, std::optional<uint64_t> rlimit = std::nullopt) {
    return sovelk::detail::available_memory_bytes(t.root(), rlimit);
}

void test_parse() {
    using sovelk::limits::parse_u64;
    check(parse_u64("123\n") == 123u && parse_u64("  7 ") == 7u, "plain numbers parse");
    check(parse_u64("18446744073709551615") == UINT64_MAX, "the largest number parses");
    bool all_refused = true;
    for (const char* bad : {"", "\n", "max\n", "-1\n", "12abc", "1 2", "0x10", "18446744073709551616", "5\n6\n"})
        all_refused = all_refused && !parse_u64(bad);
    check(all_refused, "empty, max, negative, garbage, overflowing and multi-line texts are no number");
}

// Nested v2 groups: the tightest level decides, "max" and unreadable levels set nothing.
void test_v2_nested() {
    Tree t;
    t.write("/proc/meminfo", kMeminfo);
    t.write("/proc/self/cgroup", "0::/a/b/c\n");
    t.write("/proc/self/mountinfo",
            "24 30 0:22 / /sys rw - sysfs sysfs rw\n"
            "31 24 0:27 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n");
    t.write("/sys/fs/cgroup/cgroup.controllers", "cpuset cpu io memory pids\n");
    t.write("/sys/fs/cgroup/a/b/c/memory.max", "max\n");
    t.write("/sys/fs/cgroup/a/b/c/memory.current", "100\n");
    t.write("/sys/fs/cgroup/a/b/memory.max", "1000000\n");
    t.write("/sys/fs/cgroup/a/b/memory.current", "400000\n");
    t.write("/sys/fs/cgroup/a/memory.max", "5000000\n");
    t.write("/sys/fs/cgroup/a/memory.current", "4900000\n");  // 100000 left: the tightest
    t.write("/sys/fs/cgroup/a/b/c/cpu.max", "max 100000\n");
    t.write("/sys/fs/cgroup/a/b/cpu.max", "250000 100000\n");  // 2.5 CPUs: 3 threads
    t.write("/sys/fs/cgroup/a/cpu.max", "800000 100000\n");
    check(available(t) == 100000u, "v2: the tightest nested group, got " + show(available(t)));
    check(sovelk::limits::cgroup_cpu_limit(t.root()) == 3, "v2: cpu quota 2.5 CPUs rounds up to 3");

    // A level over its limit leaves nothing; a level whose usage cannot be read sets nothing.
    t.write("/sys/fs/cgroup/a/memory.current", "6000000\n");
    check(available(t) == 0u, "v2: a group over its limit leaves 0, got " + show(available(t)));
    t.write("/sys/fs/cgroup/a/memory.current", "garbage");
    t.write("/sys/fs/cgroup/a/b/memory.current", "");
    check(available(t) == 8000000ull * 1024 + 1000000ull * 1024,
          "v2: unreadable usage is no limit; MemAvailable + SwapFree, got " + show(available(t)));
}

// v1 hierarchies beside an empty unified one (a hybrid system), found through mountinfo.
void test_v1() {
    Tree t;
    t.write("/proc/meminfo", kMeminfo);
    t.write("/proc/self/cgroup", "9:name=systemd:/\n4:memory:/jobs/42\n2:cpu,cpuacct:/jobs/42\n0::/\n");
    t.write("/proc/self/mountinfo",
            "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
            "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
            "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
            "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    t.write("/sys/fs/cgroup/unified/cgroup.controllers", "\n");
    t.write("/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");  // unlimited
    t.write("/sys/fs/cgroup/memory/memory.usage_in_bytes", "9000000000\n");
    t.write("/sys/fs/cgroup/memory/jobs/42/memory.limit_in_bytes", "3000000\n");
    t.write("/sys/fs/cgroup/memory/jobs/42/memory.usage_in_bytes", "1000000\n");
    t.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    t.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    t.write("/sys/fs/cgroup/cpu,cpuacct/jobs/42/cpu.cfs_quota_us", "50000\n");
    t.write("/sys/fs/cgroup/cpu,cpuacct/jobs/42/cpu.cfs_period_us", "100000\n");
    check(available(t) == 2000000u, "v1: limit minus usage of the own group, got " + show(available(t)));
    check(sovelk::limits::cgroup_cpu_limit(t.root()) == 1, "v1: half a CPU of quota gives 1 thread");
    t.write("/sys/fs/cgroup/cpu,cpuacct/jobs/42/cpu.cfs_quota_us", "-1\n");
    check(!sovelk::limits::cgroup_cpu_limit(t.root()), "v1: quota -1 everywhere is no limit");

    // Without mountinfo the usual mount points are tried: /sys/fs/cgroup/memory exists here.
    fs::remove(t.root() + "/proc/self/mountinfo");
    check(available(t) == 2000000u, "v1 without mountinfo, got " + show(available(t)));
}

// A container whose mount shows its own group as the root of the hierarchy.
void test_container_mount() {
    Tree t;
    t.write("/proc/self/cgroup", "0::/docker/abc/worker\n");
    t.write("/proc/self/mountinfo", "40 31 0:38 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n");
    t.write("/sys/fs/cgroup/cgroup.controllers", "memory cpu\n");
    t.write("/sys/fs/cgroup/memory.max", "500000\n");
    t.write("/sys/fs/cgroup/memory.current", "200000\n");
    t.write("/sys/fs/cgroup/worker/memory.max", "900000\n");
    t.write("/sys/fs/cgroup/worker/memory.current", "100000\n");
    check(available(t) == 300000u, "container: own group and the mounted root, got " + show(available(t)));
    // A group outside what is mounted: only the mounted folder is read.
    t.write("/proc/self/cgroup", "0::/elsewhere/x\n");
    check(available(t) == 300000u, "container: a group outside the mount, got " + show(available(t)));
}

// Nothing readable is not "unlimited": it is simply no reading.
void test_missing_and_garbage() {
    Tree empty;
    check(!available(empty), "no files at all: no reading");
    check(!sovelk::limits::cgroup_cpu_limit(empty.root()), "no files: no cpu quota");

    Tree t;
    t.write("/proc/meminfo", "MemAvailable:    lots kB\nSwapFree:        1000 kB\n");
    check(!available(t), "garbled MemAvailable: no reading (swap alone says nothing)");
    t.write("/proc/meminfo", "MemAvailable:    4000 kB\n");
    check(available(t) == 4000u * 1024, "MemAvailable without a SwapFree line");
    t.write("/proc/self/cgroup", "0::/g\n");
    t.write("/sys/fs/cgroup/cgroup.controllers", "memory cpu\n");
    t.write("/sys/fs/cgroup/g/memory.max", "12abc\n");
    t.write("/sys/fs/cgroup/g/memory.current", "1\n");
    t.write("/sys/fs/cgroup/g/cpu.max", "fast 100000\n");
    check(available(t) == 4000u * 1024, "garbled memory.max sets no limit");
    check(!sovelk::limits::cgroup_cpu_limit(t.root()), "garbled cpu.max sets no quota");

    // The address-space limit less the process's virtual size from statm.
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    t.write("/proc/self/statm", "100 50 10 1 0 20 0\n");
    check(available(t, 1000 * page) == 900 * page, "RLIMIT_AS minus the virtual size");
    check(available(t, 50 * page) == 0u, "RLIMIT_AS already exceeded leaves 0");
    check(available(t, uint64_t{1} << 62) == 4000u * 1024, "a loose RLIMIT_AS does not raise the reading");
    t.write("/proc/self/statm", "junk\n");
    check(available(t, 1000 * page) == 1000 * page, "unreadable statm: the limit itself is the most left");
}

void test_thread_limit() {
    using sovelk::pool::detail::thread_limit;
    check(thread_limit(8, 0, nullptr) == 8 && thread_limit(8, 3, nullptr) == 3 && thread_limit(2, 5, nullptr) == 2,
          "threads: affinity, lowered by the cgroup quota only");
    check(thread_limit(8, 0, "2") == 2 && thread_limit(8, 3, "2") == 2 && thread_limit(8, 0, "64") == 8 &&
              thread_limit(8, 0, " 4\n") == 4,
          "SOVELK_NUM_THREADS caps, never raises");
    bool ignored = true;
    for (const char* bad : {"", "0", "-3", "abc", "4x", "2.5"}) ignored = ignored && thread_limit(8, 0, bad) == 8;
    check(ignored, "SOVELK_NUM_THREADS that is no positive integer is ignored");
    check(sovelk::pool::max_threads() >= 1, "max_threads is at least 1");
}

void test_reservations() {
    using sovelk::MemoryReservation;
    const auto before = sovelk::unreserved_memory_bytes();
    if (!before) {
        std::printf("skipped: no memory reading on this machine\n");
        return;
    }
    MemoryReservation too_much = MemoryReservation::reserve(UINT64_MAX / 2);
    check(!too_much && too_much.bytes() == 0, "a reservation beyond what is available is refused");
    {
        MemoryReservation half = MemoryReservation::reserve(*before / 2);
        check(static_cast<bool>(half), "half of what is available can be reserved");
        const auto during = sovelk::unreserved_memory_bytes();
        check(during && *during < *sovelk::available_memory_bytes() - *before / 4,
              "a reservation is deducted from what others see");
        MemoryReservation moved = std::move(half);
        check(!half && moved.bytes() == *before / 2, "moving hands the reservation over");
        MemoryReservation again = MemoryReservation::reserve(*before / 2 + *before / 4);
        check(!again, "a second reservation counts the first one");
    }
    const auto after = sovelk::unreserved_memory_bytes();
    check(after && *after > *before / 2 + *before / 4, "releasing gives the memory back");
}

}  // namespace

int main() {
    test_parse();
    test_v2_nested();
    test_v1();
    test_container_mount();
    test_missing_and_garbage();
    test_thread_limit();
    test_reservations();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
