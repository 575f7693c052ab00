#include "platform/paths.h"

#include <gtest/gtest.h>
#include <cstdlib>

#include "support/temp_home.h"

namespace lumidex::platform {
namespace {

TEST(UserDirectories, FollowTheXdgVariables) {
    testing::ScopedHome home;
    const UserDirectories d = userDirectories();
    EXPECT_EQ(d.home, home.home());
    EXPECT_EQ(d.applicationSupport, home.dataHome());
    EXPECT_EQ(d.appDocuments, home.stateHome() / "lumidex");
    EXPECT_EQ(d.settingsDirectory, home.configHome() / "lumidex");
    EXPECT_EQ(d.realDocuments, home.home() / "Documents");
    EXPECT_EQ(d.trashHome, home.dataHome() / "Trash");
}

TEST(UserDirectories, IgnoreUnsetAndRelativeValues) {
    testing::ScopedHome home;
    unsetenv("XDG_DATA_HOME");
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);
    const UserDirectories d = userDirectories();
    EXPECT_EQ(d.applicationSupport, home.home() / ".local/share");
    EXPECT_EQ(d.settingsDirectory, home.home() / ".config/lumidex");
}

}  // namespace
}  // namespace lumidex::platform
