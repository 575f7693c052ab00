// Fan-out and join: child tasks run concurrently on a ThreadPool and wait() returns when all are done.
//
// wait() runs children that no worker has started yet on the calling thread, so joining from inside a
// pool task (or nesting groups) cannot deadlock the pool; it then sleeps only for children that are
// already running. The first exception thrown by a child is rethrown from wait(); children not yet
// started at that point are skipped. spawn() and wait() may be called from any thread, but a group is
// joined by one thread at a time. Destruction waits as wait() does and logs an exception nobody
// collected. Children must not block on the thread that is waiting for them.
#pragma once

#include "core/concurrency/thread_pool.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace lumidex {

class TaskGroup {
public:
    explicit TaskGroup(ThreadPool& pool = ThreadPool::shared());
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    void spawn(std::function<void()> task);
    void wait();

    struct State;

private:
    ThreadPool& pool_;
    std::shared_ptr<State> state_;
};

// Calls fn(0) ... fn(count - 1) concurrently and returns the results in index order; fn must be safe to
// call from several threads at once. Rethrows the first exception a call threw.
template <class F>
auto parallelMap(std::size_t count, F fn, ThreadPool& pool = ThreadPool::shared())
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
    using R = std::invoke_result_t<F&, std::size_t>;
    std::vector<std::optional<R>> slots(count);
    {
        TaskGroup group(pool);
        for (std::size_t i = 0; i < count; ++i) group.spawn([&slots, &fn, i] { slots[i].emplace(fn(i)); });
        group.wait();
    }
    std::vector<R> results;
    results.reserve(count);
    for (auto& slot : slots) results.push_back(std::move(*slot));
    return results;
}

}  // namespace lumidex
