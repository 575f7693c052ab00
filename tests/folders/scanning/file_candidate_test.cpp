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

    // A change inside a package is a change of the package; the root itself may carry a package name.
    EXPECT_EQ(enclosingPackage("/r/a/Plan.pages/Data/x.jpg", "/r"), "/r/a/Plan.pages");
    EXPECT_EQ(enclosingPackage("/r/Notes.rtfd/TXT.rtf", "/r"), "/r/Notes.rtfd");
    EXPECT_EQ(enclosingPackage("/r/a/Plan.pages", "/r"), std::nullopt);
    EXPECT_EQ(enclosingPackage("/Old.key/slides.pdf", "/Old.key"), std::nullopt);
    EXPECT_EQ(enclosingPackage("/elsewhere/Plan.pages/x", "/r"), std::nullopt);
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

TEST(HandleUrl, AnIdentityOnlyCandidateCompletesToTheFullRecord) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path().string();
    const auto path = dir.path() / "Scan.PDF";
    makeFile(path);
    ASSERT_TRUE(setModificationTime(path, 1700000000));
    std::error_code ec;
    const auto status = *ScanFileSystem::local().status(path.string(), false, ec);

    const auto full = handleUrl(path.string(), root, nullptr);
    auto lean = handleNfcUrl(path.string() + "/", status, root, nullptr, true);
    ASSERT_TRUE(full && lean);
    EXPECT_FALSE(full->identityOnly);
    EXPECT_TRUE(lean->identityOnly);
    // The identity is all there; the rest waits.
    EXPECT_EQ(lean->combinedHash, full->combinedHash);
    EXPECT_EQ(lean->balancerId, full->balancerId);
    EXPECT_EQ(lean->isProcessingItem, full->isProcessingItem);
    EXPECT_EQ(lean->nanItem.urlString, full->nanItem.urlString);  // trailing slash dropped
    EXPECT_EQ(lean->nanItem.fileModifiedDate, full->nanItem.fileModifiedDate);
    EXPECT_TRUE(lean->nanItem.fileName.empty());

    completeCandidate(*lean, root);
    EXPECT_FALSE(lean->identityOnly);
    const NanItem& a = lean->nanItem;
    const NanItem& b = full->nanItem;
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.fileName, b.fileName);
    EXPECT_EQ(a.rootFolderUrl, b.rootFolderUrl);
    EXPECT_EQ(a.processingState, b.processingState);
    EXPECT_EQ(a.totalPageCount, b.totalPageCount);
    EXPECT_EQ(a.fileCreatedDate, b.fileCreatedDate);
    EXPECT_EQ(a.fileContentCreatedDate, b.fileContentCreatedDate);
    EXPECT_EQ(a.type, b.type);

    completeCandidate(*lean, "/elsewhere");  // a complete candidate stays as it is
    EXPECT_EQ(lean->nanItem.rootFolderUrl, root);
}

TEST(FastDirectoryEnumerator, DecomposedFolderAndFileNamesComeOutComposed) {
    lumidex::testing::TempDir dir;
    const std::string decomposedFolder = "Bu\xCC\x88ro";      // "Büro" with a combining diaeresis
    const std::string decomposedFile = "Gru\xCC\x88\xC3\x9F" "e.txt";  // "Grüße.txt", half decomposed
    const auto folder = dir.path() / decomposedFolder;
    makeFile(folder / decomposedFile);
    makeFile(folder / "plain.md");
    makeFile(dir.path() / "top.pdf");

    for (const bool identityOnly : {false, true}) {
        FastDirectoryEnumerator fast(dir.path().string(), std::nullopt, identityOnly, 300);
        std::vector<EnumeratedEntry> entries;
        for (const auto& path : {folder / decomposedFile, folder / "plain.md", dir.path() / "top.pdf",
                                 folder / decomposedFile}) {
            std::error_code ec;
            entries.push_back({path.string(), *ScanFileSystem::local().status(path.string(), false, ec)});
        }
        const auto fresh = fast.processBatch(entries);
        ASSERT_EQ(fresh.size(), 3u);
        EXPECT_EQ(fast.acceptedCount(), 3u);
        EXPECT_EQ(fast.processingCount(), 3u);
        for (const auto& candidate : fresh) {
            EXPECT_EQ(candidate.identityOnly, identityOnly);
            EXPECT_EQ(candidate.combinedHash,
                      combinedHash(candidate.nanItem.urlString, candidate.nanItem.fileModifiedDate));
        }
        // Composed as a whole path would be, whatever folder came before.
        EXPECT_EQ(fresh[0].nanItem.urlString, dir.path().string() + "/B\xC3\xBCro/Gr\xC3\xBC\xC3\x9F" "e.txt");
        EXPECT_EQ(fresh[1].nanItem.urlString, dir.path().string() + "/B\xC3\xBCro/plain.md");
        EXPECT_EQ(fresh[2].nanItem.urlString, dir.path().string() + "/top.pdf");
        if (!identityOnly) {
            EXPECT_EQ(fresh[0].nanItem.fileName, "Gr\xC3\xBC\xC3\x9F" "e.txt");
        }
    }
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

    // Taken once the scan is over: the caller has the sets, the enumerator starts from empty ones.
    const auto taken = fast.takeDeleteSyncDict();
    EXPECT_TRUE(taken[fresh[0].balancerId].contains(fresh[0].combinedHash));
    EXPECT_FALSE(fast.wasSeen(fresh[0].combinedHash));
    EXPECT_TRUE(fast.markSeen(fresh[0].combinedHash));
}

}  // namespace
}  // namespace lumidex::folders
