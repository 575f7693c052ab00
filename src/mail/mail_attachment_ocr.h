// The text of PDF and image attachments: a PDF's embedded text page by page, with text recognition for
// the pages that have (almost) none, and the recognised text of an image.
//
// A PDF page whose embedded text has at least kNativePageTextMinimum characters (Unicode code points,
// surrounding white space not counted) is taken as it is, headed "[page N native]"; any other page is
// rendered and recognised when the fallback is on, headed "[page N ocr]" (a page recognition finds
// nothing on keeps what little embedded text it has). Blocks are joined with an empty line.
//
// The decoders here parse untrusted bytes in this process: the indexer runs them in an extraction worker
// (processing/mail_attachment_jobs.h), so that a crash ends one attachment, not the indexer.
// Thread-safety: a MailAttachmentOcr is immutable; calls may run on several threads when the recognizer
// allows it. Nothing throws except std::bad_alloc.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/bitmap.h"

namespace lumidex::platform {
class PdfDocument;
class OcrEnginePool;
}  // namespace lumidex::platform

namespace lumidex::mail {

inline constexpr std::size_t kNativePageTextMinimum = 40;

struct MailAttachmentOcrResult {
    int64_t pageCount = 0;
    int64_t nativeTextLength = 0;  // code points of embedded text used
    int64_t ocrFallbackPages = 0;  // pages handed to recognition
    std::string combinedText;
    bool timedOut = false;  // the deadline passed before the last page; the text is what came before
    bool operator==(const MailAttachmentOcrResult&) const = default;
};

enum class MailAttachmentOcrError { invalidPdf };

// "Konnte PDF nicht oeffnen".
std::string_view message(MailAttachmentOcrError error);

using MailAttachmentOcrOutcome = std::variant<MailAttachmentOcrResult, MailAttachmentOcrError>;

// The text recognised on one bitmap, lines separated by line feeds; nullopt when recognition failed.
using PageRecognizer = std::function<std::optional<std::string>(const platform::Bitmap&)>;

// Recognition on the engines of `pool` (which must outlive the recognizer); blocks until the page is done.
PageRecognizer poolRecognizer(platform::OcrEnginePool& pool);

class MailAttachmentOcr {
public:
    using Clock = std::chrono::steady_clock;

    // recognizer empty: no recognition (pages without text stay without text, images give nothing).
    explicit MailAttachmentOcr(PageRecognizer recognizer, Clock::time_point deadline = Clock::time_point::max());

    MailAttachmentOcrOutcome extract(const platform::PdfDocument& document, bool ocrFallback) const;
    // A PDF file; invalidPdf when it cannot be opened or is locked by a password.
    MailAttachmentOcrOutcome extractPdfFile(const std::filesystem::path& path, bool ocrFallback) const;
    // An image: its recognised text, one page; nullopt when it cannot be decoded or recognised.
    std::optional<MailAttachmentOcrResult> extractImage(const platform::Bitmap& image) const;
    std::optional<MailAttachmentOcrResult> extractImageFile(const std::filesystem::path& path) const;

private:
    PageRecognizer recognizer_;
    Clock::time_point deadline_;
};

void to_json(nlohmann::json& j, const MailAttachmentOcrResult& result);
void from_json(const nlohmann::json& j, MailAttachmentOcrResult& result);

}  // namespace lumidex::mail
