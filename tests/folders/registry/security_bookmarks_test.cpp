#include "folders/registry/security_bookmarks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "folders/registry/bookmark_naming.h"
#include "folders/registry/folder_paths.h"
#include "folders/registry/root_folder_types.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::string kUmlautNfc = "\xC3\xBC";   // ü
const std::string kUmlautNfd = "u\xCC\x88";  // u + combining diaeresis

class SecurityBookmarksTest : public ::testing::Test {
protected:
    fs::path data() const { return dir_ / "lumidexData"; }
    fs::path v2() const { return data() / "bookmarks_v2"; }
    std::string makeFolder(const std::string& relative) const {
        const fs::path path = dir_ / "docs" / relative;
        fs::create_directories(path);
        return path.string();
    }
    SecurityBookmarks makeStore() {
        return SecurityBookmarks(data(), [this](std::string_view line) { logged_.emplace_back(line); });
    }
    bool logged(std::string_view prefix) const {
        return std::any_of(logged_.begin(), logged_.end(), [&](const auto& l) { return l.starts_with(prefix); });
    }

    TempDir dir_;
    std::vector<std::string> logged_;
};

TEST(FolderPaths, NormalizesToNfcWithoutTrailingSlashOrDotComponents) {
    EXPECT_EQ(normalizedFolderPath("/a/b/"), "/a/b");
    EXPECT_EQ(normalizedFolderPath("/a//b/./c/../d"), "/a/b/d");
    EXPECT_EQ(normalizedFolderPath("file:///a/b"), "/a/b");
    EXPECT_EQ(normalizedFolderPath("/"), "/");
    EXPECT_EQ(normalizedFolderPath("/M" + kUmlautNfd + "ller"), "/M" + kUmlautNfc + "ller");
    EXPECT_EQ(normalizedFolderPath(""), "");
    EXPECT_TRUE(isSameOrInside("/a/b", "/a"));
    EXPECT_TRUE(isSameOrInside("/a", "/a"));
    EXPECT_TRUE(isSameOrInside("/a", "/"));
    EXPECT_FALSE(isSameOrInside("/ab", "/a"));
    EXPECT_EQ(folderDisplayName("/Users/a/Docs"), "Docs");
}

TEST(BookmarkNaming, PlainPathsKeepTheTraditionalNameAndCollidingPathsDiffer) {
    EXPECT_EQ(bookmarkFileName("/Users/a/Docs"), "_Users_a_Docs.data");
    EXPECT_EQ(bookmarkFileName("file:///Users/a/Docs"), "_Users_a_Docs.data");
    EXPECT_NE(bookmarkFileName("/a/b_c"), bookmarkFileName("/a_b/c"));
    EXPECT_NE(bookmarkFileName("/a/b_c"), bookmarkFileName("/a/b/c"));
}

TEST_F(SecurityBookmarksTest, AddedFolderIsListedResolvedAndRemovedWithoutTouchingItsFiles) {
    const std::string folder = makeFolder("Docs");
    writeFile(fs::path(folder) / "letter.txt", "keep me");
    auto store = makeStore();

    ASSERT_TRUE(store.add(folder + "/"));
    const fs::path file = v2() / bookmarkFileName(folder);
    EXPECT_EQ(readFile(file), folder);
    EXPECT_EQ(store.list(), std::vector<std::string>{folder});
    EXPECT_EQ(store.resolve(folder), folder);
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::valid);

    EXPECT_TRUE(store.remove(folder));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(store.list().empty());
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::noSecurityBookmark);
    EXPECT_EQ(store.resolve(folder), std::nullopt);
    EXPECT_EQ(readFile(fs::path(folder) / "letter.txt"), "keep me");
}

TEST_F(SecurityBookmarksTest, FoldersWhoseNamesCollideAreBothKept) {
    const std::string first = makeFolder("a/b_c");
    const std::string second = makeFolder("a_b/c");
    auto store = makeStore();
    ASSERT_TRUE(store.add(first));
    ASSERT_TRUE(store.add(second));

    EXPECT_EQ(store.list(), (std::vector<std::string>{first, second}));
    EXPECT_EQ(std::distance(fs::directory_iterator(v2()), fs::directory_iterator()), 2);

    ASSERT_TRUE(store.remove(first));
    EXPECT_EQ(store.list(), std::vector<std::string>{second});
    EXPECT_EQ(makeStore().list(), std::vector<std::string>{second});
}

TEST_F(SecurityBookmarksTest, CheckReportsEveryState) {
    const std::string folder = makeFolder("Docs");
    auto store = makeStore();
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::noSecurityBookmark);
    EXPECT_EQ(store.check(kScannedFilesIdentifier), SecurityBookmarkStates::noSecurityBookmark);

    const fs::path file = v2() / bookmarkFileName(folder);
    writeFile(file, "not a path");
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::error);
    EXPECT_EQ(store.resolve(folder), std::nullopt);

    writeFile(file, "file://" + folder + "/\n");
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::stale);

    writeFile(file, folder);
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::valid);

    fs::remove(folder);
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::doesNotExist);
    EXPECT_EQ(store.resolve(folder), std::nullopt);
    EXPECT_TRUE(store.list().empty());
    EXPECT_TRUE(fs::exists(file)) << "a folder that is away (unmounted disk) keeps its bookmark";
}

TEST_F(SecurityBookmarksTest, ResolvingStaleDataRewritesItInTheCurrentForm) {
    const std::string folder = makeFolder("M" + kUmlautNfc + "ller");
    const std::string decomposed = (dir_ / "docs" / ("M" + kUmlautNfd + "ller")).string();
    const fs::path file = v2() / bookmarkFileName(folder);
    writeFile(file, "file://" + decomposed + "\n");
    auto store = makeStore();

    EXPECT_EQ(store.resolve(decomposed), folder);
    EXPECT_EQ(readFile(file), folder);
    EXPECT_EQ(store.check(folder), SecurityBookmarkStates::valid);
}

TEST_F(SecurityBookmarksTest, AFileUnderAnOutdatedNameIsMovedToItsProperName) {
    // An older naming gave /x/a_b the plain name; the collision-safe name differs.
    const std::string folder = makeFolder("a_b");
    const fs::path plain = v2() / "legacy_name.data";
    writeFile(plain, folder);
    auto store = makeStore();

    EXPECT_EQ(store.list(), std::vector<std::string>{folder});
    EXPECT_FALSE(fs::exists(plain));
    EXPECT_EQ(readFile(v2() / bookmarkFileName(folder)), folder);
}

TEST_F(SecurityBookmarksTest, ResolvedFoldersAreCachedForTheRunUntilRemoved) {
    const std::string folder = makeFolder("Docs");
    auto store = makeStore();
    ASSERT_TRUE(store.add(folder));
    ASSERT_EQ(store.resolve(folder), folder);

    writeFile(v2() / bookmarkFileName(folder), "garbage");
    EXPECT_EQ(store.resolve(folder), folder) << "resolved once per run";
    EXPECT_EQ(makeStore().resolve(folder), std::nullopt) << "a new run reads the file again";

    EXPECT_TRUE(store.remove(folder));
    EXPECT_EQ(store.resolve(folder), std::nullopt);
}

TEST_F(SecurityBookmarksTest, ReservedIdentifiersAndRelativePathsAreNeverBookmarks) {
    auto store = makeStore();
    EXPECT_FALSE(store.add(kAppleMailSourceIdentifier));
    EXPECT_FALSE(store.add("relative/folder"));
    EXPECT_EQ(store.resolve(kScannedFilesIdentifier), std::nullopt);
    EXPECT_FALSE(fs::exists(v2()));
}

TEST_F(SecurityBookmarksTest, FailedDeletionIsLoggedWithItsPrefix) {
    auto store = makeStore();
    EXPECT_FALSE(store.remove(makeFolder("never-added")));
    EXPECT_TRUE(logged("Delete failed e354656 "));
}

TEST_F(SecurityBookmarksTest, OldGenerationIsMovedOnceAndOtherStoresAreLeftAlone) {
    const std::string kept = makeFolder("Kept");
    const std::string removedLater = makeFolder("Removed");
    const fs::path old = data() / "bookmarks";
    writeFile(old / "_Kept.data", kept);
    writeFile(old / "_Removed.data", removedLater);
    writeFile(old / "_Gone.data", (dir_ / "docs" / "Gone").string());
    writeFile(v2() / "bookmark__claude_config.data", "/somewhere/else");

    {
        auto store = makeStore();
        EXPECT_EQ(store.list(), (std::vector<std::string>{kept, removedLater}));
        EXPECT_TRUE(store.remove(removedLater));
    }
    EXPECT_FALSE(fs::exists(old / "_Kept.data"));
    EXPECT_FALSE(fs::exists(old / "_Removed.data"));
    EXPECT_TRUE(fs::exists(old / "_Gone.data")) << "an unresolvable bookmark waits for a later run";
    EXPECT_EQ(readFile(v2() / "bookmark__claude_config.data"), "/somewhere/else");

    EXPECT_EQ(makeStore().list(), std::vector<std::string>{kept}) << "a removed folder never comes back";
    const auto stored = makeStore().storedBookmarks();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.front().folderPath, kept);
    EXPECT_EQ(stored.front().state, SecurityBookmarkStates::valid);
}

}  // namespace
}  // namespace lumidex::folders
