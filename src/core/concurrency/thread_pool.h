// The process's worker threads: every fan-out, serial executor and timer runs its work here.
//
// Thread-safety: all members may be called from any thread. post() never blocks and never runs the task
// inline. A task that throws is caught and logged; the worker carries on with the next task.
// Lifetime: destruction (or shutdown()) lets running tasks finish, discards queued tasks and pending
// timers, and joins the threads. It must not happen on one of the pool's own threads, and serial
// executors, timers and task groups bound to a pool must not outlive it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace lumidex {

class ThreadPool {
public:
    explicit ThreadPool(std::size_t threadCount = defaultThreadCount());
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The one pool the application fans out on; joined at normal process exit.
    static ThreadPool& shared();
    // Hardware concurrency, but at least 2 so a blocked task never stalls the whole pool.
    static std::size_t defaultThreadCount();

    void post(std::function<void()> task);
    std::size_t threadCount() const;
    // True when the calling thread is one of this pool's workers.
    bool isWorkerThread() const;
    // Stops the pool and joins its threads; idempotent. Tasks posted afterwards are discarded.
    void shutdown();

    struct Impl;  // Asio state, visible only to the concurrency sources

private:
    friend class Timer;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumidex
