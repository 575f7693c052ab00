#include "processing/pipeline/thumbnail_write_queue.h"

#include <exception>
#include <system_error>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/concurrency/async_semaphore.h"
#include "core/concurrency/serial_executor.h"
#include "core/concurrency/thread_pool.h"

namespace lumidex::processing {

ThumbnailWriteQueue& ThumbnailWriteQueue::shared() {
    static ThumbnailWriteQueue queue;
    return queue;
}

ThumbnailWriteQueue::ThumbnailWriteQueue(Writer writer, std::size_t maxInFlight)
    : writer_(std::move(writer)),
      maxInFlight_(maxInFlight == 0 ? 1 : maxInFlight),
      pool_(std::make_unique<ThreadPool>(1)),
      executor_(std::make_unique<SerialExecutor>("veko.thumbnail-write", *pool_)),
      semaphore_(std::make_unique<AsyncSemaphore>(maxInFlight_, *pool_)) {}

ThumbnailWriteQueue::~ThumbnailWriteQueue() {
    waitUntilIdle();
    executor_.reset();
    semaphore_.reset();
    pool_->shutdown();
}

void ThumbnailWriteQueue::enqueue(std::filesystem::path file, std::string png, std::function<void(bool)> written) {
    semaphore_->acquire();
    {
        std::lock_guard lock(mutex_);
        ++inFlight_;
    }
    executor_->post([this, file = std::move(file), png = std::move(png), written = std::move(written)] {
        bool done = false;
        try {
            done = writer_(file, png);
        } catch (const std::exception& e) {
            appLog("Vorschaubild konnte nicht geschrieben werden: " + file.string() + ": " + e.what());
        } catch (...) {
            appLog("Vorschaubild konnte nicht geschrieben werden: " + file.string());
        }
        try {
            if (written) written(done);
        } catch (...) {
            // Never keeps the queue from going idle.
        }
        finished();
    });
}

void ThumbnailWriteQueue::finished() {
    semaphore_->signal();
    std::lock_guard lock(mutex_);
    --inFlight_;
    if (inFlight_ == 0) idle_.notify_all();
}

void ThumbnailWriteQueue::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return inFlight_ == 0; });
}

std::size_t ThumbnailWriteQueue::inFlight() const {
    std::lock_guard lock(mutex_);
    return inFlight_;
}

std::size_t ThumbnailWriteQueue::waitingProducers() const { return semaphore_->waiterCount(); }

bool ThumbnailWriteQueue::writePngFile(const std::filesystem::path& file, std::string_view png) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        appLog("Vorschaubild konnte nicht geschrieben werden: " + file.string() + ": " + ec.message());
        return false;
    }
    if (auto error = writeFileAtomically(file, png, defaultFilePermissions, FileDurability::cache)) {
        appLog("Vorschaubild konnte nicht geschrieben werden: " + error->message());
        return false;
    }
    return true;
}

}  // namespace lumidex::processing
