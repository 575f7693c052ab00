#include "folders/registry/rootfolder_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "folders/registry/bookmark_naming.h"
#include "folders/registry/root_folder_config_manager.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScopedHome;
using testing::TempDir;
using testing::writeFile;

class RootFolderConfigTest : public ::testing::Test {
protected:
    RootFolderConfigManager config() {
        return RootFolderConfigManager(dir_.path(), [this](std::string_view l) { logged_.emplace_back(l); });
    }
    fs::path file() const { return dir_ / "folder_config.json"; }

    TempDir dir_;
    std::vector<std::string> logged_;
};

TEST_F(RootFolderConfigTest, MissingFileReadsEmptyAndSetCreatesAPrettyPrintedObject) {
    EXPECT_TRUE(config().read().empty());
    EXPECT_EQ(config().boolValue("aifolder"), std::nullopt);

    ASSERT_TRUE(config().setBool("aifolder", true));
    ASSERT_TRUE(config().set("aiSourceFolder", R"("/x/inbox")"));
    const std::string text = readFile(file());
    EXPECT_NE(text.find('\n'), std::string::npos);
    EXPECT_EQ(config().boolValue("aifolder"), true);
    const auto values = config().read();
    EXPECT_EQ(values.at("aifolder"), "true");
    EXPECT_EQ(values.at("aiSourceFolder"), R"("/x/inbox")");
    EXPECT_TRUE(logged_.empty());
}

TEST_F(RootFolderConfigTest, AnArrayReadsAsEmptyAndWritingReplacesItWithAnObject) {
    writeFile(file(), "[1, 2, 3]");
    EXPECT_TRUE(config().read().empty());
    ASSERT_TRUE(config().setBool("aifolder", false));
    EXPECT_EQ(config().read(), (std::map<std::string, std::string>{{"aifolder", "false"}}));
}

TEST_F(RootFolderConfigTest, BrokenJsonIsLoggedAndNonBooleanValuesAreNotBooleans) {
    writeFile(file(), "{ broken");
    EXPECT_TRUE(config().read().empty());
    ASSERT_FALSE(logged_.empty());
    EXPECT_TRUE(logged_.front().starts_with("Fehler beim Lesen des JSON: "));

    writeFile(file(), R"({"aifolder": "yes", "other": {"kept": 1}})");
    EXPECT_EQ(config().boolValue("aifolder"), std::nullopt);
    EXPECT_FALSE(config().set("aifolder", "not json"));
    ASSERT_TRUE(config().setBool("aifolder", true));
    EXPECT_EQ(config().read().at("other"), R"({"kept":1})") << "other keys survive a write";
}

class RootfolderManagerTest : public ::testing::Test {
protected:
    RootfolderManagerTest()
        : bookmarks_(data(), [](std::string_view) {}),
          manager_(bookmarks_, ProtectedFolders::forCurrentUser(data()), [](std::string_view) {}) {}

    fs::path data() const { return home_.dataHome() / "lumidexData"; }
    std::string makeFolder(const fs::path& path) const {
        fs::create_directories(path);
        return path.string();
    }
    std::size_t bookmarkCount() const {
        std::error_code ec;
        const fs::directory_iterator it(data() / "bookmarks_v2", ec);
        return ec ? 0 : static_cast<std::size_t>(std::distance(it, fs::directory_iterator()));
    }

    ScopedHome home_;
    SecurityBookmarks bookmarks_;
    RootfolderManager manager_;
};

TEST_F(RootfolderManagerTest, TheUserFolderAndOurOwnFoldersAreRefusedWithTheAlert) {
    const auto refusal = manager_.validateFolder(home_.home().string(), false);
    ASSERT_FALSE(refusal.accepted());
    EXPECT_EQ(refusal.alert->title, "Info");
    EXPECT_EQ(refusal.alert->text, kUserFolderRefusalText);
    EXPECT_EQ(refusal.alert->button, "Dismiss");

    for (const fs::path& refused : {home_.home() / "Library", home_.home() / "", home_.configHome(),
                                    home_.configHome() / "lumidex", home_.dataHome(), data(), data() / "shards",
                                    home_.home() / ".local", fs::path("/")}) {
        EXPECT_FALSE(manager_.validateFolder(refused.string(), false).accepted()) << refused;
    }
    EXPECT_TRUE(manager_.validateFolder((home_.home() / "Projects").string(), false).accepted());
    EXPECT_TRUE(manager_.validateFolder((home_.home() / "Library" / "Papers").string(), false).accepted());
}

TEST_F(RootfolderManagerTest, DocumentsIsRefusedOnlyAsAnAiFolder) {
    const std::string documents = makeFolder(home_.home() / "Documents");
    EXPECT_TRUE(manager_.validateFolder(documents, false).accepted());
    EXPECT_FALSE(manager_.validateFolder(documents, true).accepted());
    EXPECT_EQ(manager_.addFolder(documents, RootFolderTypes::aiFolder).status, AddFolderStatus::refused);
    EXPECT_EQ(manager_.addFolder(documents, RootFolderTypes::searchableFolder).status, AddFolderStatus::added);
}

TEST_F(RootfolderManagerTest, ALinkToTheHomeFolderIsRefusedToo) {
    const fs::path link = home_.home() / "Projects" / "me";
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(home_.home(), link);
    EXPECT_FALSE(manager_.validateFolder(link.string(), false).accepted());
}

TEST_F(RootfolderManagerTest, AddingTheSameFolderTwoWaysStoresOneBookmark) {
    const std::string nfc = makeFolder(home_.home() / "M\xC3\xBCller");
    const std::string nfd = (home_.home() / "Mu\xCC\x88ller").string();

    const auto first = manager_.addFolder(nfc, RootFolderTypes::searchableFolder);
    EXPECT_EQ(first.status, AddFolderStatus::added);
    EXPECT_TRUE(first.success());
    const auto second = manager_.addFolder(nfd + "/", RootFolderTypes::searchableFolder);
    EXPECT_EQ(second.status, AddFolderStatus::alreadySearchable);
    EXPECT_TRUE(second.success());
    EXPECT_EQ(second.folderPath, nfc);
    EXPECT_EQ(bookmarkCount(), 1u);
    EXPECT_EQ(manager_.folders(), std::vector<std::string>{nfc});
}

TEST_F(RootfolderManagerTest, AddingRecordsTheAiFlagInTheFolder) {
    const std::string ai = makeFolder(home_.home() / "Inbox");
    const std::string plain = makeFolder(home_.home() / "Papers");
    ASSERT_EQ(manager_.addFolder(ai, RootFolderTypes::aiFolder).status, AddFolderStatus::added);
    ASSERT_EQ(manager_.addFolder(plain, RootFolderTypes::searchableFolder).status, AddFolderStatus::added);

    EXPECT_TRUE(manager_.isAiFolder(ai));
    EXPECT_FALSE(manager_.isAiFolder(plain));
    EXPECT_EQ(RootFolderConfigManager(plain).read().at("aifolder"), "false");
    EXPECT_FALSE(manager_.isAiFolder((home_.home() / "NotAdded").string()));
}

TEST_F(RootfolderManagerTest, AReadOnlyFolderKeepsItsConfigurationUnderTheDataDirectory) {
    // Root may write anywhere, but not into an immutable folder: the stand-in for a read-only mount.
    const std::string archive = makeFolder(home_.home() / "Archive");
    struct Immutable {
        std::string path;
        bool set = std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
        ~Immutable() {
            if (set) std::system(("chattr -i '" + path + "'").c_str());
        }
    } immutable{archive};
    if (!immutable.set || std::ofstream(archive + "/probe")) GTEST_SKIP() << "needs a folder that cannot be written to";

    ASSERT_EQ(manager_.addFolder(archive, RootFolderTypes::aiFolder).status, AddFolderStatus::added);
    EXPECT_FALSE(fs::exists(fs::path(archive) / "folder_config.json"));
    EXPECT_TRUE(manager_.isAiFolder(archive));
    EXPECT_TRUE(fs::exists(RootFolderConfigManager::fallbackFileFor(data(), archive)));
}

TEST_F(RootfolderManagerTest, OnlyExistingFoldersCanBeAdded) {
    const fs::path file = home_.home() / "Papers" / "a.pdf";
    writeFile(file, "%PDF");
    EXPECT_EQ(manager_.addFolder(file.string(), RootFolderTypes::searchableFolder).status, AddFolderStatus::notAFolder);
    EXPECT_EQ(manager_.addFolder((home_.home() / "missing").string(), RootFolderTypes::searchableFolder).status,
              AddFolderStatus::notAFolder);
    EXPECT_EQ(manager_.addFolder("Papers", RootFolderTypes::searchableFolder).status, AddFolderStatus::notAFolder);
    EXPECT_EQ(bookmarkCount(), 0u);
}

TEST_F(RootfolderManagerTest, RemovingAFolderDeletesOnlyItsBookmark) {
    const std::string folder = makeFolder(home_.home() / "Papers");
    writeFile(fs::path(folder) / "a.pdf", "%PDF");
    ASSERT_TRUE(manager_.addFolder(folder, RootFolderTypes::aiFolder).success());

    EXPECT_EQ(RootfolderManager::removeConfirmationText(folder),
              "Remove the bookmark for folder 'Papers'?\nNo Files or Folders will be deleted");
    EXPECT_TRUE(manager_.removeFolder(folder));
    EXPECT_EQ(bookmarkCount(), 0u);
    EXPECT_EQ(readFile(fs::path(folder) / "a.pdf"), "%PDF");
    EXPECT_TRUE(fs::exists(fs::path(folder) / "folder_config.json"));
    EXPECT_TRUE(manager_.folders().empty());
    EXPECT_FALSE(manager_.removeFolder(folder));
}

}  // namespace
}  // namespace lumidex::folders
