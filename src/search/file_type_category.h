// The kinds of file the result filter offers, derived from a file name's lower-cased extension.
// Pure functions, thread-safe.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace lumidex::search {

enum class FileTypeCategory { pdf, images, text, documents, spreadsheets, presentations };

// "pdf", "images", "text", "documents", "spreadsheets", "presentations".
std::string_view rawValue(FileTypeCategory category);
std::optional<FileTypeCategory> fileTypeCategoryFromRaw(std::string_view raw);
// Every case, in declaration order.
const std::vector<FileTypeCategory>& allFileTypeCategories();

// The category of "scan.JPG" is images; a name without a known extension (or a mail subject) has none.
std::optional<FileTypeCategory> fileTypeCategoryForFileName(std::string_view fileName);

}  // namespace lumidex::search
