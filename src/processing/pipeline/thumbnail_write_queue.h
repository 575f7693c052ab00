// Writes preview PNGs in the background, one after another, on the serial queue "veko.thumbnail-write".
//
// enqueue() hands over a file path and the PNG bytes. At most maxInFlight writes (8 for the shared
// instance) are queued or running; a producer beyond that blocks in enqueue() until one has been
// written, so a fast page loop cannot pile up previews in memory. The writes run on a thread owned by
// the queue, never on the caller's pool, so producers blocked on pool threads cannot starve them.
// Ownership: the queue owns the bytes once enqueued. Thread-safety: every member may be called from any
// thread. Failure: a write that fails is logged by the writer, told to the producer's `written` callback
// and dropped; nothing throws to producers (except std::bad_alloc). Destruction waits for every queued write. The shared instance lives until
// process exit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace lumidex {
class AsyncSemaphore;
class SerialExecutor;
class ThreadPool;
}  // namespace lumidex

namespace lumidex::processing {

class ThumbnailWriteQueue {
public:
    static constexpr std::size_t defaultMaxInFlight = 8;
    // Returns false on failure (and logs it); exceptions it throws are caught and logged by the queue.
    using Writer = std::function<bool(const std::filesystem::path& file, std::string_view png)>;

    static ThumbnailWriteQueue& shared();

    explicit ThumbnailWriteQueue(Writer writer = writePngFile, std::size_t maxInFlight = defaultMaxInFlight);
    ~ThumbnailWriteQueue();
    ThumbnailWriteQueue(const ThumbnailWriteQueue&) = delete;
    ThumbnailWriteQueue& operator=(const ThumbnailWriteQueue&) = delete;

    // Blocks only while maxInFlight writes are outstanding. `written` (optional) is called on the queue's
    // thread once the write has ended, with whether the file is in place.
    void enqueue(std::filesystem::path file, std::string png, std::function<void(bool)> written = {});
    // Returns once no write is queued or running (also those enqueued during the wait).
    void waitUntilIdle();

    std::size_t inFlight() const;          // queued or being written
    std::size_t waitingProducers() const;  // callers blocked in enqueue()
    std::size_t maxInFlight() const { return maxInFlight_; }

    // The default writer: creates the parent folder and replaces the file atomically.
    static bool writePngFile(const std::filesystem::path& file, std::string_view png);

private:
    void finished();

    Writer writer_;
    const std::size_t maxInFlight_;
    std::unique_ptr<ThreadPool> pool_;  // declared first: destroyed after the executor and semaphore
    std::unique_ptr<SerialExecutor> executor_;
    std::unique_ptr<AsyncSemaphore> semaphore_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t inFlight_ = 0;
};

}  // namespace lumidex::processing
