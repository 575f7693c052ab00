#include "platform/trash.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "support/temp_home.h"

namespace lumidex::platform {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

std::size_t entryCount(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++n;
    return n;
}

TEST(Trash, MovesAFolderAndRecordsWhereItCameFrom) {
    testing::ScopedHome home;
    const fs::path item = home.home() / "my docs" / "lumidexData";
    writeFile(item / "db" / "a.sqlite", "A");

    const TrashResult result = moveToTrash(item);

    ASSERT_TRUE(result) << result.error->message();
    const fs::path trash = home.dataHome() / "Trash";
    EXPECT_EQ(result.trashedAs, trash / "files" / "lumidexData");
    EXPECT_FALSE(fs::exists(item));
    EXPECT_EQ(readFile(trash / "files" / "lumidexData" / "db" / "a.sqlite"), "A");

    const std::string info = readFile(trash / "info" / "lumidexData.trashinfo");
    const std::string encoded = (home.home() / "my%20docs" / "lumidexData").string();
    EXPECT_TRUE(std::regex_match(info, std::regex(R"(\[Trash Info\]\nPath=)" + encoded +
                                                  R"(\nDeletionDate=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\n)")))
        << info;

    struct stat st {};
    ASSERT_EQ(::stat(trash.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Trash, SkipsNamesTakenByAnInfoFileOrAnOrphanedEntry) {
    testing::ScopedHome home;
    const fs::path trash = home.dataHome() / "Trash";
    writeFile(trash / "info" / "lumidexData.trashinfo", "older entry");
    writeFile(trash / "files" / "lumidexData.2" / "x", "orphan");
    const fs::path item = home.home() / "lumidexData";
    writeFile(item / "f", "new");

    const TrashResult result = moveToTrash(item);

    ASSERT_TRUE(result) << result.error->message();
    EXPECT_EQ(result.trashedAs, trash / "files" / "lumidexData.3");
    EXPECT_EQ(readFile(trash / "files" / "lumidexData.3" / "f"), "new");
    EXPECT_TRUE(fs::exists(trash / "info" / "lumidexData.3.trashinfo"));
    EXPECT_EQ(readFile(trash / "info" / "lumidexData.trashinfo"), "older entry");
    EXPECT_FALSE(fs::exists(trash / "info" / "lumidexData.2.trashinfo"));
}

TEST(Trash, ConcurrentItemsWithOneNameGetDistinctEntries) {
    testing::ScopedHome home;
    constexpr int count = 8;
    for (int i = 0; i < count; ++i) writeFile(home.home() / std::to_string(i) / "x" / "f", std::to_string(i));

    std::vector<TrashResult> results(count);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] { results[i] = moveToTrash(home.home() / std::to_string(i) / "x"); });
    }

    std::set<std::string> contents;
    for (const TrashResult& r : results) {
        ASSERT_TRUE(r) << r.error->message();
        contents.insert(readFile(r.trashedAs / "f"));
    }
    EXPECT_EQ(contents.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(entryCount(home.dataHome() / "Trash" / "info"), static_cast<std::size_t>(count));
}

TEST(Trash, FailuresLeaveTheItemAndNoInfoBehind) {
    testing::ScopedHome home;
    const TrashResult missing = moveToTrash(home.home() / "nothing-here");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error->step, TrashError::Step::find);

    // The trash lies inside the item: the move itself must fail.
    writeFile(home.dataHome() / "keep", "k");
    const TrashResult intoItself = moveToTrash(home.dataHome());
    ASSERT_FALSE(intoItself);
    EXPECT_EQ(intoItself.error->step, TrashError::Step::move);
    EXPECT_NE(intoItself.error->message().find(home.dataHome().string()), std::string::npos);
    EXPECT_EQ(readFile(home.dataHome() / "keep"), "k");
    EXPECT_EQ(entryCount(home.dataHome() / "Trash" / "info"), 0u);

    fs::remove_all(home.dataHome());
    writeFile(home.dataHome() / "Trash", "a file where the trash belongs");
    writeFile(home.home() / "item", "i");
    const TrashResult noTrash = moveToTrash(home.home() / "item");
    ASSERT_FALSE(noTrash);
    EXPECT_EQ(noTrash.error->step, TrashError::Step::prepareTrash);
    EXPECT_EQ(readFile(home.home() / "item"), "i");
}

TEST(Trash, CopiesAnItemFromAnotherFileSystem) {
    testing::ScopedHome home;
    const fs::path shm = "/dev/shm";
    struct stat a {}, b {};
    if (::stat(shm.c_str(), &a) != 0 || ::stat(home.home().c_str(), &b) != 0 || a.st_dev == b.st_dev ||
        ::access(shm.c_str(), W_OK) != 0)
        GTEST_SKIP() << "needs a writable /dev/shm on another file system";
    testing::TempDir scratch;  // only for a unique name
    const fs::path item = shm / scratch.path().filename();
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } cleanup{item};
    writeFile(item / "sub" / "f", "across");

    const TrashResult result = moveToTrash(item);

    ASSERT_TRUE(result) << result.error->message();
    EXPECT_FALSE(fs::exists(item));
    EXPECT_EQ(readFile(result.trashedAs / "sub" / "f"), "across");
    EXPECT_TRUE(fs::exists(home.dataHome() / "Trash" / "info" / (item.filename().string() + ".trashinfo")));
}

}  // namespace
}  // namespace lumidex::platform
