// A fixed set of recognition engines, each living on a thread of its own, shared by every caller in the
// process: the recognition queue.
//
// Each worker thread creates its engine on its first job and keeps it for later pages and documents
// (creating one costs a few hundred milliseconds and ~25 MB). Jobs are taken first in, first out; as many
// run at once as there are engines, and each engine is single-threaded, so N engines use N cores.
// A failed engine creation fails that job with the creation error and is retried on the next job.
// Thread-safety: all members may be called from any thread. Completions run on the worker thread that
// did the work: keep them short and never wait in them for another recognition.
// Lifetime: shutdown() (or destruction) fails queued jobs with OcrError::Kind::shutDown, waits for the
// running ones and joins the threads; later submissions fail the same way. Must not be destroyed from a
// completion. shared() is created on first use and joined at normal process exit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bitmap.h"
#include "platform/ocr_engine.h"

namespace lumidex::platform {

class OcrEnginePool {
public:
    using EngineFactory = std::function<OcrEngineResult()>;
    using Completion = std::function<void(OcrOutcome)>;

    // engineCount 0: one engine per core.
    explicit OcrEnginePool(std::size_t engineCount = 0, const OcrEngineOptions& options = {});
    // For tests and alternative recognisers; the factory is called on the worker threads.
    OcrEnginePool(std::size_t engineCount, EngineFactory factory);
    ~OcrEnginePool();
    OcrEnginePool(const OcrEnginePool&) = delete;
    OcrEnginePool& operator=(const OcrEnginePool&) = delete;

    static OcrEnginePool& shared();
    static std::size_t defaultEngineCount();

    void submit(std::shared_ptr<const Bitmap> bitmap, Completion completion);
    std::future<OcrOutcome> submit(std::shared_ptr<const Bitmap> bitmap);

    std::size_t engineCount() const { return threads_.size(); }
    std::size_t queuedCount() const;
    void shutdown();

private:
    struct Job {
        std::shared_ptr<const Bitmap> bitmap;
        Completion completion;
    };

    void workerLoop();

    const EngineFactory factory_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::mutex joinMutex_;  // serialises concurrent shutdown() calls
    std::vector<std::thread> threads_;
};

}  // namespace lumidex::platform
