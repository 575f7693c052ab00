// The cloud item store on disk: what survives reopening, what the lookups hide, and a damaged file.
#include <gtest/gtest.h>

#include "cloud/cloud_item_store.h"
#include "cloud_fakes.h"
#include "core/app_log.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using lumidex::testing::TempDir;
using lumidex::testing::writeFile;
using State = CloudItemProcessingStates;

NanCloudItemFile itemFor(const std::string& path, double modified, State state) {
    NanCloudItemFile item;
    item.nanItemUrl = path;
    item.fileModificationTimestamp = modified;
    item.processingState = state;
    item.serverHost = "https://convert.example/";
    return item;
}

TEST(CloudItemStoreTest, RowsSurviveReopeningAndCompletedOnesStopAnsweringOnceMarkedDeleted) {
    TempDir dir;
    NanCloudItemFile first = itemFor("/docs/Angebot.docx", 1700000000.5, State::preparing);
    {
        CloudItemSqliteManager store(dir / "data");
        ASSERT_TRUE(store.isOpen());
        ASSERT_TRUE(store.save(first));
        EXPECT_GT(first.dbId, 0);
        NanCloudItemFile second = itemFor("/docs/Liste.xlsx", 5, State::completed);
        ASSERT_TRUE(store.save(second));
        ASSERT_TRUE(store.updateState("/docs/Angebot.docx", State::uploadFinished, std::string("job-7")));
        EXPECT_FALSE(store.updateState("/docs/unknown.docx", State::completed));  // no row: not done
        // Saving the same file again replaces its row.
        NanCloudItemFile again = itemFor("/docs/Liste.xlsx", 6, State::completed);
        ASSERT_TRUE(store.save(again));
        EXPECT_EQ(again.dbId, second.dbId);
    }
    CloudItemSqliteManager store(dir / "data");
    const auto found = store.nanCloudItemFileFor("/docs/Angebot.docx");
    ASSERT_TRUE(found && *found);
    EXPECT_EQ((*found)->dbId, first.dbId);
    EXPECT_EQ((*found)->uuid, first.uuid);
    EXPECT_EQ((*found)->processingState, State::uploadFinished);
    EXPECT_EQ((*found)->jobId, "job-7");
    EXPECT_DOUBLE_EQ((*found)->fileModificationTimestamp, 1700000000.5);
    const auto uploaded = store.getAllUploaded();
    ASSERT_TRUE(uploaded);
    ASSERT_EQ(uploaded->size(), 1u);
    EXPECT_EQ(uploaded->front().nanItemUrl, "/docs/Angebot.docx");

    EXPECT_EQ(store.countByState(State::completed), 1);
    EXPECT_EQ(store.markAllCompletedAsDeleted(), 1);
    EXPECT_EQ(store.countByState(State::completed), 0);
    const auto gone = store.nanCloudItemFileFor("/docs/Liste.xlsx");
    ASSERT_TRUE(gone);
    EXPECT_FALSE(*gone);
}

TEST(CloudItemStoreTest, ADamagedDatabaseIsReportedAndEveryOperationFailsInsteadOfAnsweringNothing) {
    TempDir dir;
    writeFile(dir / CloudItemSqliteManager::kFileName, std::string(4096, 'x'));
    testing::LogLines log;
    redirectAppLog(log.sink());
    {
        CloudItemSqliteManager store(dir.path());
        EXPECT_FALSE(store.isOpen());
        NanCloudItemFile item = itemFor("/docs/a.docx", 1, State::preparing);
        EXPECT_FALSE(store.save(item));
        EXPECT_FALSE(store.nanCloudItemFileFor("/docs/a.docx"));
        EXPECT_FALSE(store.getAllUploaded());
        EXPECT_FALSE(store.countByState(State::preparing));
    }
    redirectAppLog({});
    EXPECT_TRUE(log.contains("cloudItem openDatabaseFile "));
    EXPECT_TRUE(log.contains("cloudItem nanCloudItemFileFor "));
    EXPECT_TRUE(log.contains("cloudItem getAllUploaded "));
    EXPECT_TRUE(log.contains("cloudItem countByState "));
}

}  // namespace
}  // namespace lumidex::cloud
