#include <gtest/gtest.h>

#include <set>

#include "folders/scanning/file_candidate.h"
#include "folders/scanning/file_types.h"

namespace lumidex::folders {
namespace {

TEST(FileTypes, EachExtensionHasOneRouteAndOnlyOfficeTypesHaveADisplayKind) {
    std::set<std::string_view> seen;
    for (const auto& type : supportedFileTypes()) {
        EXPECT_TRUE(seen.insert(type.extension).second) << type.extension;
        EXPECT_EQ(cloudDocumentKind(type.extension).has_value(), type.route == FileRoute::cloud) << type.extension;
    }
    EXPECT_EQ(cloudDocumentKind("key"), CloudDocumentKind::presentation);
    EXPECT_EQ(cloudDocumentKind("csv"), CloudDocumentKind::spreadsheet);
}

TEST(FileTypes, ExtensionsAreReadFromTheLastComponentInLowerCase) {
    EXPECT_EQ(lowerCaseExtension("/a/REPORT.PDF"), "pdf");
    EXPECT_EQ(lowerCaseExtension("/a.b/notes"), "");
    EXPECT_EQ(lowerCaseExtension("/a/.profile"), "");
    EXPECT_EQ(lowerCaseExtension("/a/notes."), "");
    EXPECT_EQ(lowerCaseExtension("/a/archive.tar.GZ"), "gz");
    EXPECT_EQ(lowerCaseExtension("/a/Letter.rtfd/"), "rtfd");
    EXPECT_EQ(routeForExtension("jpg"), FileRoute::image);
    EXPECT_FALSE(routeForExtension("JPG"));  // callers lower-case first
}

TEST(FileTypes, ExclusionOnlyNarrowsSupportedTypes) {
    const ExtensionSet excluded = {"pdf"};
    EXPECT_FALSE(canProcess("pdf", &excluded));
    EXPECT_TRUE(canProcess("pdf", nullptr));
    EXPECT_TRUE(canProcess("txt", &excluded));
    EXPECT_FALSE(canProcess("", nullptr));
    EXPECT_FALSE(canProcess("exe", nullptr));
}

}  // namespace
}  // namespace lumidex::folders
