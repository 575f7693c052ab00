// Condition waits with generous deadlines for the asynchronous queue tests (no timing assertions).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "support/eventually.h"

namespace lumidex::processing::testing {

using lumidex::testing::eventually;

// A gate that blocked callers wait at until the test opens it.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

}  // namespace lumidex::processing::testing
