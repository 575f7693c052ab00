#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "folders/scanning/directory_enumerator.h"
#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/test_file_system.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

using testing::FaultInjectingFileSystem;
using testing::makeFile;

struct Walk {
    EnumerationResult result;
    std::set<std::string> relative;  // yielded paths below the root
};

Walk walk(const std::filesystem::path& root, ScanFileSystem& fileSystem, const CancellationToken& token = {}) {
    ExcludedFolderCache cache;
    DirectoryEnumerator enumerator(fileSystem, cache);
    Walk w;
    const std::string prefix = root.string() + "/";
    w.result = enumerator.enumerate(root.string(), token, [&](EnumeratedEntry&& entry) {
        EXPECT_TRUE(entry.path.starts_with(prefix)) << entry.path;
        w.relative.insert(entry.path.substr(prefix.size()));
    });
    return w;
}

TEST(DirectoryEnumerator, SkipsHiddenToolAndDependencyFoldersButKeepsLookalikes) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    makeFile(root / "a.pdf");
    makeFile(root / ".DS_Store");
    makeFile(root / ".git/config");
    makeFile(root / "deep/x/node_modules/lib.js");
    makeFile(root / "App/DerivedData/out.txt");
    makeFile(root / "app/deriveddata/out.txt");
    makeFile(root / "plain/build/result.txt");        // no marker: scanned
    makeFile(root / "proj/Build/Makefile");           // marker: skipped
    makeFile(root / "proj/Build/out.txt");
    makeFile(root / "game/library/ProjectSettings");  // lower case: scanned
    makeFile(root / "game/Library/ProjectSettings");
    makeFile(root / "game/Library/cache.bin");
    makeFile(root / "MyApp.rtfd/TXT.rtf");
    makeFile(root / "MyApp.rtfd/image.png");
    makeFile(root / "Plan.pages/Index.zip");  // an office package saved as a folder: one document
    makeFile(root / "Plan.pages/QuickLook/Preview.pdf");
    makeFile(root / "folder_config.json");        // our own file in the root: never a document
    makeFile(root / "plain/folder_config.json");  // the user's file of that name below it

    auto& fs = ScanFileSystem::local();
    const Walk w = walk(root, fs);
    EXPECT_TRUE(w.result.isComplete());
    EXPECT_EQ(w.relative, (std::set<std::string>{"a.pdf", "plain/build/result.txt", "game/library/ProjectSettings",
                                                  "MyApp.rtfd", "Plan.pages", "plain/folder_config.json"}));
    EXPECT_EQ(w.result.skipped.hiddenEntries, 3u);
    EXPECT_EQ(w.result.skipped.excludedFolders, 5u);
    EXPECT_TRUE(w.result.unreadablePaths.empty());
}

TEST(DirectoryEnumerator, LinksAreNeverFollowedSoLoopsCannotHappen) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    makeFile(root / "sub/doc.txt");
    std::filesystem::create_directory_symlink("..", root / "sub/loop");
    std::filesystem::create_directory_symlink(dir.path(), root / "outside");
    std::filesystem::create_symlink(root / "sub/doc.txt", root / "alias.txt");
    const Walk w = walk(root, ScanFileSystem::local());
    EXPECT_TRUE(w.result.isComplete());
    EXPECT_EQ(w.relative, std::set<std::string>{"sub/doc.txt"});
    EXPECT_EQ(w.result.skipped.symbolicLinks, 3u);
}

TEST(DirectoryEnumerator, ListingRelativeToTheOpenFolderAnswersLikeWholePathLookups) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    makeFile(root / "doc.pdf");
    makeFile(root / "sub/inner.txt");
    makeFile(root / ".hidden");
    std::filesystem::create_symlink(root / "doc.pdf", root / "alias.pdf");
    const auto wanted = [](const std::string& name) { return name.front() != '.'; };

    FaultInjectingFileSystem wholePaths;  // no faults: the interface's own list-then-status answer
    auto byName = [](StatusListing listing) {
        std::map<std::string, ListedEntry> out;
        for (ListedEntry& entry : listing.entries) out.emplace(entry.name, std::move(entry));
        return out;
    };
    const auto local = byName(ScanFileSystem::local().listWithStatus(root.string(), true, wanted));
    const auto reference = byName(wholePaths.listWithStatus(root.string() + "/", true, wanted));
    ASSERT_EQ(local.size(), 4u);
    ASSERT_EQ(reference.size(), 4u);
    for (const auto& [name, entry] : local) {
        const ListedEntry& other = reference.at(name);
        ASSERT_EQ(entry.status.has_value(), other.status.has_value()) << name;
        if (!entry.status) continue;
        EXPECT_EQ(entry.status->kind, other.status->kind) << name;
        EXPECT_EQ(entry.status->inode, other.status->inode) << name;
        EXPECT_EQ(entry.status->modified, other.status->modified) << name;
    }
    EXPECT_FALSE(local.at(".hidden").status);
    EXPECT_EQ(local.at("alias.pdf").status->kind, FileStatus::Kind::symlink);
    EXPECT_EQ(local.at("sub").status->kind, FileStatus::Kind::directory);

    const StatusListing missing = ScanFileSystem::local().listWithStatus((root / "nope").string(), true, wanted);
    EXPECT_EQ(missing.error, std::errc::no_such_file_or_directory);
    EXPECT_TRUE(missing.entries.empty());
}

TEST(DirectoryEnumerator, NamesThatAreNotUtf8AreSkippedAndCounted) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    makeFile(root / "ok.txt");
    makeFile(root / std::string("bad\xff.txt"));
    makeFile(root / std::string("dir\xc3(") / "inner.txt");
    const Walk w = walk(root, ScanFileSystem::local());
    EXPECT_EQ(w.relative, std::set<std::string>{"ok.txt"});
    EXPECT_EQ(w.result.skipped.invalidNames, 2u);
    EXPECT_TRUE(isValidUtf8("Grüße"));
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
}

TEST(DirectoryEnumerator, FailuresBelowTheRootAreCountedAndReportedNotFatal) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    makeFile(root / "locked/secret.pdf");
    makeFile(root / "noexec/a.pdf");
    makeFile(root / "flaky.pdf");
    makeFile(root / "gone.pdf");
    makeFile(root / "fine/b.pdf");
    FaultInjectingFileSystem fs;
    fs.failList((root / "locked").string(), std::errc::permission_denied);
    fs.failStatus((root / "noexec/a.pdf").string(), std::errc::permission_denied);
    fs.failStatus((root / "flaky.pdf").string(), std::errc::io_error);
    fs.failStatus((root / "gone.pdf").string(), std::errc::no_such_file_or_directory);

    const Walk w = walk(root, fs);
    EXPECT_TRUE(w.result.isComplete());
    EXPECT_EQ(w.relative, std::set<std::string>{"fine/b.pdf"});
    EXPECT_EQ(w.result.skipped.unreadableDirectories, 1u);
    EXPECT_EQ(w.result.skipped.permissionDenied, 1u);
    EXPECT_EQ(w.result.skipped.statusErrors, 1u);
    EXPECT_EQ(w.result.skipped.vanishedEntries, 1u);
    // What could not be read is reported so that nothing below it is taken for deleted; a vanished
    // entry really is gone.
    const std::set<std::string> unreadable(w.result.unreadablePaths.begin(), w.result.unreadablePaths.end());
    EXPECT_EQ(unreadable, (std::set<std::string>{(root / "locked").string(), (root / "noexec").string(),
                                                 (root / "flaky.pdf").string()}));
}

TEST(DirectoryEnumerator, EntriesVanishingDuringTheWalkAreSkipped) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    for (int i = 0; i < 20; ++i) makeFile(root / ("f" + std::to_string(i) + ".txt"));
    makeFile(root / "sub/inner.txt");
    FaultInjectingFileSystem fs;
    // Each status call removes another file: later entries of the listing disappear under the walk.
    int removed = 0;
    fs.onStatus = [&](const std::string& path) {
        if (path != root.string() && removed < 20) std::filesystem::remove(root / ("f" + std::to_string(removed++) + ".txt"));
    };
    const Walk w = walk(root, fs);
    EXPECT_TRUE(w.result.isComplete());
    EXPECT_GT(w.result.skipped.vanishedEntries, 0u);
    EXPECT_EQ(w.result.skipped.vanishedEntries + w.relative.size(), 21u);
    EXPECT_TRUE(w.result.unreadablePaths.empty());
}

TEST(DirectoryEnumerator, ReportsCancellationAndAnUnreadableRootAsIncomplete) {
    lumidex::testing::TempDir dir;
    const auto root = dir.path() / "root";
    for (int i = 0; i < 10; ++i) makeFile(root / ("d" + std::to_string(i)) / "f.txt");

    CancellationToken token;
    ExcludedFolderCache cache;
    DirectoryEnumerator enumerator(ScanFileSystem::local(), cache);
    int yielded = 0;
    const auto cancelled = enumerator.enumerate(root.string(), token, [&](EnumeratedEntry&&) {
        if (++yielded == 3) token.cancel();
    });
    EXPECT_EQ(cancelled.outcome, EnumerationOutcome::cancelled);
    EXPECT_EQ(yielded, 3);

    const Walk missing = walk(dir.path() / "nope", ScanFileSystem::local());
    EXPECT_EQ(missing.result.outcome, EnumerationOutcome::rootUnreadable);
    EXPECT_FALSE(missing.result.isComplete());

    FaultInjectingFileSystem fs;
    fs.failList(root.string(), std::errc::permission_denied);
    EXPECT_EQ(walk(root, fs).result.outcome, EnumerationOutcome::rootUnreadable);
}

TEST(DirectoryEnumerator, ARootGivenThroughALinkIsWalked) {
    lumidex::testing::TempDir dir;
    makeFile(dir.path() / "real/a.txt");
    std::filesystem::create_directory_symlink(dir.path() / "real", dir.path() / "link");
    const Walk w = walk(dir.path() / "link", ScanFileSystem::local());
    EXPECT_TRUE(w.result.isComplete());
    EXPECT_EQ(w.relative, std::set<std::string>{"a.txt"});
}

}  // namespace
}  // namespace lumidex::folders
