// One set of worker threads for the whole process, shared by every call. Plain C++, no Python.
//
// Starting threads per call multiplies them: sixteen callers each starting one thread per core
// would run dozens of threads on a few cores, each with its own scratch memory. The pool never
// runs more threads than the process may use, and a call that finds them busy with another call
// waits its turn in order of arrival, so a single call still gets every core.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace sovelk::pool {

// Threads the pool may run: the CPUs of the process's affinity mask, lowered to the CPU quota of
// its cgroups where one is set, and to SOVELK_NUM_THREADS where that holds a positive integer
// (read once, at the first use). At least 1. Never throws.
int max_threads();

// One piece of parallel work: body(slot) runs on up to `slots` pool threads at once, each slot
// number 0 .. slots - 1 on one thread at most; the calling thread only waits. The body must
// return once no work is left that no other running body already holds: the first body to return
// closes the batch to newcomers. Destroying the batch closes it and waits for the running bodies,
// so whatever tells the bodies to stop must be set before the destructor runs.
class Batch {
public:
    Batch(int slots, std::function<void(int)> body);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // False when the pool has no thread and none could be started: nothing will run the body,
    // the caller does the work itself.
    bool has_threads() const { return has_threads_; }
    // Waits up to `timeout`; true once the batch is closed and no body is running, or at once
    // when the batch is orphaned.
    bool wait_for(std::chrono::milliseconds timeout);
    // No thread joins from now on; bodies already running go on.
    void close();
    // The process forked (a signal handler may call fork() while the caller waits) since the
    // batch began: this process has none of the threads that ran its bodies, which may have
    // stopped anywhere. Nothing of the batch runs here any more; the caller must redo its work
    // without trusting what the bodies left.
    bool orphaned() const;

    struct State;

private:
    State* state_;
    bool has_threads_ = false;
};

namespace detail {
// The thread count that a SOVELK_NUM_THREADS text asks for; empty when it asks for none that the
// pool can use (anything but a positive decimal integer, blanks around it allowed).
std::optional<long> requested_threads(const char* env_value);
// max_threads() worked out from these readings: `affinity` CPUs, an optional cgroup quota
// (0: none) and the text of SOVELK_NUM_THREADS (null: unset).
int thread_limit(int affinity, int cgroup_quota, const char* env_value);
}  // namespace detail

}  // namespace sovelk::pool
