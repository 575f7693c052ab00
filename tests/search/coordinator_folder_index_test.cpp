#include "search/coordinator_folder_index.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "folders/coordinator/core_manager_data.h"
#include "support/temp_home.h"

namespace lumidex::search {
namespace {

TEST(CoordinatorFolderList, KeepsOneAdapterPerConfiguredFolder) {
    testing::TempDir dir;
    std::filesystem::create_directories(dir.path() / "docs");
    folders::CoreManagerDataDependencies dependencies;
    dependencies.dataDirectory = dir.path() / "data";
    folders::CoreManagerData core(std::move(dependencies));
    const std::string folder = (dir.path() / "docs").string();
    core.addFolder(folder);

    const FolderListFunction list = coordinatorFolderList(core);
    const auto first = list();
    const auto second = list();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    // The search drops folders whose adapter is missing from a later listing.
    EXPECT_EQ(first[0], second[0]);

    core.removeFolder(folder);
    EXPECT_TRUE(list().empty());
    core.addFolder(folder);
    const auto readded = list();
    ASSERT_EQ(readded.size(), 1u);
    EXPECT_NE(readded[0], first[0]);
}

}  // namespace
}  // namespace lumidex::search
