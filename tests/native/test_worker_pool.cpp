// The process-wide worker pool under the fused kernel: many callers at once never start more
// threads than the pool may run and get the results of a lone call; a call waiting behind
// another can still be cancelled; a forked child filters.

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/fused_kernel.hpp"
#include "core/worker_pool.hpp"

namespace fk = sovelk::fused;
namespace fkd = sovelk::fused::detail;

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

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int live_threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// Random padded inputs with a Gaussian kernel and table; the padding need not mirror for these
// tests, only be the same for every run.
struct Case {
    ptrdiff_t h, w, pad;
    int guid_ch;
    std::vector<int32_t> img, guid;
    std::vector<double> kernel, table;

    Case(ptrdiff_t h_, ptrdiff_t w_, ptrdiff_t pad_, int guid_ch_, unsigned seed) : h(h_), w(w_), pad(pad_), guid_ch(guid_ch_) {
        std::mt19937 rng(seed);
        const size_t plane = static_cast<size_t>((h + 2 * pad) * (w + 2 * pad));
        for (size_t i = 0; i < plane * 3; ++i) img.push_back(static_cast<int32_t>(rng() % 256));
        for (size_t i = 0; i < plane * static_cast<size_t>(guid_ch); ++i) guid.push_back(static_cast<int32_t>(rng() % 256));
        const ptrdiff_t side = 2 * pad + 1;
        for (ptrdiff_t i = 0; i < side * side; ++i) {
            const double dy = double(i / side - pad), dx = double(i % side - pad);
            kernel.push_back(std::exp(-(dx * dx + dy * dy) / (2.0 * (pad / 3.0 + 1) * (pad / 3.0 + 1))));
        }
        for (int d = 0; d < 256; ++d) table.push_back(std::exp(-double(d) * d / (2 * 25.5 * 25.5)));
    }
    fk::Request request(double* out) const {
        fk::Request q;
        q.padded_img = img.data();
        q.padded_guid = guid.data();
        q.h = h;
        q.w = w;
        q.pad = pad;
        q.img_ch = 3;
        q.guid_ch = guid_ch;
        q.kernel_s = kernel.data();
        q.table = table.data();
        q.table_len = 256;
        q.out = out;
        return q;
    }
    std::vector<double> alone() const {  // on the calling thread: no pool involved
        std::vector<double> out(static_cast<size_t>(h * w * 3));
        fkd::Options o;
        o.on_calling_thread = true;
        fkd::run_with(request(out.data()), 1, [] { return false; }, o);
        return out;
    }
};

const auto kNever = [] { return false; };

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Sixteen callers at once, each asking for more threads than there are cores.
void test_many_callers() {
    const int callers = 16;
    std::vector<Case> cases;
    std::vector<std::vector<double>> expected;
    for (int k = 0; k < callers; ++k) {
        cases.emplace_back(37 + k, 29, 1 + k % 3, k % 2 ? 1 : 3, 100u + k);
        expected.push_back(cases.back().alone());
    }
    const int before = live_threads();
    std::atomic<int> most_seen{0};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done.load()) {
            int n = live_threads();
            int seen = most_seen.load();
            while (n > seen && !most_seen.compare_exchange_weak(seen, n)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<int> right(callers, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < callers; ++k)
        threads.emplace_back([&, k] {
            int ok = 1;
            for (int rep = 0; rep < 5; ++rep) {
                std::vector<double> out(expected[static_cast<size_t>(k)].size());
                const fk::Result r = fk::run(cases[static_cast<size_t>(k)].request(out.data()), 64, kNever);
                ok &= r.status == fk::Status::ok && same_bits(out, expected[static_cast<size_t>(k)]);
            }
            right[static_cast<size_t>(k)] = ok;
        });
    for (auto& t : threads) t.join();
    done.store(true);
    watcher.join();
    bool all_right = true;
    for (int ok : right) all_right = all_right && ok;
    check(all_right, "16 callers at once: every result as the lone call's");
    const int pool = sovelk::pool::max_threads();
    check(sovelk::pool::started_threads() <= pool, "the pool never starts more than max_threads");
    // Threads that were there before, the watcher, the callers and the pool: nothing else.
    check(most_seen.load() <= before + 1 + callers + pool,
          "live threads at most callers + pool (" + std::to_string(most_seen.load()) + " seen, " +
              std::to_string(before + 1 + callers) + " + " + std::to_string(pool) + " allowed)");
}

// A call queued behind a long one is cancelled (or its poll() throws) without waiting its turn.
void test_cancel_while_queued() {
    const Case big(4000, 600, 12, 3, 3);  // seconds of work on all threads
    std::vector<double> big_out(static_cast<size_t>(big.h * big.w * 3));
    std::atomic<bool> stop_big{false}, big_done{false};
    fk::Result big_result;
    std::thread holder([&] {
        // Stops by itself after a while, so that a queued call that cannot be cancelled fails
        // the test instead of waiting forever.
        const auto started = std::chrono::steady_clock::now();
        big_result = fk::run(big.request(big_out.data()), 64,
                             [&] { return stop_big.load() || seconds_since(started) > 10; });
        big_done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it take every thread

    const Case small(50, 50, 1, 1, 4);
    std::vector<double> out(static_cast<size_t>(small.h * small.w * 3));
    auto t0 = std::chrono::steady_clock::now();
    const fk::Result r = fk::run(small.request(out.data()), 2, [] { return true; });
    const double cancel_seconds = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    bool caught = false;
    try {
        fk::run(small.request(out.data()), 2, []() -> bool { throw std::runtime_error("interrupted"); });
    } catch (const std::runtime_error&) {
        caught = true;
    }
    const double throw_seconds = seconds_since(t0);
    const bool big_still_running = !big_done.load();
    stop_big.store(true);
    holder.join();
    check(r.status == fk::Status::cancelled && cancel_seconds < 0.5,
          "queued call cancelled at its first poll (" + std::to_string(cancel_seconds) + " s)");
    check(caught && throw_seconds < 0.5, "queued call's poll() exception propagates (" + std::to_string(throw_seconds) + " s)");
    check(big_still_running && big_result.status == fk::Status::cancelled,
          "the long call was running meanwhile and then cancelled");
}

// A child forked after the pool started (a multiprocessing worker) has no pool threads: it must
// start its own instead of waiting for threads that did not survive the fork.
void test_fork() {
    const Case c(80, 30, 2, 1, 9);
    const std::vector<double> expected = c.alone();
    std::vector<double> out(expected.size());
    fk::run(c.request(out.data()), 2, kNever);  // the pool is running
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a deadlocked child dies instead of hanging the test
        std::vector<double> mine(expected.size());
        const fk::Result r = fk::run(c.request(mine.data()), 2, kNever);
        _exit(r.status == fk::Status::ok && same_bits(mine, expected) ? 0 : 1);
    }
    int status = 0;
    const bool waited = child > 0 && waitpid(child, &status, 0) == child;
    check(waited && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a forked child filters with a pool of its own (status " + std::to_string(status) + ")");
}

}  // namespace

int main() {
    std::printf("pool: at most %d threads\n", sovelk::pool::max_threads());
    test_many_callers();
    test_cancel_while_queued();
    test_fork();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
