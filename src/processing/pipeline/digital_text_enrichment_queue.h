// Adds words that only text recognition found to the stored digital text of PDFs.
//
// findMissingWords() is the pure rule: the recognised text is folded with the full-text store's rule;
// the stored digital text (already folded) and the folded recognised text are split at single spaces,
// empty pieces dropped; the missing words are the recognised words not among the digital words, each
// once, in the order they were first recognised. The new text is the digital text, one space and the
// missing words joined by single spaces.
//
// DigitalTextEnrichmentQueue runs enrichments one after another on the serial queue
// "veko.digital-text-enrichment", on a thread it owns. At most maxInFlight are queued or running, holding
// at most maxQueuedBytes of digital text between them (one always may); a producer beyond that blocks in
// enqueue() until enough have finished (the enrichment pass that feeds it hands on its next document as
// one ends). Recognition and the store write are injected: recognise(item) returns the recognised text
// of all pages (nullopt on failure), store(item, newText) replaces the item's stored text and runs as a
// task of its own on the given pool. Exceptions from either are caught and logged. Thread-safe; destruction waits for
// queued enrichments (not for store tasks already handed to the pool).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/nan_item.h"

namespace lumidex {
class SerialExecutor;
class ThreadPool;
}  // namespace lumidex

namespace lumidex::processing {

struct MissingWords {
    std::vector<std::string> words;  // folded, first-recognised order, no duplicates
    std::string newText;             // empty when `words` is empty
    std::size_t addedWordCount = 0;  // words of newText minus words of the digital text
};

MissingWords findMissingWords(std::string_view storedDigitalText, std::string_view recognisedText);

class DigitalTextEnrichmentQueue {
public:
    static constexpr std::size_t defaultMaxInFlight = 4;
    static constexpr std::size_t defaultMaxQueuedBytes = 16U << 20U;
    using Recognise = std::function<std::optional<std::string>(const NanItem& item)>;
    using StoreText = std::function<void(const NanItem& item, const std::string& newText)>;

    // The process-wide queue; it does nothing but log until configure() has been called.
    static DigitalTextEnrichmentQueue& shared();

    DigitalTextEnrichmentQueue(Recognise recognise, StoreText store, std::size_t maxInFlight = defaultMaxInFlight,
                               ThreadPool* storePool = nullptr,  // nullptr: ThreadPool::shared()
                               std::size_t maxQueuedBytes = defaultMaxQueuedBytes);
    ~DigitalTextEnrichmentQueue();
    DigitalTextEnrichmentQueue(const DigitalTextEnrichmentQueue&) = delete;
    DigitalTextEnrichmentQueue& operator=(const DigitalTextEnrichmentQueue&) = delete;

    // Replaces the injected functions for enrichments that start afterwards.
    void configure(Recognise recognise, StoreText store);

    // storedDigitalText: the item's text as it is in the full-text store (folded).
    void enqueue(const NanItem& item, std::string storedDigitalText);
    void waitUntilIdle();
    std::size_t inFlight() const;
    std::size_t waitingProducers() const;

private:
    void enrich(const NanItem& item, const std::string& digitalText);
    void finished(std::size_t bytes);

    mutable std::mutex mutex_;
    Recognise recognise_;
    StoreText store_;
    std::condition_variable idle_;
    std::condition_variable room_;
    std::size_t inFlight_ = 0;
    std::size_t queuedBytes_ = 0;
    std::size_t waitingProducers_ = 0;
    const std::size_t maxInFlight_;
    const std::size_t maxQueuedBytes_;
    ThreadPool* storePool_;
    std::unique_ptr<ThreadPool> pool_;
    std::unique_ptr<SerialExecutor> executor_;
};

}  // namespace lumidex::processing
