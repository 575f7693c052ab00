#include "folders/scanning/file_types.h"

#include <algorithm>

namespace lumidex::folders {
namespace {

constexpr std::array<SupportedFileType, kSupportedFileTypeCount> kSupported{{
    {"pdf", FileRoute::pdf},
    {"heic", FileRoute::image},  {"eps", FileRoute::image},     {"pcx", FileRoute::image},
    {"bmp", FileRoute::image},   {"jpeg", FileRoute::image},    {"jpg", FileRoute::image},
    {"png", FileRoute::image},   {"tif", FileRoute::image},     {"tiff", FileRoute::image},
    {"psd", FileRoute::image},   {"gif", FileRoute::image},     {"raw", FileRoute::image},
    {"txt", FileRoute::text},    {"rtf", FileRoute::text},      {"rtfd", FileRoute::text},
    {"swift", FileRoute::text},  {"md", FileRoute::text},
    {"odt", FileRoute::cloud},   {"ods", FileRoute::cloud},     {"odp", FileRoute::cloud},
    {"keynote", FileRoute::cloud}, {"pptx", FileRoute::cloud},  {"key", FileRoute::cloud},
    {"pages", FileRoute::cloud}, {"docx", FileRoute::cloud},    {"doc", FileRoute::cloud},
    {"dotx", FileRoute::cloud},  {"numbers", FileRoute::cloud}, {"xlsx", FileRoute::cloud},
    {"xlsm", FileRoute::cloud},  {"xls", FileRoute::cloud},     {"csv", FileRoute::cloud},
}};

struct CloudKindEntry {
    std::string_view extension;
    CloudDocumentKind kind;
};

constexpr std::array<CloudKindEntry, 15> kCloudKinds{{
    {"docx", CloudDocumentKind::document},      {"doc", CloudDocumentKind::document},
    {"dotx", CloudDocumentKind::document},      {"pages", CloudDocumentKind::document},
    {"odt", CloudDocumentKind::document},       {"xlsx", CloudDocumentKind::spreadsheet},
    {"xls", CloudDocumentKind::spreadsheet},    {"xlsm", CloudDocumentKind::spreadsheet},
    {"csv", CloudDocumentKind::spreadsheet},    {"numbers", CloudDocumentKind::spreadsheet},
    {"ods", CloudDocumentKind::spreadsheet},    {"pptx", CloudDocumentKind::presentation},
    {"key", CloudDocumentKind::presentation},   {"keynote", CloudDocumentKind::presentation},
    {"odp", CloudDocumentKind::presentation},
}};

}  // namespace

const std::array<SupportedFileType, kSupportedFileTypeCount>& supportedFileTypes() { return kSupported; }

std::optional<FileRoute> routeForExtension(std::string_view lowerCaseExtension) {
    for (const auto& type : kSupported) {
        if (type.extension == lowerCaseExtension) return type.route;
    }
    return std::nullopt;
}

bool isSupportedExtension(std::string_view lowerCaseExtension) {
    return routeForExtension(lowerCaseExtension).has_value();
}

std::optional<CloudDocumentKind> cloudDocumentKind(std::string_view lowerCaseExtension) {
    for (const auto& entry : kCloudKinds) {
        if (entry.extension == lowerCaseExtension) return entry.kind;
    }
    return std::nullopt;
}

std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) return path;
    return path.substr(slash + 1);
}

std::string lowerCaseExtension(std::string_view path) {
    const std::string_view name = lastPathComponent(path);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
    return asciiLowerCase(name.substr(dot + 1));
}

std::string asciiLowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

}  // namespace lumidex::folders
