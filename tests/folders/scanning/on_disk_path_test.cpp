#include "folders/scanning/on_disk_path.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/unicode.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

TEST(OnDiskPath, FindsDecomposedNamesByTheirNfcPath) {
    testing::TempDir dir;
    const std::string nfdFolder = platform::toNfd("Bel\xc3\xa4ge");   // "Beläge" decomposed
    const std::string nfdFile = platform::toNfd("R\xc3\xbc" "ckgabe.txt");
    std::filesystem::create_directories(dir.path() / nfdFolder);
    testing::writeFile(dir.path() / nfdFolder / nfdFile, "x");

    const std::string nfcPath = platform::toNfc((dir.path() / nfdFolder / nfdFile).string());
    ASSERT_NE(nfcPath, (dir.path() / nfdFolder / nfdFile).string());
    EXPECT_EQ(onDiskPath(nfcPath), (dir.path() / nfdFolder / nfdFile).string());
}

TEST(OnDiskPath, ReturnsExistingAndMissingPathsUnchanged) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "plain.txt", "x");
    EXPECT_EQ(onDiskPath((dir.path() / "plain.txt").string()), (dir.path() / "plain.txt").string());
    const std::string missing = (dir.path() / "gone" / "file.txt").string();
    EXPECT_EQ(onDiskPath(missing), missing);
}

}  // namespace
}  // namespace lumidex::folders
