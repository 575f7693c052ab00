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

}  // namespace
}  // namespace lumidex::platform
