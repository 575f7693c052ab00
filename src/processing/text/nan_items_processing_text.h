// The extractor for plain and rich text files ("txt", "rtf", "rtfd", "swift", "md").
//
// extract() reads one file and returns its text, page count, preview pages and the processing state
// the item ends in; it does not touch the stores (the run persists the result through the coordinator).
//   - larger than maxFileBytes (size from the file's attributes; for an RTFD package, its TXT.rtf):
//     not read, state notSupported, no text, totalPageCount 0;
//   - "rtfd": the package's TXT.rtf (a flat file with RTF content is accepted as well); "rtf": RTF;
//     any other extension: plain text with encoding detection (see text_decoding.h);
//   - success: state complete, the text as one page (totalPageCount 1), contentHash from the text,
//     preview pages from TextToPdfGenerator;
//   - a file that cannot be read, is not RTF where RTF is expected, nests too deeply or holds binary
//     data: state error with a readable message.
// Failures are logged to the debug log. Stateless: a run creates one and may call it from any thread.
// Never throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/model/enums.h"
#include "core/model/nan_item.h"
#include "processing/text/text_to_pdf_generator.h"

namespace lumidex::processing {

struct TextExtractionLimits {
    std::uintmax_t maxFileBytes = 512000;
    TextPageLayout pageLayout{};
};

struct TextFileExtraction {
    NanItemProcessingStates state = NanItemProcessingStates::error;
    std::string text;  // UTF-8, not folded
    int64_t totalPageCount = 0;
    uint32_t contentHash = 0;
    std::vector<std::string> previewPages;  // TextToPdfGenerator pages; empty unless complete
    std::string encoding;                   // e.g. "UTF-8", "windows-1252", "RTF windows-1252"
    std::string message;                    // why the file was not read; empty on success
    std::vector<std::string> warnings;      // read, but with reservations (unbalanced RTF braces, ...)

    bool succeeded() const { return state == NanItemProcessingStates::complete; }
};

class NanItemsProcessingText {
public:
    explicit NanItemsProcessingText(TextExtractionLimits limits = {});

    TextFileExtraction extract(const std::filesystem::path& path) const;
    // Writes the result's content fields (state, totalPageCount, contentHash) into the item.
    static void apply(const TextFileExtraction& result, NanItem& item);

    const TextExtractionLimits& limits() const { return limits_; }

private:
    TextExtractionLimits limits_;
};

}  // namespace lumidex::processing
