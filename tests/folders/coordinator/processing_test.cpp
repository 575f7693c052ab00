// Hand-over to the processing runner, progress and the hash store.
#include <thread>

#include "coordinator_fixture.h"

namespace lumidex::folders::testing {
namespace {

TEST_F(CoordinatorTest, WithoutARunnerItemsStayReadyForProcessing) {
    file("a.pdf");
    auto manager = started();
    const auto scan = manager->fullScan();
    EXPECT_EQ(scan.queuedForProcessing, 1u);
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_FALSE(manager->isProcessing());
    EXPECT_EQ(manager->itemByPath((root / "a.pdf").string())->processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(manager->progressItem().notProcessedCount, 1);
    EXPECT_EQ(manager->progressItem().progress, 0.0);
}

TEST_F(CoordinatorTest, OneRunAtATimeWithOneFollowUpForWhatArrivedMeanwhile) {
    for (int i = 0; i < 5; ++i) file("f" + std::to_string(i) + ".pdf");
    file("skip.bin");
    auto runner = std::make_shared<RecordingRunner>();
    runner->holdFirstRun = true;
    auto manager = started(runner);
    manager->fullScan();
    ASSERT_TRUE(runner->waitForRuns(1));
    EXPECT_TRUE(manager->isProcessing());

    for (int i = 0; i < 3; ++i) manager->handleFileEvent(file("late" + std::to_string(i) + ".txt").string());
    // Queued behind the events, so it finds them again, and the five still in the held run: all of it
    // joins the one follow-up, which takes only what is still waiting when it starts.
    EXPECT_EQ(manager->fullScan().queuedForProcessing, 8u);
    EXPECT_EQ(runner->allRuns().size(), 1u);  // nothing starts while the first run is active
    runner->release();
    ASSERT_TRUE(runner->waitForRuns(2));
    ASSERT_TRUE(manager->waitUntilIdle(20s));

    const auto runs = runner->allRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].size(), 5u);  // the unsupported file is never handed over
    EXPECT_EQ(runs[1].size(), 3u);
    EXPECT_EQ(runner->maxActive, 1);
    EXPECT_EQ(runner->lastSettings.rootFolderUrl, root.string());
    EXPECT_FALSE(manager->isProcessing());

    // Results went back through saveItem: final states, the hash store and the progress display.
    const auto item = manager->itemByPath((root / "f0.pdf").string());
    EXPECT_EQ(item->processingState, NanItemProcessingStates::complete);
    EXPECT_TRUE(manager->isHashStored(item->combinedHash));
    EXPECT_EQ(manager->hashProcessedFileCount(), 8);
    const ProgressItem progress = manager->progressItem();
    EXPECT_EQ(progress.searchableFolder, root.string());
    EXPECT_EQ(progress.notProcessedCount, 0);
    EXPECT_EQ(progress.completedCount, 9);
    EXPECT_EQ(progress.ocrPagesCount, 8);
    EXPECT_EQ(progress.progress, 1.0);

    // Finished items are not handed over again by later scans.
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_EQ(runner->allRuns().size(), 2u);
}

// A version is named by its path and the whole second of its modification time: a file written
// twice within one second keeps its name, but the scan must still see the second write.
TEST_F(CoordinatorTest, AFileWrittenAgainWithinTheSameSecondIsReadAgain) {
    const auto path = file("a.txt", "first");
    ASSERT_TRUE(setModificationTime(path, 1000, 200'000'000));
    auto runner = std::make_shared<RecordingRunner>();
    auto manager = started(runner);
    manager->fullScan();
    ASSERT_TRUE(runner->waitForRuns(1));
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    const uint32_t hash = manager->itemByPath(path.string())->combinedHash;

    makeFile(path, "second");
    ASSERT_TRUE(setModificationTime(path, 1000, 700'000'000));
    EXPECT_EQ(manager->fullScan().queuedForProcessing, 1u);
    ASSERT_TRUE(runner->waitForRuns(2));
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    const auto runs = runner->allRuns();
    ASSERT_EQ(runs[1].size(), 1u);
    EXPECT_EQ(runs[1][0].combinedHash, hash);
    EXPECT_EQ(secondsSince1970(runs[1][0].fileModifiedDate), 1000.7);
    EXPECT_EQ(manager->itemByPath(path.string())->processingState, NanItemProcessingStates::complete);
    EXPECT_EQ(registryOf(storedRows()), truthOnDisk());

    // Unchanged since: nothing more to read, also after a restart.
    EXPECT_EQ(manager->fullScan().queuedForProcessing, 0u);
    manager.reset();
    EXPECT_EQ(started(runner)->fullScan().queuedForProcessing, 0u);
}

TEST_F(CoordinatorTest, ResultsForRemovedOrOlderVersionsAreDropped) {
    const auto path = file("a.pdf");
    ASSERT_TRUE(setModificationTime(path, 1000));
    auto manager = started();
    manager->fullScan();
    NanItem stale = *manager->itemByPath(path.string());

    ASSERT_TRUE(setModificationTime(path, 2000));
    manager->fullScan();
    stale.processingState = NanItemProcessingStates::complete;
    manager->saveItem(stale);  // a run finished the old version after the file changed
    EXPECT_EQ(manager->itemCount(), 1u);
    EXPECT_EQ(secondsSince1970(manager->itemByPath(path.string())->fileModifiedDate), 2000.0);

    NanItem current = *manager->itemByPath(path.string());
    manager->removeItems({current});
    current.processingState = NanItemProcessingStates::complete;
    manager->saveItem(current);
    EXPECT_EQ(manager->itemCount(), 0u);
    EXPECT_TRUE(storedRows().empty());
}

TEST_F(CoordinatorTest, CancellingStopsTheRunAndLeavesItemsToBeTakenUpLater) {
    for (int i = 0; i < 4; ++i) file("f" + std::to_string(i) + ".pdf");
    auto runner = std::make_shared<RecordingRunner>();
    runner->holdFirstRun = true;
    {
        auto manager = started(runner);
        manager->fullScan();
        ASSERT_TRUE(runner->waitForRuns(1));
        manager->cancel();
        ASSERT_TRUE(manager->waitUntilIdle(20s));
        EXPECT_TRUE(runner->lastSettings.cancellationToken.isCancelled());
    }
    auto next = std::make_shared<RecordingRunner>();
    auto manager = started(next);
    manager->fullScan();
    ASSERT_TRUE(next->waitForRuns(1));
    EXPECT_EQ(next->allRuns()[0].size(), 4u);
}

}  // namespace
}  // namespace lumidex::folders::testing
