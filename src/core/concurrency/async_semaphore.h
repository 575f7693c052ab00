// Counting semaphore whose waiters are served strictly first in, first out, whether they wait
// asynchronously or block.
//
// wait(continuation): when a permit is free the continuation runs at once, inline on the caller's
// thread (its exceptions reach the caller); otherwise it is queued, and the signal() that hands it a
// permit posts it to the pool, so releasing never runs waiter code on the releaser's stack. The
// continuation owns the permit and must signal() (or adoptPermit()) when done.
// acquire() blocks the calling thread in the same queue. Blocking on a pool thread is only safe when
// the permit holders never need a free pool thread to release; prefer wait() there.
// Thread-safe. Must outlive its blocked waiters; queued continuations are dropped with it.
#pragma once

#include "core/concurrency/thread_pool.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace lumidex {

class AsyncSemaphore {
public:
    // Releases its permit when destroyed, unless released or moved from.
    class Permit {
    public:
        Permit() = default;
        Permit(Permit&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        Permit& operator=(Permit&& other) noexcept;
        ~Permit() { release(); }
        void release();
        explicit operator bool() const { return owner_ != nullptr; }

    private:
        friend class AsyncSemaphore;
        explicit Permit(AsyncSemaphore* owner) : owner_(owner) {}
        AsyncSemaphore* owner_ = nullptr;
    };

    explicit AsyncSemaphore(std::size_t permits, ThreadPool& pool = ThreadPool::shared());
    AsyncSemaphore(const AsyncSemaphore&) = delete;
    AsyncSemaphore& operator=(const AsyncSemaphore&) = delete;

    void wait(std::function<void()> continuation);
    void acquire();
    // Takes a permit only when one is free right now (free permits imply nobody is queued).
    bool tryAcquire();
    // Hands the permit to the first waiter, or returns it to the free count.
    void signal();

    Permit acquirePermit();
    Permit tryAcquirePermit();  // empty when no permit was free
    // Wraps a permit already held, e.g. the one granted to a wait() continuation.
    Permit adoptPermit() { return Permit(this); }

    std::size_t value() const;  // free permits
    std::size_t waiterCount() const;

private:
    struct Blocked {
        bool granted = false;
    };
    struct Waiter {
        std::function<void()> continuation;  // empty for a blocked thread
        Blocked* blocked = nullptr;
    };

    ThreadPool& pool_;
    mutable std::mutex mutex_;
    std::condition_variable granted_;
    std::size_t value_;
    std::deque<Waiter> waiters_;
};

}  // namespace lumidex
