#include "mail/mail_attachment_text.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <system_error>

namespace lumidex::mail {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string extensionOf(std::optional<std::string_view> filename) {
    if (!filename) return {};
    const size_t dot = filename->rfind('.');
    if (dot == std::string_view::npos || dot + 1 == filename->size()) return {};
    return lower(filename->substr(dot + 1));
}

bool oneOf(std::string_view value, std::initializer_list<std::string_view> options) {
    return std::find(options.begin(), options.end(), value) != options.end();
}

}  // namespace

AttachmentKind attachmentKind(std::string_view contentType, std::optional<std::string_view> filename,
                              std::string_view firstBytes) {
    const std::string type = lower(contentType);
    const std::string extension = extensionOf(filename);
    if (type == "application/pdf" || type == "application/x-pdf" || extension == "pdf" || firstBytes.starts_with("%PDF-")) {
        return AttachmentKind::pdf;
    }
    if (oneOf(type, {"image/png", "image/jpeg", "image/jpg", "image/pjpeg", "image/tiff", "image/gif", "image/bmp",
                     "image/heic"}) ||
        oneOf(extension, {"png", "jpg", "jpeg", "tif", "tiff", "gif", "bmp", "heic"})) {
        return AttachmentKind::image;
    }
    if (type.starts_with("application/vnd.openxmlformats-officedocument.") || type.starts_with("application/vnd.oasis.opendocument.") ||
        oneOf(type, {"application/msword", "application/vnd.ms-excel", "application/vnd.ms-powerpoint", "application/rtf"}) ||
        oneOf(extension, {"doc", "docx", "xls", "xlsx", "ppt", "pptx", "odt", "ods", "odp", "rtf", "pages", "numbers", "key"})) {
        return AttachmentKind::office;
    }
    if ((type.starts_with("text/") && type != "text/rtf") ||
        oneOf(extension, {"txt", "text", "csv", "tsv", "md", "markdown", "log", "ics", "vcs", "htm", "html", "xml", "json"})) {
        return AttachmentKind::text;
    }
    return AttachmentKind::other;
}

TemporaryAttachmentFile::TemporaryAttachmentFile(std::string_view bytes, std::string_view suffix) {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = "/tmp";
    std::string name = (folder / "lumidex-mail-XXXXXX").string() + std::string(suffix);
    const int fd = ::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) {
        error_ = "temporary file: " + std::string(std::strerror(errno));
        return;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = "temporary file: " + std::string(std::strerror(errno));
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && error_.empty()) error_ = "temporary file: " + std::string(std::strerror(errno));
    if (error_.empty()) {
        path_ = name;
    } else {
        ::unlink(name.c_str());
    }
}

TemporaryAttachmentFile::~TemporaryAttachmentFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

AttachmentDecodeOutcome decodeOutcomeOf(const MailAttachmentOcrOutcome& outcome) {
    AttachmentDecodeOutcome out;
    if (const auto* error = std::get_if<MailAttachmentOcrError>(&outcome)) {
        out.error = std::string(message(*error));
        return out;
    }
    const auto& result = std::get<MailAttachmentOcrResult>(outcome);
    out.text = result.combinedText;
    if (result.timedOut) out.error = "time limit reached after part of the pages";
    return out;
}

std::string_view message(MailAttachmentOcrError error) {
    switch (error) {
        case MailAttachmentOcrError::invalidPdf: return "Konnte PDF nicht oeffnen";
    }
    return "Konnte PDF nicht oeffnen";
}

void to_json(nlohmann::json& j, const MailAttachmentOcrResult& result) {
    j = nlohmann::json{{"pageCount", result.pageCount},
                       {"nativeTextLength", result.nativeTextLength},
                       {"ocrFallbackPages", result.ocrFallbackPages},
                       {"combinedText", result.combinedText}};
    if (result.timedOut) j["timedOut"] = true;
}

void from_json(const nlohmann::json& j, MailAttachmentOcrResult& result) {
    result = MailAttachmentOcrResult{};
    if (!j.is_object()) return;
    const auto integer = [&j](const char* key) -> int64_t {
        const auto it = j.find(key);
        return it != j.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
    };
    result.pageCount = integer("pageCount");
    result.nativeTextLength = integer("nativeTextLength");
    result.ocrFallbackPages = integer("ocrFallbackPages");
    if (const auto it = j.find("combinedText"); it != j.end() && it->is_string()) result.combinedText = it->get<std::string>();
    if (const auto it = j.find("timedOut"); it != j.end() && it->is_boolean()) result.timedOut = it->get<bool>();
}

}  // namespace lumidex::mail
