// A labelled serial queue on a ThreadPool: the executor an actor keeps its state on.
//
// Tasks run first in, first out, never two at once, on a pool thread (or on a thread blocked in sync()).
// post() may be called from any thread. sync() runs a callable on the queue and returns its result
// (rethrowing its exception); it runs inline when already on this queue, and while it waits it executes
// this queue's pending tasks itself whenever no other thread is doing so, so waiting from a pool thread
// cannot starve the pool.
// A task must not sync() onto an actor that is itself waiting for it.
// Destruction discards tasks that have not started (a pending sync() then throws std::future_error)
// and waits for the running one, unless called from inside it. Must not outlive its pool.
#pragma once

#include "core/concurrency/thread_pool.h"

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

namespace lumidex {

class SerialExecutor {
public:
    explicit SerialExecutor(std::string label, ThreadPool& pool = ThreadPool::shared());
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    void post(std::function<void()> task);

    // Queues the callable and returns a future for its result; the future must not be waited on from
    // this executor's own tasks.
    template <class F>
    auto submit(F&& fn) -> std::future<std::invoke_result_t<std::decay_t<F>&>> {
        using R = std::invoke_result_t<std::decay_t<F>&>;
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        auto future = task->get_future();
        post([task] { (*task)(); });
        return future;
    }

    template <class F>
    auto sync(F&& fn) -> std::invoke_result_t<std::decay_t<F>&> {
        if (isCurrent()) return fn();
        auto future = submit(std::forward<F>(fn));
        helpUntilReady([&future] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        return future.get();
    }

    // True while the calling thread is running one of this executor's tasks.
    bool isCurrent() const;
    const std::string& label() const;
    ThreadPool& pool() const;

    struct State;

private:
    void helpUntilReady(const std::function<bool()>& ready);

    std::shared_ptr<State> state_;
};

}  // namespace lumidex
