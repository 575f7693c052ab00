// Internal to src/core/concurrency: the Asio side of ThreadPool. Pulls in Asio, so include it only
// from the few concurrency sources that need the pool's executor.
#pragma once

#include "core/concurrency/thread_pool.h"

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include <atomic>
#include <mutex>

namespace lumidex {

struct ThreadPool::Impl {
    explicit Impl(std::size_t threads) : pool(threads), threadCount(threads) {}

    asio::thread_pool pool;
    std::size_t threadCount;
    std::mutex shutdownMutex;
    bool shutDown = false;
};

namespace concurrency_detail {

// Runs one unit of pool work: marks the thread as a worker of `owner` and logs instead of letting an
// exception escape into Asio (which would end the process).
void runPoolTask(const ThreadPool& owner, const std::function<void()>& task) noexcept;

}  // namespace concurrency_detail
}  // namespace lumidex
