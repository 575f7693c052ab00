#include "core/data_directory.h"
#include "core/directory_maps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <thread>
#include <vector>

#include "support/temp_home.h"

namespace lumidex {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr const char* kMovedFromSandbox = "Migrated data directory from sandbox Documents to Application Support";
constexpr const char* kMovedFromRealDocuments = "Migrated data directory from real ~/Documents to Application Support";
constexpr const char* kRemovedLeftover = "Removed leftover lumidexData from real ~/Documents";

class Migration : public ::testing::Test {
protected:
    struct Message {
        std::string text;
        bool failure;
    };

    DataDirectory make(std::optional<fs::path> appDocuments = std::nullopt) {
        return DataDirectory({support, appDocuments.value_or(state), home}, [this](std::string_view text, bool failure) {
            std::lock_guard lock(mutex);
            messages.push_back({std::string(text), failure});
        });
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const Message& m : messages) out.push_back(m.text);
        return out;
    }

    testing::TempDir root;
    const fs::path support = root / "share";
    const fs::path state = root / "state" / "lumidex";
    const fs::path home = root / "home";
    const fs::path fresh = support / "lumidexData";
    const fs::path old = state / "lumidexData";
    const fs::path realOld = home / "Documents" / "lumidexData";
    std::mutex mutex;
    std::vector<Message> messages;
};

TEST_F(Migration, MovesTheSandboxCopyWhenThereIsNoDataDirectory) {
    writeFile(old / "db" / "a.sqlite", "old");
    DataDirectory data = make();

    EXPECT_EQ(data.path(), fresh);

    EXPECT_EQ(readFile(fresh / "db" / "a.sqlite"), "old");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_EQ(texts(), std::vector<std::string>{kMovedFromSandbox});
}

TEST_F(Migration, KeepsAnExistingDataDirectoryAndRemovesTheRealHomeCopy) {
    writeFile(old / "a", "old");
    writeFile(fresh / "b", "new");
    writeFile(realOld / "c", "real");
    DataDirectory data = make();

    data.migrate();

    EXPECT_EQ(readFile(old / "a"), "old");
    EXPECT_FALSE(fs::exists(fresh / "a"));
    EXPECT_FALSE(fs::exists(fresh / "c"));
    EXPECT_EQ(readFile(fresh / "b"), "new");
    EXPECT_FALSE(fs::exists(realOld));
    EXPECT_EQ(texts(), std::vector<std::string>{kRemovedLeftover});
}

TEST_F(Migration, MovesTheRealDocumentsCopyWhenItIsTheOnlyOne) {
    writeFile(realOld / "c", "real");
    DataDirectory data = make();

    data.migrate();
    data.migrate();  // nothing left to do

    EXPECT_EQ(readFile(fresh / "c"), "real");
    EXPECT_FALSE(fs::exists(realOld));
    EXPECT_EQ(texts(), std::vector<std::string>{kMovedFromRealDocuments});
}

TEST_F(Migration, NeverRemovesTheSandboxCopyOrTheDataDirectoryAsALeftover) {
    // The app documents folder is the real Documents folder: realOld is old.
    writeFile(realOld / "a", "old");
    writeFile(fresh / "b", "new");
    make(home / "Documents").migrate();
    EXPECT_EQ(readFile(realOld / "a"), "old");

    // The real Documents folder is a link to application-support: realOld is the data directory.
    fs::remove_all(home / "Documents");
    fs::create_directory_symlink(support, home / "Documents");
    make().migrate();
    EXPECT_EQ(readFile(fresh / "b"), "new");
    EXPECT_TRUE(texts().empty());
}

TEST(MigrationWithoutContainer, NeverTouchesTheUsersDocumentsFolder) {
    // A folder of the user's that happens to carry our name, beside a data directory: the leftover
    // clean-up of a sandboxed install must not apply to it, on any start.
    testing::ScopedHome home;
    const fs::path userFolder = home.home() / "Documents" / "lumidexData";
    writeFile(userFolder / "Steuer 2025" / "beleg.pdf", "the user's");
    for (bool dataDirectoryExists : {false, true}) {
        if (dataDirectoryExists) writeFile(home.dataHome() / "lumidexData" / "x", "ours");
        DataDirectory data(DataDirectoryLocations::forCurrentUser(), [](std::string_view, bool) {});
        EXPECT_EQ(data.path(), home.dataHome() / "lumidexData");
        EXPECT_EQ(readFile(userFolder / "Steuer 2025" / "beleg.pdf"), "the user's");
    }
    EXPECT_FALSE(fs::exists(home.dataHome() / "lumidexData" / "Steuer 2025"));
}

TEST_F(Migration, FailuresAreReportedAndStartUpContinues) {
    writeFile(old / "a", "old");
    writeFile(realOld / "c", "real");
    writeFile(support, "a file where a folder belongs");
    DataDirectory data = make();

    EXPECT_EQ(data.path(), fresh);

    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].failure);
    EXPECT_EQ(messages[0].text.rfind("Sandbox migration failed: ", 0), 0u) << messages[0].text;
    EXPECT_TRUE(messages[1].failure);
    EXPECT_EQ(messages[1].text.rfind("Real Documents migration failed: ", 0), 0u) << messages[1].text;
    EXPECT_EQ(readFile(old / "a"), "old");
    EXPECT_EQ(readFile(realOld / "c"), "real");
}

TEST_F(Migration, CopiesAcrossFileSystemsWithoutLeavingAPartialCopy) {
    const fs::path shm = "/dev/shm";
    struct stat a {}, b {};
    if (::stat(shm.c_str(), &a) != 0 || ::stat(root.path().c_str(), &b) != 0 || a.st_dev == b.st_dev ||
        ::access(shm.c_str(), W_OK) != 0)
        GTEST_SKIP() << "needs a writable /dev/shm on another file system";
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } elsewhere{shm / root.path().filename()};
    writeFile(elsewhere.path / "lumidexData" / "db" / "a", "moved");

    make(elsewhere.path).migrate();

    EXPECT_EQ(readFile(fresh / "db" / "a"), "moved");
    EXPECT_FALSE(fs::exists(elsewhere.path / "lumidexData"));
    EXPECT_FALSE(fs::exists(support / "lumidexData.incomplete"));
    EXPECT_EQ(texts(), std::vector<std::string>{kMovedFromSandbox});
}

TEST_F(Migration, ConcurrentFirstCallersMigrateOnceAndWaitForIt) {
    writeFile(old / "a", "old");
    writeFile(realOld / "x", "leftover");
    // A slow migration whose last act gives any repeated migration a leftover to remove.
    DataDirectory data({support, state, home}, [this](std::string_view text, bool failure) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (text == kRemovedLeftover) writeFile(realOld / "y", "appeared after the migration");
        std::lock_guard lock(mutex);
        messages.push_back({std::string(text), failure});
    });
    constexpr int count = 16;
    std::barrier start(count);
    std::atomic<int> sawFinishedMigration{0};
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                if (data.path() == fresh && fs::exists(realOld / "y")) ++sawFinishedMigration;
                data.path();
            });
        }
    }
    EXPECT_EQ(sawFinishedMigration.load(), count);
    EXPECT_EQ(texts(), (std::vector<std::string>{kMovedFromSandbox, kRemovedLeftover}));
    EXPECT_EQ(readFile(fresh / "a"), "old");
    EXPECT_TRUE(fs::exists(realOld / "y"));
}

TEST(RealHome, LeavesTheContainerWhenThePathIsLongEnough) {
    const std::string id(kBundleIdentifier);
    EXPECT_EQ(realHomeDirectory("/Users/anna/Library/Containers/" + id + "/Data", id), fs::path("/Users/anna"));
    EXPECT_EQ(realHomeDirectory("/Library/Containers/" + id + "/Data", id), std::nullopt);
    EXPECT_EQ(realHomeDirectory("/x/Library/Containers/" + id + "/Data", id), std::nullopt);  // six components
    EXPECT_EQ(realHomeDirectory("/Users/anna/Library/Containers/other.app/Data", id),
              fs::path("/Users/anna/Library/Containers/other.app/Data"));
    EXPECT_EQ(realHomeDirectory("/home/anna", id), fs::path("/home/anna"));
}

TEST(TrashDirectory, IsCreatedWithItsParents) {
    testing::TempDir root;
    DataDirectory data({root / "a" / "b", root / "state", std::nullopt});

    const TrashDirectoryResult trash = data.trashDirectory();

    ASSERT_TRUE(trash) << trash.error->message();
    EXPECT_EQ(trash.path, root / "a" / "b" / "lumidexData" / "trash");
    EXPECT_TRUE(fs::is_directory(trash.path));
    EXPECT_TRUE(data.trashDirectory());  // already there
}

TEST(TrashDirectory, ReportsACreationFailure) {
    testing::TempDir root;
    writeFile(root / "share" / "lumidexData", "a file, not a folder");
    DataDirectory blockedParent({root / "share", root / "state", std::nullopt});
    const TrashDirectoryResult a = blockedParent.trashDirectory();
    ASSERT_FALSE(a);
    EXPECT_EQ(a.error->path, root / "share" / "lumidexData" / "trash");
    EXPECT_NE(a.error->message().find("lumidexData/trash: "), std::string::npos) << a.error->message();

    writeFile(root / "other" / "lumidexData" / "trash", "a file, not a folder");
    DataDirectory blockedTrash({root / "other", root / "state", std::nullopt});
    EXPECT_FALSE(blockedTrash.trashDirectory());
}

TEST(ResetContainer, MovesTheDataDirectoryToTheUserTrash) {
    testing::ScopedHome home;
    DataDirectory data(DataDirectoryLocations::forCurrentUser(), [](std::string_view, bool) {});
    writeFile(data.location() / "db" / "a.sqlite", "A");

    EXPECT_TRUE(data.resetContainer());

    EXPECT_FALSE(fs::exists(data.location()));
    EXPECT_EQ(readFile(home.dataHome() / "Trash" / "files" / "lumidexData" / "db" / "a.sqlite"), "A");
    EXPECT_TRUE(data.resetContainer());  // nothing left to reset
}

TEST(DirectoryMaps, CreateEachDirectoryOnceUnderConcurrentLookups) {
    DirectoryMap map("test");
    std::atomic<int> made{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int k = 0; k < 100; ++k) {
                    const std::string key = std::to_string(k);
                    EXPECT_EQ(map.findOrInsert(key, [&] { ++made; return fs::path("/d") / key; }), fs::path("/d") / key);
                }
            });
        }
    }
    EXPECT_EQ(made.load(), 100);
    EXPECT_EQ(map.size(), 100u);
    EXPECT_TRUE(map.erase("5"));
    EXPECT_EQ(map.find("5"), std::nullopt);

    EXPECT_EQ(&nanDataDirectories(), &nanDataDirectories());
    EXPECT_EQ(sqliteDataDirectories().label(), "sqliteDataDirectoryDictSerialQueue");
}

}  // namespace
}  // namespace lumidex
