#include "core/concurrency/thread_pool_impl.h"

#include "core/app_log.h"

#include <algorithm>
#include <exception>
#include <string>
#include <thread>

namespace lumidex {
namespace {
// Asio's pool threads only ever run one pool's work, so the mark never needs clearing.
thread_local const ThreadPool* tlWorkerOf = nullptr;
}  // namespace

namespace concurrency_detail {
void runPoolTask(const ThreadPool& owner, const std::function<void()>& task) noexcept {
    tlWorkerOf = &owner;
    try {
        task();
    } catch (const std::exception& e) {
        appLog(std::string("[ThreadPool] task failed: ") + e.what());
    } catch (...) {
        appLog("[ThreadPool] task failed with a non-standard exception");
    }
}
}  // namespace concurrency_detail

ThreadPool::ThreadPool(std::size_t threadCount)
    : impl_(std::make_unique<Impl>(std::max<std::size_t>(threadCount, 1))) {}

ThreadPool::~ThreadPool() { shutdown(); }

ThreadPool& ThreadPool::shared() {
    static ThreadPool pool;
    return pool;
}

std::size_t ThreadPool::defaultThreadCount() {
    return std::max<std::size_t>(std::thread::hardware_concurrency(), 2);
}

void ThreadPool::post(std::function<void()> task) {
    if (!task) return;
    asio::post(impl_->pool, [this, task = std::move(task)] { concurrency_detail::runPoolTask(*this, task); });
}

std::size_t ThreadPool::threadCount() const { return impl_->threadCount; }

bool ThreadPool::isWorkerThread() const { return tlWorkerOf == this; }

void ThreadPool::shutdown() {
    std::lock_guard lock(impl_->shutdownMutex);
    if (impl_->shutDown) return;
    impl_->shutDown = true;
    impl_->pool.stop();
    impl_->pool.join();
}

}  // namespace lumidex
