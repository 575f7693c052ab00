#include "search/file_type_category.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace lumidex::search {
namespace {

struct CategoryRow {
    FileTypeCategory category;
    std::string_view raw;
    std::vector<std::string_view> extensions;
};

// Checked in this order: the first category listing the extension wins.
const std::array<CategoryRow, 6>& table() {
    static const std::array<CategoryRow, 6> rows = {{
        {FileTypeCategory::pdf, "pdf", {"pdf"}},
        {FileTypeCategory::images, "images",
         {"heic", "eps", "pcx", "bmp", "jpeg", "jpg", "png", "tif", "tiff", "psd", "gif", "raw"}},
        {FileTypeCategory::text, "text", {"txt", "rtf", "rtfd", "swift", "md"}},
        {FileTypeCategory::documents, "documents", {"docx", "doc", "dotx", "pages", "odt"}},
        {FileTypeCategory::spreadsheets, "spreadsheets", {"xlsx", "xls", "xlsm", "csv", "numbers", "ods"}},
        {FileTypeCategory::presentations, "presentations", {"pptx", "key", "keynote", "odp"}},
    }};
    return rows;
}

}  // namespace

std::string_view rawValue(FileTypeCategory category) {
    for (const CategoryRow& row : table()) {
        if (row.category == category) return row.raw;
    }
    return {};
}

std::optional<FileTypeCategory> fileTypeCategoryFromRaw(std::string_view raw) {
    for (const CategoryRow& row : table()) {
        if (row.raw == raw) return row.category;
    }
    return std::nullopt;
}

const std::vector<FileTypeCategory>& allFileTypeCategories() {
    static const std::vector<FileTypeCategory> all = [] {
        std::vector<FileTypeCategory> v;
        for (const CategoryRow& row : table()) v.push_back(row.category);
        return v;
    }();
    return all;
}

std::optional<FileTypeCategory> fileTypeCategoryForFileName(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == fileName.size()) return std::nullopt;
    std::string extension(fileName.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    for (const CategoryRow& row : table()) {
        if (std::find(row.extensions.begin(), row.extensions.end(), extension) != row.extensions.end()) {
            return row.category;
        }
    }
    return std::nullopt;
}

}  // namespace lumidex::search
