#include "platform/ocr_engine_pool.h"

#include <algorithm>
#include <exception>

namespace lumidex::platform {
namespace {

OcrOutcome failure(OcrError::Kind kind, std::string detail) {
    OcrOutcome outcome;
    outcome.error = OcrError{kind, std::move(detail)};
    return outcome;
}

void complete(const OcrEnginePool::Completion& completion, OcrOutcome outcome) {
    try {
        completion(std::move(outcome));
    } catch (...) {
        // A throwing completion must not take the worker (and with it an engine) down.
    }
}

}  // namespace

OcrEnginePool::OcrEnginePool(std::size_t engineCount, const OcrEngineOptions& options)
    : OcrEnginePool(engineCount, [options] { return makeOcrEngine(options); }) {}

OcrEnginePool::OcrEnginePool(std::size_t engineCount, EngineFactory factory) : factory_(std::move(factory)) {
    const std::size_t count = engineCount == 0 ? defaultEngineCount() : engineCount;
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { workerLoop(); });
}

OcrEnginePool::~OcrEnginePool() { shutdown(); }

OcrEnginePool& OcrEnginePool::shared() {
    static OcrEnginePool pool;
    return pool;
}

std::size_t OcrEnginePool::defaultEngineCount() {
    return std::max(1U, std::thread::hardware_concurrency());
}

void OcrEnginePool::submit(std::shared_ptr<const Bitmap> bitmap, Completion completion) {
    if (!completion) return;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            queue_.push_back(Job{std::move(bitmap), std::move(completion)});
            wake_.notify_one();
            return;
        }
    }
    complete(completion, failure(OcrError::Kind::shutDown, "the recognition queue has shut down"));
}

std::future<OcrOutcome> OcrEnginePool::submit(std::shared_ptr<const Bitmap> bitmap) {
    auto promise = std::make_shared<std::promise<OcrOutcome>>();
    auto future = promise->get_future();
    submit(std::move(bitmap), [promise](OcrOutcome outcome) { promise->set_value(std::move(outcome)); });
    return future;
}

std::size_t OcrEnginePool::queuedCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void OcrEnginePool::shutdown() {
    std::deque<Job> abandoned;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        abandoned.swap(queue_);
        wake_.notify_all();
    }
    for (auto& job : abandoned) {
        complete(job.completion, failure(OcrError::Kind::shutDown, "the recognition queue has shut down"));
    }
    std::lock_guard joinLock(joinMutex_);
    for (auto& thread : threads_) {
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    }
}

void OcrEnginePool::workerLoop() {
    std::unique_ptr<OcrEngine> engine;  // created, used and destroyed on this thread only
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, nothing left
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        OcrOutcome outcome;
        try {
            if (!engine) {
                OcrEngineResult created = factory_();
                if (created.engine) {
                    engine = std::move(created.engine);
                } else {
                    outcome.error = created.error.value_or(
                        OcrError{OcrError::Kind::initializationFailed, "no recognition engine"});
                }
            }
            if (engine) {
                outcome = job.bitmap ? engine->recognize(*job.bitmap)
                                     : failure(OcrError::Kind::invalidBitmap, "no bitmap");
            }
        } catch (const std::exception& e) {
            outcome = failure(OcrError::Kind::recognitionFailed, e.what());
        } catch (...) {
            outcome = failure(OcrError::Kind::recognitionFailed, "unknown error");
        }
        complete(job.completion, std::move(outcome));
    }
}

}  // namespace lumidex::platform
