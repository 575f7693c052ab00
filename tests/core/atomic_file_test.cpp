#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "support/temp_home.h"

namespace lumidex {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Makes every write beyond `bytes` fail with EFBIG for the lifetime of the object. Works as root, where
// permission bits do not stop writes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

TEST(AtomicFile, CreatesAndReplacesWithGivenPermissionsAndNoLeftovers) {
    TempDir dir;
    const auto target = dir / "config.json";
    ASSERT_FALSE(writeFileAtomically(target, "first"));
    ASSERT_FALSE(writeFileAtomically(target, "second", fs::perms::owner_read | fs::perms::owner_write));
    EXPECT_EQ(readFile(target), "second");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"config.json"});

    // Cache files skip the disk syncs but are replaced the same way.
    ASSERT_FALSE(writeFileAtomically(target, "third", defaultFilePermissions, FileDurability::cache));
    EXPECT_EQ(readFile(target), "third");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"config.json"});
}

TEST(AtomicFile, ReplacesTheTargetOfASymbolicLink) {
    TempDir dir;
    fs::create_directory(dir / "dotfiles");
    writeFile(dir / "dotfiles" / "real.json", "old");
    fs::create_symlink(dir / "dotfiles" / "real.json", dir / "link.json");
    ASSERT_FALSE(writeFileAtomically(dir / "link.json", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
    EXPECT_EQ(readFile(dir / "dotfiles" / "real.json"), "new");
}

TEST(AtomicFile, FailureWhenFolderIsAFileIsReadable) {
    TempDir dir;
    writeFile(dir / "plain", "x");
    const auto error = writeFileAtomically(dir / "plain" / "config.json", "data");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, FileWriteError::Step::createTemporary);
    EXPECT_NE(error->message().find((dir / "plain" / "config.json").string()), std::string::npos);
    EXPECT_NE(error->message().find("Not a directory"), std::string::npos) << error->message();
}

TEST(AtomicFile, FailedRenameLeavesTargetAndNoTemporaryFile) {
    TempDir dir;
    fs::create_directory(dir / "target");
    writeFile(dir / "target" / "inside", "keep");
    const auto error = writeFileAtomically(dir / "target", "data");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, FileWriteError::Step::replace);
    EXPECT_EQ(readFile(dir / "target" / "inside"), "keep");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"target"});
}

TEST(AtomicFile, FailedWriteKeepsPreviousContent) {
    TempDir dir;
    const auto target = dir / "config.json";
    ASSERT_FALSE(writeFileAtomically(target, "previous"));
    std::optional<FileWriteError> error;
    {
        FileSizeLimit limit(1024);
        error = writeFileAtomically(target, std::string(8192, 'x'));
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, FileWriteError::Step::write);
    EXPECT_EQ(readFile(target), "previous");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"config.json"});
}

}  // namespace
}  // namespace lumidex
