// The excluded-folder cache, the excluded-extension file and the file-type statistics store.
#include <gtest/gtest.h>

#include "core/app_log.h"
#include "core/settings/settings.h"
#include "folders/scanning/excluded_extensions.h"
#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/supported_file_types_store.h"
#include "folders/scanning/test_file_system.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

using testing::FaultInjectingFileSystem;
using testing::makeFile;

TEST(ExcludedFolderCache, AnswersFromTheCacheForSixtySecondsAndStaysBounded) {
    lumidex::testing::TempDir dir;
    const std::string build = (dir.path() / "build").string();
    std::filesystem::create_directories(build);
    FaultInjectingFileSystem fs;
    ExcludedFolderCache cache;
    const auto t0 = ExcludedFolderCache::Clock::now();

    EXPECT_FALSE(cache.isExcludedFolder("build", build, fs, t0));
    EXPECT_EQ(fs.existsCalls.load(), 13);  // every marker tested once
    makeFile(dir.path() / "build/Cargo.toml");
    EXPECT_FALSE(cache.isExcludedFolder("build", build, fs, t0 + std::chrono::seconds(59)));  // cached
    EXPECT_EQ(fs.existsCalls.load(), 13);
    EXPECT_TRUE(cache.isExcludedFolder("build", build, fs, t0 + std::chrono::seconds(61)));

    // Names excluded outright never touch the disk or the cache.
    EXPECT_TRUE(cache.isExcludedFolder("Node_Modules", "/x/Node_Modules", fs, t0));
    EXPECT_FALSE(cache.isExcludedFolder("docs", "/x/docs", fs, t0));
    EXPECT_EQ(cache.size(), 1u);

    for (int i = 0; cache.size() < ExcludedFolderCache::maxEntries; ++i) {
        cache.isExcludedFolder("Library", "/nowhere/" + std::to_string(i) + "/Library", fs, t0);
    }
    EXPECT_EQ(cache.size(), 1025u);
    cache.isExcludedFolder("Library", "/nowhere/last/Library", fs, t0);
    EXPECT_EQ(cache.size(), 1u);  // emptied, then the new answer stored
}

TEST(ExcludedExtensions, RoundTripWithExactlyTheFourKeys) {
    lumidex::testing::TempDir dir;
    const auto file = excludedFileExtensionsPath(dir.path());
    EXPECT_TRUE(loadExcludedFileExtensions(file).empty());  // missing file: empty list

    const std::vector<ExcludedFileExtension> list = {{"A-1", "PDF", "scans", true}, {"B-2", ".tmp", "", false}};
    ASSERT_TRUE(saveExcludedFileExtensions(file, list));
    EXPECT_EQ(loadExcludedFileExtensions(file), list);
    const std::string text = lumidex::testing::readFile(file);
    EXPECT_NE(text.find("\n  {\n    \"id\": \"A-1\",\n    \"extensionName\": \"PDF\",\n    \"info\": \"scans\",\n"
                        "    \"isToggled\": true\n  }"),
              std::string::npos)
        << text;
    EXPECT_EQ(excludedExtensionSet(list), ExtensionSet{"pdf"});

    lumidex::testing::writeFile(file, "[{\"id\": \"x\"}]");
    EXPECT_TRUE(loadExcludedFileExtensions(file).empty());
}

TEST(ExcludedExtensions, ApplyOnlyWhileTheSettingIsOn) {
    lumidex::testing::TempDir dir;
    SettingsStore store(dir.path() / "settings.json");
    Settings settings(store);
    const auto file = excludedFileExtensionsPath(dir.path());
    ASSERT_TRUE(saveExcludedFileExtensions(file, {{"A", "pdf", "", true}}));
    EXPECT_FALSE(activeExcludedExtensions(settings, file));
    settings.set(SettingsKeys::excludeFilesWithPathExtensionActive, SettingValue(true));
    EXPECT_EQ(activeExcludedExtensions(settings, file), ExtensionSet{"pdf"});
}

TEST(SupportedFileTypesStore, KeepsOneRowPerExtensionAndReplacesCounts) {
    lumidex::testing::TempDir dir;
    SupportedFileTypesSqliteManager store(SupportedFileTypesSqliteManager::defaultPath(dir.path()));
    EXPECT_FALSE(store.fileTypeItemFor("pdf"));
    const auto id = store.createDeveloperChatItem({0, "pdf", 3, 1, true});
    ASSERT_TRUE(id);
    EXPECT_EQ(store.fileTypeItemFor("pdf"), (SupportedFileTypeItem{*id, "pdf", 3, 1, true}));
    EXPECT_TRUE(store.updateFileCountFor("pdf", 7, 5, true));
    EXPECT_TRUE(store.updateFileCountFor("exe", 2, 0, false));
    EXPECT_EQ(store.fileTypeItemFor("pdf")->fileCount, 7);
    EXPECT_EQ(store.allItems().size(), 2u);

    ASSERT_TRUE(store.replaceCounts({{0, "exe", 4, 0, false}}));
    EXPECT_EQ(store.fileTypeItemFor("pdf")->fileCount, 0);  // not seen any more
    EXPECT_EQ(store.fileTypeItemFor("exe")->fileCount, 4);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "supported_file_types.sqlite3"));

    SettingsStore settings(dir.path() / "settings.json");
    SupportedFileTypesManager manager(store, settings);
    manager.refresh();
    EXPECT_EQ(manager.cacheArray().size(), 2u);
    EXPECT_TRUE(settings.getDouble(kSupportedFileTypesSyncDateKey));
}

TEST(SupportedFileTypesStore, AnUnopenableFileAnswersEmpty) {
    lumidex::testing::TempDir dir;
    makeFile(dir.path() / "blocker");
    SupportedFileTypesSqliteManager store(dir.path() / "blocker" / "types.sqlite3");
    EXPECT_FALSE(store.isOpen());
    EXPECT_FALSE(store.fileTypeItemFor("pdf"));
    EXPECT_FALSE(store.updateFileCountFor("pdf", 1, 1, true));
}

}  // namespace
}  // namespace lumidex::folders
