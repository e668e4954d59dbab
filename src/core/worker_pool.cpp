// The pool keeps its threads for the life of the process (detached, never joined: a thread
// blocked in a wait at exit holds nothing that needs freeing). Batches queue in order of arrival;
// a free thread joins the oldest batch that still has a slot, so one call is served by every
// thread before the next call's turn, and results never depend on which threads ran them.
#include "core/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <exception>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#endif

#include "core/process_limits.hpp"

namespace sovelk::pool {

struct Pool;

struct Batch::State {
    std::function<void(int)> body;
    int slots = 0;
    int joined = 0;   // slots handed out
    int running = 0;  // bodies not yet returned
    bool closed = false;
    std::condition_variable idle;  // closed and nothing running
    Pool* pool = nullptr;
    unsigned generation = 0;  // fork generation when the batch began
};

namespace {

int affinity_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n >= 1) return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n >= 1 ? static_cast<int>(n) : 1;
}

}  // namespace

struct Pool {
    explicit Pool(int limit) : limit(limit) {}

    // Under `mutex`: start threads until there are `wanted` (at most the limit). A thread that
    // cannot be started (no memory, a thread limit) leaves the pool smaller; that is all.
    void grow(int wanted) {
        wanted = std::min(wanted, limit);
#if defined(__linux__)
        // The threads start with every signal blocked, so that a Ctrl-C always reaches a thread
        // of the interpreter (which interrupts its sleeps and reads), never a worker of ours.
        sigset_t all, caller;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &caller);
#endif
        while (threads < wanted) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (const std::exception&) {  // std::system_error, std::bad_alloc
                break;
            }
            ++threads;
        }
#if defined(__linux__)
        pthread_sigmask(SIG_SETMASK, &caller, nullptr);
#endif
    }

    // Under `mutex`: no newcomer for this batch; idle waiters are told when nothing runs.
    void close(Batch::State* s) {
        if (!s->closed) {
            s->closed = true;
            const auto it = std::find(queue.begin(), queue.end(), s);
            if (it != queue.end()) queue.erase(it);
        }
        if (s->running == 0) s->idle.notify_all();
    }

    void serve() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            work_ready.wait(lock, [this] { return !queue.empty(); });
            Batch::State* s = queue.front();
            const int slot = s->joined++;
            if (s->joined == s->slots) queue.pop_front();
            ++s->running;
            lock.unlock();
            try {
                s->body(slot);
            } catch (const std::exception&) {  // bodies do not throw; a pool thread survives one that does
            }
            lock.lock();
            --s->running;
            close(s);
        }
    }

    const int limit;
    std::mutex mutex;
    std::condition_variable work_ready;
    std::deque<Batch::State*> queue;
    int threads = 0;
};

namespace {

std::atomic<Pool*> g_pool{nullptr};
// Counts the forks this process descends from since the pool began: a batch of an earlier
// generation is orphaned.
std::atomic<unsigned> g_generation{0};

// A forked child has only the thread that called fork: the pool's threads are gone, and its
// mutex may have been held by one of them. The child starts over with a pool of its own; the old
// one, and every batch queued on it, is left untouched (unlocking or destroying it could only do
// harm).
void start_over_after_fork() {
    g_generation.fetch_add(1);
    Pool* old = g_pool.load();
    g_pool.store(old ? new (std::nothrow) Pool(old->limit) : nullptr);
}

Pool* current_pool() {
    static const bool created = [] {
        g_pool.store(new (std::nothrow) Pool(max_threads()));
#if defined(__linux__)
        pthread_atfork(nullptr, nullptr, start_over_after_fork);
#endif
        return true;
    }();
    (void)created;
    return g_pool.load();
}

}  // namespace

namespace detail {

std::optional<long> requested_threads(const char* env_value) {
    // A positive decimal integer, as OMP_NUM_THREADS and OPENBLAS_NUM_THREADS take; anything
    // else is ignored rather than guessed at.
    char* end = nullptr;
    const long requested = std::strtol(env_value, &end, 10);
    while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n')) ++end;
    if (end != env_value && end != nullptr && *end == '\0' && requested >= 1) return requested;
    return std::nullopt;
}

int thread_limit(int affinity, int cgroup_quota, const char* env_value) {
    int limit = std::max(affinity, 1);
    if (cgroup_quota > 0) limit = std::min(limit, cgroup_quota);
    if (env_value != nullptr)
        if (const std::optional<long> requested = requested_threads(env_value))
            limit = static_cast<int>(std::min<long>(limit, *requested));
    return limit;
}

}  // namespace detail

int max_threads() {
    static const int limit = [] {
        int quota = 0;
        try {
            quota = limits::cgroup_cpu_limit("").value_or(0);
        } catch (const std::bad_alloc&) {  // too little memory to read it: no quota known
        }
        const char* setting = std::getenv("SOVELK_NUM_THREADS");
        // Empty counts as unset, as `SOVELK_NUM_THREADS= command` means in a shell.
        if (setting != nullptr && *setting != '\0' && !detail::requested_threads(setting))
            limits::warn_ignored_setting("SOVELK_NUM_THREADS", setting, "a positive whole number of threads");
        return detail::thread_limit(affinity_cpus(), quota, setting);
    }();
    return limit;
}

Batch::Batch(int slots, std::function<void(int)> body) : state_(new State) {
    state_->body = std::move(body);
    state_->slots = slots;
    state_->closed = true;
    Pool* pool = current_pool();
    if (pool == nullptr || slots < 1) return;
    state_->generation = g_generation.load();
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->grow(slots);
    if (pool->threads == 0) return;
    state_->pool = pool;
    state_->closed = false;
    pool->queue.push_back(state_);
    pool->work_ready.notify_all();
    has_threads_ = true;
}

Batch::~Batch() {
    if (orphaned()) return;  // its state may still be queued on the old pool: left as it is
    if (Pool* pool = state_->pool) {
        std::unique_lock<std::mutex> lock(pool->mutex);
        pool->close(state_);
        state_->idle.wait(lock, [this] { return state_->running == 0; });
    }
    delete state_;
}

bool Batch::orphaned() const { return state_->pool != nullptr && state_->generation != g_generation.load(); }

bool Batch::wait_for(std::chrono::milliseconds timeout) {
    Pool* pool = state_->pool;
    if (pool == nullptr || orphaned()) return true;
    std::unique_lock<std::mutex> lock(pool->mutex);
    return state_->idle.wait_for(lock, timeout, [this] { return state_->closed && state_->running == 0; });
}

void Batch::close() {
    Pool* pool = state_->pool;
    if (pool == nullptr || orphaned()) return;
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->close(state_);
}

}  // namespace sovelk::pool
