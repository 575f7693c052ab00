#include <gtest/gtest.h>

#include <set>

#include "folders/scanning/file_candidate.h"
#include "folders/scanning/file_types.h"

namespace lumidex::folders {
namespace {

TEST(FileTypes, TheSupportedTableHasItsFixedOrderAndRoutes) {
    const auto& types = supportedFileTypes();
    std::vector<std::string_view> order;
    std::map<FileRoute, int> perRoute;
    for (const auto& type : types) {
        order.push_back(type.extension);
        ++perRoute[type.route];
    }
    const std::vector<std::string_view> expected = {
        "pdf", "heic", "eps", "pcx", "bmp", "jpeg", "jpg", "png", "tif", "tiff", "psd", "gif", "raw", "txt", "rtf", "rtfd", "swift",
        "md", "odt", "ods", "odp", "keynote", "pptx", "key", "pages", "docx", "doc", "dotx", "numbers", "xlsx", "xlsm", "xls", "csv"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(std::set<std::string_view>(order.begin(), order.end()).size(), 33u);
    EXPECT_EQ(perRoute[FileRoute::pdf], 1);
    EXPECT_EQ(perRoute[FileRoute::image], 12);
    EXPECT_EQ(perRoute[FileRoute::text], 5);
    EXPECT_EQ(perRoute[FileRoute::cloud], 15);
    // Every cloud type has exactly one display kind, and nothing else has one.
    for (const auto& type : types) {
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
