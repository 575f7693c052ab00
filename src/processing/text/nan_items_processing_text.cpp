#include "processing/text/nan_items_processing_text.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "core/app_log.h"
#include "core/hashing.h"
#include "folders/scanning/file_types.h"
#include "processing/text/rtf_reader.h"
#include "processing/text/text_decoding.h"

namespace lumidex::processing {
namespace {

namespace fs = std::filesystem;

TextFileExtraction failed(NanItemProcessingStates state, std::string message) {
    TextFileExtraction result;
    result.state = state;
    result.message = std::move(message);
    return result;
}

TextFileExtraction tooLarge(std::uintmax_t size, std::uintmax_t limit) {
    return failed(NanItemProcessingStates::notSupported,
                  "The file has " + std::to_string(size) + " bytes, more than the limit of " + std::to_string(limit) +
                      " bytes (setting maxTextFileSizeBytes), and is not read.");
}

// Reads at most `limit` + 1 bytes, so a file that grew after its size was checked stays bounded.
bool readBounded(const fs::path& path, std::uintmax_t limit, std::string& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "The file could not be opened.";
        return false;
    }
    bytes.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(limit + 1, 64u * 1024 * 1024)));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        error = "The file could not be read.";
        return false;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

}  // namespace

NanItemsProcessingText::NanItemsProcessingText(TextExtractionLimits limits) : limits_(limits) {}

TextFileExtraction NanItemsProcessingText::extract(const fs::path& path) const {
    const std::string extension = folders::lowerCaseExtension(path.string());
    fs::path source = path;
    std::error_code ec;
    if (extension == "rtfd" && fs::is_directory(path, ec)) {
        source = path / "TXT.rtf";
        if (!fs::is_regular_file(source, ec)) {
            auto result = failed(NanItemProcessingStates::error, "The RTFD package has no TXT.rtf.");
            appLog("Textdatei nicht lesbar: " + path.string() + ": " + result.message);
            return result;
        }
    }
    const std::uintmax_t size = fs::file_size(source, ec);
    if (ec) {
        auto result = failed(NanItemProcessingStates::error, "The file size could not be read: " + ec.message());
        appLog("Textdatei nicht lesbar: " + path.string() + ": " + result.message);
        return result;
    }
    if (size > limits_.maxFileBytes) return tooLarge(size, limits_.maxFileBytes);

    std::string bytes;
    std::string readError;
    if (!readBounded(source, limits_.maxFileBytes, bytes, readError)) {
        auto result = failed(NanItemProcessingStates::error, readError);
        appLog("Textdatei nicht lesbar: " + path.string() + ": " + result.message);
        return result;
    }
    if (bytes.size() > limits_.maxFileBytes) return tooLarge(bytes.size(), limits_.maxFileBytes);

    TextFileExtraction result;
    if (extension == "rtf" || extension == "rtfd") {
        RtfText rtf = readRtf(bytes);
        if (!rtf.ok()) {
            result = failed(NanItemProcessingStates::error, rtf.errorMessage());
            appLog("Textdatei nicht lesbar: " + path.string() + ": " + result.message);
            return result;
        }
        result.text = std::move(rtf.text);
        result.encoding = "RTF " + rtf.documentCharset;
        result.warnings = std::move(rtf.warnings);
        if (rtf.unbalancedBraces) result.warnings.emplace_back("unbalanced braces (truncated or damaged RTF)");
    } else {
        DecodedText decoded = decodePlainText(bytes);
        if (decoded.error) {
            result = failed(NanItemProcessingStates::error, *decoded.error);
            appLog("Textdatei nicht lesbar: " + path.string() + ": " + result.message);
            return result;
        }
        result.text = std::move(decoded.text);
        result.encoding = std::move(decoded.encoding);
    }
    for (const auto& warning : result.warnings) appLog("Textdatei " + path.string() + ": " + warning);

    result.state = NanItemProcessingStates::complete;
    result.totalPageCount = 1;
    result.contentHash = contentHash(result.text);
    result.previewPages = TextToPdfGenerator(limits_.pageLayout).layoutPages(result.text);
    return result;
}

void NanItemsProcessingText::apply(const TextFileExtraction& result, NanItem& item) {
    item.processingState = result.state;
    item.totalPageCount = result.totalPageCount;
    item.contentHash = result.contentHash;
}

}  // namespace lumidex::processing
