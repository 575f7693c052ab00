#include "processing/pipeline/digital_text_enrichment_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "core/app_log.h"
#include "core/concurrency/thread_pool.h"
#include "storage/fts_tools.h"
#include "support/temp_home.h"
#include "wait_helpers.h"

namespace lumidex::processing {
namespace {

using testing::eventually;
using testing::Gate;

std::string debugLog() {
    flushAppLog();
    return lumidex::testing::readFile(std::filesystem::path(std::getenv("XDG_STATE_HOME")) / "lumidex" /
                                      "app_debug.log");
}

NanItem pdfItem(const std::string& name) {
    NanItem item;
    item.urlString = "/docs/" + name;
    item.fileName = name;
    item.combinedHash = 42;
    return item;
}

TEST(MissingWords, AddsRecognisedWordsTheDigitalTextLacks) {
    const MissingWords m = findMissingWords("rechnung nummer 4711", "Rechnung  Nummer 4711 Stempel BEZAHLT stempel");
    EXPECT_EQ(m.words, (std::vector<std::string>{"stempel", "bezahlt"}));
    EXPECT_EQ(m.newText, "rechnung nummer 4711 stempel bezahlt");
    EXPECT_EQ(m.addedWordCount, 2u);
}

TEST(MissingWords, RecognisedTextIsFoldedWithTheStoreRule) {
    const std::string stored = storage::FtsTools::fold("Grüße aus Köln");
    const MissingWords m = findMissingWords(stored, "GRÜSSE aus KÖLN");
    for (const auto& word : m.words) EXPECT_EQ(word, storage::FtsTools::fold(word));
    const MissingWords same = findMissingWords(stored, "Grüße aus Köln");
    EXPECT_TRUE(same.words.empty());
    EXPECT_TRUE(same.newText.empty());
}

TEST(MissingWords, NothingToAdd) {
    EXPECT_TRUE(findMissingWords("alles da", "").words.empty());
    EXPECT_TRUE(findMissingWords("alles da", "   ").words.empty());
    EXPECT_TRUE(findMissingWords("alles da", "da alles da").words.empty());
    // The digital text is split at single spaces too: doubled spaces hide no word.
    EXPECT_TRUE(findMissingWords("alles  da ", "alles").words.empty());
    // Empty digital text: every recognised word is missing, after the one separating space.
    const MissingWords m = findMissingWords("", "neu");
    EXPECT_EQ(m.newText, " neu");
    EXPECT_EQ(m.addedWordCount, 1u);
}

TEST(DigitalTextEnrichmentQueue, StoresTheEnrichedTextAndLogsTheCount) {
    std::mutex mutex;
    std::condition_variable stored;
    std::vector<std::pair<uint32_t, std::string>> writes;
    ThreadPool storePool(1);
    DigitalTextEnrichmentQueue queue(
        [](const NanItem& item) -> std::optional<std::string> {
            if (item.fileName == "fails.pdf") return std::nullopt;
            if (item.fileName == "throws.pdf") throw std::runtime_error("engine gone");
            if (item.fileName == "same.pdf") return "Rechnung 4711";
            return "Rechnung 4711 Unterschrift Stempel";
        },
        [&](const NanItem& item, const std::string& text) {
            std::lock_guard lock(mutex);
            writes.emplace_back(item.combinedHash, text);
            stored.notify_all();
        },
        4, &storePool);

    for (const char* name : {"fails.pdf", "throws.pdf", "same.pdf", "scan.pdf"}) {
        queue.enqueue(pdfItem(name), "rechnung 4711");
    }
    queue.waitUntilIdle();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(stored.wait_for(lock, std::chrono::seconds(10), [&] { return !writes.empty(); }));
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], (std::pair<uint32_t, std::string>{42, "rechnung 4711 unterschrift stempel"}));
    }
    const std::string log = debugLog();
    EXPECT_NE(log.find("[DigitalTextEnrichment] enqueuing for: /docs/scan.pdf"), std::string::npos);
    EXPECT_NE(log.find("[DigitalTextEnrichment] +2 words for: scan.pdf"), std::string::npos);
    EXPECT_NE(log.find("[DigitalTextEnrichment] no missing words for: same.pdf"), std::string::npos);
    EXPECT_NE(log.find("fails.pdf"), std::string::npos);
    EXPECT_NE(log.find("engine gone"), std::string::npos);
}

TEST(DigitalTextEnrichmentQueue, FifthProducerWaitsAndWorkIsSerial) {
    Gate gate;
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};
    std::atomic<int> done{0};
    DigitalTextEnrichmentQueue queue(
        [&](const NanItem&) -> std::optional<std::string> {
            const int now = ++running;
            maxRunning = std::max(maxRunning.load(), now);
            gate.wait();
            --running;
            ++done;
            return std::string();
        },
        [](const NanItem&, const std::string&) {});
    for (int i = 0; i < 4; ++i) queue.enqueue(pdfItem("d" + std::to_string(i) + ".pdf"), "x");
    std::atomic<bool> fifthReturned{false};
    std::thread fifth([&] {
        queue.enqueue(pdfItem("d4.pdf"), "x");
        fifthReturned = true;
    });
    ASSERT_TRUE(eventually([&] { return queue.waitingProducers() == 1; }));
    EXPECT_FALSE(fifthReturned);
    gate.open();
    fifth.join();
    queue.waitUntilIdle();
    EXPECT_EQ(done, 5);
    EXPECT_EQ(maxRunning, 1);
}

TEST(DigitalTextEnrichmentQueue, QueuedTextIsBoundedInBytesButOneDocumentAlwaysFits) {
    Gate gate;
    std::atomic<int> done{0};
    DigitalTextEnrichmentQueue queue(
        [&](const NanItem&) -> std::optional<std::string> {
            gate.wait();
            ++done;
            return std::string();
        },
        [](const NanItem&, const std::string&) {}, 100, nullptr, 10);
    queue.enqueue(pdfItem("large.pdf"), std::string(40, 'x'));  // alone, over the budget: taken
    std::atomic<bool> secondReturned{false};
    std::thread second([&] {
        queue.enqueue(pdfItem("small.pdf"), "abc");
        secondReturned = true;
    });
    ASSERT_TRUE(eventually([&] { return queue.waitingProducers() == 1; }));
    EXPECT_FALSE(secondReturned);
    gate.open();
    second.join();
    queue.waitUntilIdle();
    EXPECT_EQ(done, 2);
}

TEST(DigitalTextEnrichmentQueue, UnconfiguredQueueSkipsUntilConfigured) {
    DigitalTextEnrichmentQueue queue(nullptr, nullptr);
    queue.enqueue(pdfItem("early.pdf"), "a");
    queue.waitUntilIdle();
    std::atomic<int> stores{0};
    queue.configure([](const NanItem&) { return std::optional<std::string>("b"); },
                    [&](const NanItem&, const std::string&) { ++stores; });
    queue.enqueue(pdfItem("late.pdf"), "a");
    queue.waitUntilIdle();
    EXPECT_TRUE(eventually([&] { return stores == 1; }));
}

}  // namespace
}  // namespace lumidex::processing
