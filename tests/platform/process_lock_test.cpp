#include "platform/process_lock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/temp_home.h"

namespace lumidex::platform {
namespace {

// Whether another process could take the lock on `directory` right now (util-linux's flock, no waiting).
bool anotherProcessCanLock(const std::filesystem::path& directory) {
    const std::string command = "flock -n '" + directory.string() + "' true";
    return std::system(command.c_str()) == 0;
}

TEST(ProcessLock, HeldUntilExitAgainstOtherProcessesOnly) {
    testing::TempDir dir;
    const auto mine = dir.path() / "mine";
    const auto theirs = dir.path() / "theirs";
    std::filesystem::create_directories(mine);
    std::filesystem::create_directories(theirs);

    ASSERT_TRUE(anotherProcessCanLock(mine));
    EXPECT_TRUE(holdDirectoryLockUntilExit(mine));
    EXPECT_TRUE(holdDirectoryLockUntilExit(mine / "."));  // asked again: still ours
    EXPECT_FALSE(anotherProcessCanLock(mine));
    EXPECT_TRUE(anotherProcessCanLock(theirs));

    EXPECT_FALSE(holdDirectoryLockUntilExit(dir.path() / "missing"));
}

TEST(ProcessLock, TryingTheWriterLockNamesTheHolderInsteadOfWaiting) {
    testing::TempDir dir;
    const auto file = dir.path() / "sub" / "mail.lock";
    std::string error;
    auto held = WriterLock::acquire(file, "lumidex serve (process 1)", nullptr, error);
    ASSERT_TRUE(held) << error;
    std::string heldBy;
    EXPECT_FALSE(WriterLock::tryAcquire(file, "lumidex window", heldBy, error));
    EXPECT_EQ(heldBy, "lumidex serve (process 1)");
    EXPECT_TRUE(error.empty());
    held.reset();
    heldBy.clear();
    EXPECT_TRUE(WriterLock::tryAcquire(file, "lumidex window", heldBy, error));
    EXPECT_TRUE(heldBy.empty());
}

}  // namespace
}  // namespace lumidex::platform
