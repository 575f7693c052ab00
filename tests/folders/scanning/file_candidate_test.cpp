#include <gtest/gtest.h>

#include <limits>

#include "core/hashing.h"
#include "folders/scanning/fast_directory_enumerator.h"
#include "folders/scanning/file_candidate.h"
#include "folders/scanning/test_file_system.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

using testing::makeFile;
using testing::setModificationTime;

TEST(HandleUrl, BuildsTheInitialItemRecord) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path().string();
    const auto path = dir.path() / "Docs" / "notes.TXT";
    makeFile(path);
    ASSERT_TRUE(setModificationTime(path, 1700000000));

    const auto result = handleUrl(path.string(), root, nullptr);
    ASSERT_TRUE(result);
    const NanItem& item = result->nanItem;
    EXPECT_TRUE(result->isProcessingItem);  // extension compared in lower case
    EXPECT_EQ(item.processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(result->combinedHash, combinedHash(path.string(), dateFromSecondsSince1970(1700000000)));
    EXPECT_EQ(result->balancerId, result->combinedHash % 20);
    EXPECT_EQ(item.combinedHash, result->combinedHash);
    EXPECT_EQ(item.id, Uuid::nameBased(path.string()));
    EXPECT_EQ(item.urlString, path.string());
    EXPECT_EQ(item.fileName, "notes.TXT");
    EXPECT_EQ(item.rootFolderUrl, root);
    EXPECT_EQ(item.totalPageCount, -1);
    EXPECT_EQ(item.contentHash, 0u);
    EXPECT_EQ(secondsSince1970(item.fileModifiedDate), 1700000000.0);
    EXPECT_EQ(secondsSince1970(item.fileContentCreatedDate), 0.0);
    EXPECT_EQ(item.type, NanItemTypes::file);
}

TEST(HandleUrl, ClassifiesWhatCountsAndWhatCanBeProcessed) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path().string();
    makeFile(dir.path() / "README");
    makeFile(dir.path() / "scan.pdf");
    makeFile(dir.path() / "Letter.rtfd/TXT.rtf");
    std::filesystem::create_directory(dir.path() / "folder");

    const auto plain = handleUrl((dir.path() / "README").string(), root, nullptr);
    ASSERT_TRUE(plain);  // accepted, but nothing to extract
    EXPECT_FALSE(plain->isProcessingItem);
    EXPECT_EQ(plain->nanItem.processingState, NanItemProcessingStates::notSupported);

    const ExtensionSet excluded = {"pdf"};
    EXPECT_FALSE(handleUrl((dir.path() / "scan.pdf").string(), root, &excluded)->isProcessingItem);
    EXPECT_TRUE(handleUrl((dir.path() / "scan.pdf").string(), root, nullptr)->isProcessingItem);

    const auto package = handleUrl((dir.path() / "Letter.rtfd").string(), root, nullptr);
    ASSERT_TRUE(package);
    EXPECT_TRUE(package->isProcessingItem);
    EXPECT_FALSE(handleUrl((dir.path() / "folder").string(), root, nullptr));
    EXPECT_FALSE(handleUrl((dir.path() / "missing.pdf").string(), root, nullptr));
}

TEST(HandleUrl, TouchingChangesTheHashButNotTheIdentity) {
    lumidex::testing::TempDir dir;
    const auto path = dir.path() / "a.pdf";
    makeFile(path);
    ASSERT_TRUE(setModificationTime(path, 1000));
    const auto before = handleUrl(path.string(), dir.path().string(), nullptr);
    ASSERT_TRUE(setModificationTime(path, 2000));
    const auto after = handleUrl(path.string(), dir.path().string(), nullptr);
    EXPECT_NE(before->combinedHash, after->combinedHash);
    EXPECT_EQ(before->nanItem.id, after->nanItem.id);
    EXPECT_EQ(combinedHashFor(path.string(), std::nullopt), after->combinedHash);
}

TEST(HandleUrl, DatesOutsideTheHashRangeAreClampedNotFatal) {
    lumidex::testing::TempDir dir;
    const auto old = dir.path() / "old.txt";
    const auto future = dir.path() / "future.txt";
    makeFile(old);
    makeFile(future);
    ASSERT_TRUE(setModificationTime(old, -86400 * 365));
    if (!setModificationTime(future, int64_t{1} << 33)) GTEST_SKIP() << "file system cannot store the date";

    const auto a = handleUrl(old.string(), dir.path().string(), nullptr);
    const auto b = handleUrl(future.string(), dir.path().string(), nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_LT(secondsSince1970(a->nanItem.fileModifiedDate), 0.0);
    EXPECT_EQ(a->combinedHash, combinedHash(old.string(), dateFromSecondsSince1970(0)));
    EXPECT_EQ(b->combinedHash, combinedHash(future.string(), dateFromSecondsSince1970(4294967295.0)));
}

TEST(FastDirectoryEnumerator, RecordsEachVersionOnceAndSortsItByType) {
    lumidex::testing::TempDir dir;
    makeFile(dir.path() / "a.pdf");
    makeFile(dir.path() / "b.bin");
    FastDirectoryEnumerator fast(dir.path().string(), std::nullopt);
    std::vector<EnumeratedEntry> entries;
    for (const char* name : {"a.pdf", "b.bin", "a.pdf"}) {
        std::error_code ec;
        const std::string path = (dir.path() / name).string();
        entries.push_back({path, *ScanFileSystem::local().status(path, false, ec)});
    }
    const auto fresh = fast.processBatch(entries);
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_EQ(fast.counter(), 3u);
    EXPECT_EQ(fast.processingCount(), 1u);
    EXPECT_EQ(fast.notSupportedCount(), 1u);
    EXPECT_TRUE(fast.wasSeen(fresh[0].combinedHash));
    EXPECT_TRUE(fast.deleteSyncDict()[fresh[1].balancerId].contains(fresh[1].combinedHash));
    EXPECT_TRUE(fast.processBatch(entries).empty());
    EXPECT_FALSE(fast.markSeen(fresh[0].combinedHash));
}

}  // namespace
}  // namespace lumidex::folders
