#include "processing/pipeline/digital_text_enrichment_queue.h"

#include <exception>
#include <unordered_set>

#include "core/app_log.h"
#include "core/concurrency/serial_executor.h"
#include "core/concurrency/thread_pool.h"
#include "storage/fts_tools.h"

namespace lumidex::processing {
namespace {

std::vector<std::string_view> splitAtSpaces(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t space = text.find(' ', start);
        const std::size_t end = space == std::string_view::npos ? text.size() : space;
        if (end > start) words.push_back(text.substr(start, end - start));
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    return words;
}

std::string displayName(const NanItem& item) {
    if (!item.fileName.empty()) return item.fileName;
    const auto slash = item.urlString.rfind('/');
    return slash == std::string::npos ? item.urlString : item.urlString.substr(slash + 1);
}

}  // namespace

MissingWords findMissingWords(std::string_view storedDigitalText, std::string_view recognisedText) {
    MissingWords result;
    const std::string folded = storage::FtsTools::fold(recognisedText);
    if (folded.empty()) return result;
    const auto digitalWords = splitAtSpaces(storedDigitalText);
    const std::unordered_set<std::string_view> digital(digitalWords.begin(), digitalWords.end());
    std::unordered_set<std::string_view> seen;
    for (std::string_view word : splitAtSpaces(folded)) {
        if (digital.count(word) != 0 || !seen.insert(word).second) continue;
        result.words.emplace_back(word);
    }
    if (result.words.empty()) return result;
    result.newText = std::string(storedDigitalText);
    result.newText += ' ';
    for (std::size_t i = 0; i < result.words.size(); ++i) {
        if (i > 0) result.newText += ' ';
        result.newText += result.words[i];
    }
    result.addedWordCount = splitAtSpaces(result.newText).size() - digitalWords.size();
    return result;
}

DigitalTextEnrichmentQueue& DigitalTextEnrichmentQueue::shared() {
    ThreadPool::shared();  // constructed first so that it outlives the store tasks posted to it
    static DigitalTextEnrichmentQueue queue(nullptr, nullptr);
    return queue;
}

DigitalTextEnrichmentQueue::DigitalTextEnrichmentQueue(Recognise recognise, StoreText store, std::size_t maxInFlight,
                                                       ThreadPool* storePool, std::size_t maxQueuedBytes)
    : recognise_(std::move(recognise)),
      store_(std::move(store)),
      maxInFlight_(maxInFlight == 0 ? 1 : maxInFlight),
      maxQueuedBytes_(maxQueuedBytes),
      storePool_(storePool),
      pool_(std::make_unique<ThreadPool>(1)),
      executor_(std::make_unique<SerialExecutor>("veko.digital-text-enrichment", *pool_)) {}

DigitalTextEnrichmentQueue::~DigitalTextEnrichmentQueue() {
    waitUntilIdle();
    executor_.reset();
    pool_->shutdown();
}

void DigitalTextEnrichmentQueue::configure(Recognise recognise, StoreText store) {
    std::lock_guard lock(mutex_);
    recognise_ = std::move(recognise);
    store_ = std::move(store);
}

void DigitalTextEnrichmentQueue::enqueue(const NanItem& item, std::string storedDigitalText) {
    appLog("[DigitalTextEnrichment] enqueuing for: " + item.urlString);
    const std::size_t bytes = storedDigitalText.size();
    {
        std::unique_lock lock(mutex_);
        ++waitingProducers_;
        room_.wait(lock, [&] {
            return inFlight_ == 0 || (inFlight_ < maxInFlight_ && queuedBytes_ + bytes <= maxQueuedBytes_);
        });
        --waitingProducers_;
        ++inFlight_;
        queuedBytes_ += bytes;
    }
    executor_->post([this, item, bytes, text = std::move(storedDigitalText)] {
        try {
            enrich(item, text);
        } catch (const std::exception& e) {
            appLog("[DigitalTextEnrichment] failed for: " + displayName(item) + ": " + e.what());
        } catch (...) {
            appLog("[DigitalTextEnrichment] failed for: " + displayName(item));
        }
        finished(bytes);
    });
}

void DigitalTextEnrichmentQueue::enrich(const NanItem& item, const std::string& digitalText) {
    Recognise recognise;
    StoreText store;
    {
        std::lock_guard lock(mutex_);
        recognise = recognise_;
        store = store_;
    }
    if (!recognise || !store) {
        appLog("[DigitalTextEnrichment] not configured, skipped: " + displayName(item));
        return;
    }
    const std::optional<std::string> recognised = recognise(item);
    if (!recognised) {
        // Failed (the recogniser logs why), or left for later.
        appLog("[DigitalTextEnrichment] no recognised text for: " + displayName(item));
        return;
    }
    MissingWords missing = findMissingWords(digitalText, *recognised);
    if (missing.words.empty()) {
        appLog("[DigitalTextEnrichment] no missing words for: " + displayName(item));
        return;
    }
    appLog("[DigitalTextEnrichment] +" + std::to_string(missing.addedWordCount) + " words for: " + displayName(item));
    ThreadPool& pool = storePool_ != nullptr ? *storePool_ : ThreadPool::shared();
    pool.post([store = std::move(store), item, newText = std::move(missing.newText)] {
        try {
            store(item, newText);
        } catch (const std::exception& e) {
            appLog("[DigitalTextEnrichment] store failed for: " + displayName(item) + ": " + e.what());
        }
    });
}

void DigitalTextEnrichmentQueue::finished(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    --inFlight_;
    queuedBytes_ -= bytes;
    room_.notify_all();
    if (inFlight_ == 0) idle_.notify_all();
}

void DigitalTextEnrichmentQueue::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return inFlight_ == 0; });
}

std::size_t DigitalTextEnrichmentQueue::inFlight() const {
    std::lock_guard lock(mutex_);
    return inFlight_;
}

std::size_t DigitalTextEnrichmentQueue::waitingProducers() const {
    std::lock_guard lock(mutex_);
    return waitingProducers_;
}

}  // namespace lumidex::processing
