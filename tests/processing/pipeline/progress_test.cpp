#include "processing/pipeline/progress.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "core/diagnostics_collector.h"
#include "wait_helpers.h"

namespace lumidex::processing {
namespace {

using testing::eventually;

struct Published {
    std::mutex mutex;
    std::vector<ProgressItem> items;

    ProgressTracker::Publish callback() {
        return [this](const ProgressItem& item) {
            std::lock_guard lock(mutex);
            items.push_back(item);
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return items.size();
    }
    ProgressItem last() {
        std::lock_guard lock(mutex);
        return items.back();
    }
};

TEST(ProgressTracker, CountsItemsAndPages) {
    DiagnosticsCollector diagnostics;
    ProgressTracker tracker("/docs", nullptr, std::chrono::hours(1), nullptr, &diagnostics);
    EXPECT_EQ(tracker.snapshot().progress, 1.0);  // nothing queued
    tracker.itemsQueued(4);
    tracker.itemsCompleted();
    tracker.pagesRecognised(3);
    ProgressItem item = tracker.snapshot();
    EXPECT_EQ(item.searchableFolder, "/docs");
    EXPECT_EQ(item.notProcessedCount, 3);
    EXPECT_EQ(item.completedCount, 1);
    EXPECT_EQ(item.ocrPagesCount, 3);
    EXPECT_DOUBLE_EQ(item.progress, 0.25);
    EXPECT_EQ(diagnostics.counter("ocr.page"), 3);

    tracker.itemsCompleted(10);  // never more than outstanding
    tracker.itemsQueued(-5);
    item = tracker.snapshot();
    EXPECT_EQ(item.notProcessedCount, 0);
    EXPECT_EQ(item.completedCount, 4);
    EXPECT_DOUBLE_EQ(item.progress, 1.0);

    tracker.itemsQueued(2);
    tracker.itemsWithdrawn(1);
    EXPECT_EQ(tracker.snapshot().notProcessedCount, 1);
    tracker.reset();
    EXPECT_EQ(tracker.snapshot(), (ProgressItem{"/docs", 0, 0, 0, 1.0}));
}

TEST(ProgressTracker, ThrottlesBurstsButPublishesCompletionAtOnce) {
    Published published;
    DiagnosticsCollector diagnostics;
    {
        ProgressTracker tracker("/docs", published.callback(), std::chrono::hours(1), nullptr, &diagnostics);
        tracker.itemsQueued(50);  // first report: published at once
        ASSERT_TRUE(eventually([&] { return published.count() == 1; }));
        for (int i = 0; i < 49; ++i) {
            tracker.pagesRecognised();
            tracker.itemsCompleted();
        }
        tracker.itemsCompleted();  // the last outstanding item
        ASSERT_TRUE(eventually([&] { return published.count() == 2; }));
        EXPECT_EQ(published.last(), (ProgressItem{"/docs", 0, 49, 50, 1.0}));
    }  // the trailing publication of the burst is withdrawn with the tracker
    EXPECT_EQ(published.count(), 2u);
}

TEST(ProgressTracker, TrailingPublicationCarriesTheLatestCounts) {
    Published published;
    DiagnosticsCollector diagnostics;
    ProgressTracker tracker("/docs", published.callback(), std::chrono::milliseconds(20), nullptr, &diagnostics);
    tracker.itemsQueued(10);
    for (int i = 0; i < 5; ++i) tracker.itemsCompleted();
    ASSERT_TRUE(eventually([&] { return published.count() >= 1 && published.last().completedCount == 5; }));
    EXPECT_LE(published.count(), 6u);
    tracker.publishNow();
    ASSERT_TRUE(eventually([&] { return published.count() >= 2; }));
    EXPECT_EQ(published.last().notProcessedCount, 5);
}

}  // namespace
}  // namespace lumidex::processing
