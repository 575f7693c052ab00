// The file types the pipeline can process: one table shared by the scanner (is a file worth processing?)
// and by processing (which extractor gets it?). Extensions are compared in lower case, without the dot.
// Pure functions over constant data; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumidex::folders {

// Which extractor handles a supported file.
enum class FileRoute { pdf, image, text, cloud };

// The finer split of the cloud set, for display and filtering.
enum class CloudDocumentKind { document, spreadsheet, presentation };

struct SupportedFileType {
    std::string_view extension;
    FileRoute route;
};

inline constexpr std::size_t kSupportedFileTypeCount = 33;

// The supported extensions in their fixed order: pdf, then the 12 image, 5 text and 15 cloud types.
const std::array<SupportedFileType, kSupportedFileTypeCount>& supportedFileTypes();

bool isSupportedExtension(std::string_view lowerCaseExtension);
std::optional<FileRoute> routeForExtension(std::string_view lowerCaseExtension);
std::optional<CloudDocumentKind> cloudDocumentKind(std::string_view lowerCaseExtension);

// The lower-case extension of the last path component ("" when it has none). A leading dot does not
// start an extension (".profile" has none), and neither does a trailing one ("notes." has none).
std::string lowerCaseExtension(std::string_view path);

// The last path component, ignoring trailing slashes.
std::string_view lastPathComponent(std::string_view path);

// ASCII lower-casing; extensions and the folder names the scanner compares are plain ASCII.
std::string asciiLowerCase(std::string_view text);

}  // namespace lumidex::folders
