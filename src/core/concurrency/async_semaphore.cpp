#include "core/concurrency/async_semaphore.h"

namespace lumidex {

AsyncSemaphore::Permit& AsyncSemaphore::Permit::operator=(Permit&& other) noexcept {
    if (this != &other) {
        release();
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

void AsyncSemaphore::Permit::release() {
    if (auto* owner = std::exchange(owner_, nullptr)) owner->signal();
}

AsyncSemaphore::AsyncSemaphore(std::size_t permits, ThreadPool& pool) : pool_(pool), value_(permits) {}

void AsyncSemaphore::wait(std::function<void()> continuation) {
    if (!continuation) return;  // nobody to hand a permit to
    {
        std::lock_guard lock(mutex_);
        if (value_ == 0) {
            waiters_.push_back(Waiter{std::move(continuation), nullptr});
            return;
        }
        --value_;
    }
    continuation();
}

void AsyncSemaphore::acquire() {
    std::unique_lock lock(mutex_);
    if (value_ > 0) {
        --value_;
        return;
    }
    Blocked self;
    waiters_.push_back(Waiter{nullptr, &self});
    granted_.wait(lock, [&self] { return self.granted; });
}

bool AsyncSemaphore::tryAcquire() {
    std::lock_guard lock(mutex_);
    if (value_ == 0) return false;
    --value_;
    return true;
}

void AsyncSemaphore::signal() {
    std::function<void()> resume;
    {
        std::lock_guard lock(mutex_);
        if (waiters_.empty()) {
            ++value_;
            return;
        }
        Waiter first = std::move(waiters_.front());
        waiters_.pop_front();
        if (first.blocked != nullptr) {
            first.blocked->granted = true;
            granted_.notify_all();
            return;
        }
        resume = std::move(first.continuation);
    }
    pool_.post(std::move(resume));
}

AsyncSemaphore::Permit AsyncSemaphore::acquirePermit() {
    acquire();
    return Permit(this);
}

AsyncSemaphore::Permit AsyncSemaphore::tryAcquirePermit() { return tryAcquire() ? Permit(this) : Permit(); }

std::size_t AsyncSemaphore::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

std::size_t AsyncSemaphore::waiterCount() const {
    std::lock_guard lock(mutex_);
    return waiters_.size();
}

}  // namespace lumidex
