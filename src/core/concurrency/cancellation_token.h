// Cooperative cancellation: a cheap handle whose copies share one flag. Work tests it between units and
// stops by throwing MyCancellationError. Thread-safe; cancelling cannot be undone.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>

namespace lumidex {

class MyCancellationError : public std::runtime_error {
public:
    MyCancellationError();
};

class CancellationToken {
public:
    CancellationToken();  // a fresh, not cancelled flag

    void cancel() const noexcept { flag_->store(true, std::memory_order_release); }
    bool isCancelled() const noexcept { return flag_->load(std::memory_order_acquire); }
    void throwIfCancelled() const;

private:
    std::shared_ptr<std::atomic<bool>> flag_;
};

}  // namespace lumidex
