#include "mail/mail_attachment_ocr.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>

#include "platform/image_decoder.h"
#include "platform/ocr_engine_pool.h"
#include "mail/mail_attachment_text.h"
#include "platform/pdf_document.h"

namespace lumidex::mail {

namespace {

// Recognition reads body text well at about 200 pixels per inch; larger pages are scaled down so that the
// longer side stays within what the recogniser handles quickly.
constexpr double kRenderScale = 200.0 / 72.0;
constexpr double kMaxRenderSide = 4096.0;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Code points of UTF-8 text: every byte that does not continue a sequence.
int64_t codePoints(std::string_view text) {
    return std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

std::optional<platform::Bitmap> renderForRecognition(const platform::PdfDocument& document, int page) {
    const auto box = document.mediaBox(page);
    if (!box || !(box->width > 0) || !(box->height > 0) || !std::isfinite(box->width) || !std::isfinite(box->height)) {
        return std::nullopt;
    }
    const double scale = std::min(kRenderScale, kMaxRenderSide / std::max(box->width, box->height));
    const int width = std::max(1, static_cast<int>(std::lround(box->width * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(box->height * scale)));
    return document.renderPage(page, width, height, platform::PdfRenderColor::gray);
}

void appendBlock(std::string& out, std::string_view header, std::string_view text) {
    if (!out.empty()) out += "\n\n";
    out += header;
    out += text;
}

}  // namespace

PageRecognizer poolRecognizer(platform::OcrEnginePool& pool) {
    return [&pool](const platform::Bitmap& bitmap) -> std::optional<std::string> {
        const platform::OcrOutcome outcome = pool.submit(std::make_shared<const platform::Bitmap>(bitmap)).get();
        if (!outcome) return std::nullopt;
        std::string text;
        for (const platform::OcrLine& line : outcome.lines) {
            if (!text.empty()) text += '\n';
            text += line.text;
        }
        return text;
    };
}

MailAttachmentOcr::MailAttachmentOcr(PageRecognizer recognizer, Clock::time_point deadline)
    : recognizer_(std::move(recognizer)), deadline_(deadline) {}

MailAttachmentOcrOutcome MailAttachmentOcr::extract(const platform::PdfDocument& document, bool ocrFallback) const {
    if (document.isLocked()) return MailAttachmentOcrError::invalidPdf;
    MailAttachmentOcrResult result;
    result.pageCount = document.pageCount();
    const bool recognise = ocrFallback && static_cast<bool>(recognizer_);
    for (int page = 0; page < result.pageCount; ++page) {
        if (Clock::now() >= deadline_) {
            result.timedOut = true;
            break;
        }
        const std::string native = document.pageText(page);
        const std::string_view text = trimmed(native);
        const std::string number = std::to_string(page + 1);
        const int64_t length = codePoints(text);
        if (length >= static_cast<int64_t>(kNativePageTextMinimum) || !recognise) {
            if (text.empty()) continue;
            appendBlock(result.combinedText, "[page " + number + " native]\n", text);
            result.nativeTextLength += length;
            continue;
        }
        ++result.ocrFallbackPages;
        const auto bitmap = renderForRecognition(document, page);
        std::optional<std::string> recognised = bitmap ? recognizer_(*bitmap) : std::nullopt;
        const std::string_view found = recognised ? trimmed(*recognised) : std::string_view{};
        if (!found.empty()) {
            appendBlock(result.combinedText, "[page " + number + " ocr]\n", found);
        } else if (!text.empty()) {
            appendBlock(result.combinedText, "[page " + number + " native]\n", text);
            result.nativeTextLength += length;
        }
    }
    return result;
}

MailAttachmentOcrOutcome MailAttachmentOcr::extractPdfFile(const std::filesystem::path& path, bool ocrFallback) const {
    const platform::PdfOpenResult opened = platform::openPdfDocument(path);
    if (!opened) return MailAttachmentOcrError::invalidPdf;
    return extract(*opened.document, ocrFallback);
}

std::optional<MailAttachmentOcrResult> MailAttachmentOcr::extractImage(const platform::Bitmap& image) const {
    if (!recognizer_ || !image.isValid()) return std::nullopt;
    const std::optional<std::string> text = recognizer_(image);
    if (!text) return std::nullopt;
    MailAttachmentOcrResult result;
    result.pageCount = 1;
    result.ocrFallbackPages = 1;
    result.combinedText = std::string(trimmed(*text));
    return result;
}

std::optional<MailAttachmentOcrResult> MailAttachmentOcr::extractImageFile(const std::filesystem::path& path) const {
    if (!recognizer_) return std::nullopt;
    const auto decoder = platform::makeImageDecoder();
    platform::ImageDecodeResult decoded = decoder->decodeFile(path);
    if (!decoded) return std::nullopt;
    return extractImage(*decoded.bitmap);
}

AttachmentDecodeOutcome InProcessAttachmentDecoder::decode(const AttachmentDecodeRequest& request, Clock::time_point deadline) {
    const bool pdf = request.kind == AttachmentKind::pdf;
    if (!pdf && request.kind != AttachmentKind::image) return {{}, "not a PDF or image"};
    const TemporaryAttachmentFile file(request.bytes, pdf ? ".pdf" : ".img");
    if (file.path().empty()) return {{}, file.error()};
    const MailAttachmentOcr ocr(recognizer_, deadline);
    if (pdf) return decodeOutcomeOf(ocr.extractPdfFile(file.path(), request.ocrFallback));
    const auto result = ocr.extractImageFile(file.path());
    if (!result) return {{}, "image not readable"};
    return {result->combinedText, std::nullopt};
}

}  // namespace lumidex::mail
