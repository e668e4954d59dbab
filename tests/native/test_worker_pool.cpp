// A call waiting for the worker pool behind a long call can still be cancelled, or have its
// poll() throw, at once: it must not wait for its turn first. (Many callers at once and a forked
// child are tested from Python, in tests/hardening/test_threads.py.)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/fused_kernel.hpp"
#include "padded_request.hpp"

namespace fk = sovelk::fused;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Constant inputs: the time a call takes does not depend on the values.
struct Case {
    ptrdiff_t h, w, pad;
    std::vector<int32_t> img;
    std::vector<double> kernel, table, out;
    Case(ptrdiff_t h_, ptrdiff_t w_, ptrdiff_t pad_)
        : h(h_), w(w_), pad(pad_), img(static_cast<size_t>((h + 2 * pad) * (w + 2 * pad) * 3), 7),
          kernel(static_cast<size_t>((2 * pad + 1) * (2 * pad + 1)), 0.5), table(256, 0.25),
          out(static_cast<size_t>(h * w * 3)) {}
    fk::FilterRequest request() {
        fk::testing::Padded q;
        q.img = q.guid = img.data();
        q.h = h;
        q.w = w;
        q.pad = pad;
        q.img_ch = q.guid_ch = 3;
        q.kernel_s = kernel.data();
        q.table = table.data();
        q.table_len = 256;
        return q.request(out.data());
    }
};

}  // namespace

int main() {
    Case big(4000, 600, 12), small(50, 50, 1);  // seconds of work on every thread; almost none
    std::atomic<bool> stop_big{false}, big_done{false}, big_polled{false};
    std::thread holder([&] {
        // Ends by itself after a while, so that a queued call that cannot be cancelled fails the
        // test instead of waiting forever.
        const auto started = std::chrono::steady_clock::now();
        fk::filter(big.request(), 64, [&] {
            big_polled.store(true);
            return stop_big.load() || seconds_since(started) > 60;
        });
        big_done.store(true);
    });
    // The long call polls only once its batch waits on the pool: from then on every pool thread
    // goes to it before any later batch, however slowly the threads start (under a sanitizer).
    while (!big_polled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    auto t0 = std::chrono::steady_clock::now();
    const fk::Status cancelled = fk::filter(small.request(), 2, [] { return true; }).status;
    const double cancel_seconds = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    bool caught = false;
    try {
        fk::filter(small.request(), 2, []() -> bool { throw std::runtime_error("interrupted"); });
    } catch (const std::runtime_error&) {
        caught = true;
    }
    const double throw_seconds = seconds_since(t0);
    const bool big_was_running = !big_done.load();
    stop_big.store(true);
    holder.join();

    const bool ok = big_was_running && cancelled == fk::Status::cancelled && cancel_seconds < 0.5 && caught &&
                    throw_seconds < 0.5;
    std::printf("%s: queued call cancelled after %.3f s, its poll() exception out after %.3f s, the long "
                "call %s\n", ok ? "ok" : "FAILED", cancel_seconds, throw_seconds,
                big_was_running ? "still running meanwhile" : "already over (test inconclusive)");
    return ok ? 0 : 1;
}
