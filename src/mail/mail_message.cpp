#include "mail/mail_message.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <system_error>

#include "core/ascii_text.h"
#include "mail/mail_text.h"

namespace lumidex::mail {
namespace {

constexpr std::size_t kMaxPrefixText = 256;

// The longest prefix of TEXT, at most LIMIT bytes, that ends on a character boundary.
std::string_view cutAtCharacter(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    // A UTF-8 character is at most four bytes; further back it was not UTF-8 anyway.
    while (end > 0 && limit - end < 3 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
    return text.substr(0, end);
}

std::optional<int64_t> parseFlags(std::string_view plist) {
    const size_t key = plist.find("<key>flags</key>");
    if (key == std::string_view::npos) return std::nullopt;
    auto rest = plist.substr(key + 16);
    rest = rest.substr(std::min(rest.size(), rest.find_first_not_of(" \t\r\n")));
    if (!rest.starts_with("<integer>")) return std::nullopt;
    rest.remove_prefix(9);
    int64_t flags = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), flags);
    const std::string_view after(end, static_cast<size_t>(rest.data() + rest.size() - end));
    if (error != std::errc() || !after.starts_with("</integer>")) return std::nullopt;
    return flags;
}

ParsedEmlx parseRfc5322(std::string_view message) {
    ParsedEmlx parsed;
    const MimeEntity entity = splitEntity(message);
    parsed.rawFields = parseHeaderFields(entity.header);
    for (const auto& field : parsed.rawFields) {
        parsed.headers.emplace(utf8OrLatin1(field.name), decodeEncodedWords(field.value));
    }
    parsed.bodyByteCount = static_cast<int64_t>(entity.body.size());
    const auto encoding = findHeader(parsed.rawFields, "content-transfer-encoding").value_or("");
    // Four times the limit decodes to more than the limit in every transfer encoding.
    const std::string decoded = decodeTransferEncoding(entity.body.substr(0, 4 * kBodyPreviewLimit), encoding);
    parsed.bodyPreview = std::string(cutAtCharacter(utf8OrLatin1(cutAtCharacter(decoded, kBodyPreviewLimit)), kBodyPreviewLimit));
    parsed.rawBody = std::string(entity.body);
    return parsed;
}

struct Candidate {
    std::string contentType;
    std::string transferEncoding;
    std::string_view body;
};

// One non-multipart body as text.
std::optional<std::string> leafText(std::string_view contentType, std::string_view transferEncoding, std::string_view bytes) {
    if (isEncryptedContentType(contentType)) return std::nullopt;
    const std::string type = mimeType(contentType);
    const std::string text = decodeBody(decodeTransferEncoding(bytes, transferEncoding), headerParameter(contentType, "charset").value_or(""));
    if (text.find('\0') != std::string::npos) return std::nullopt;
    std::string result;
    if (type == "text/html") {
        result = normalizeText(htmlToText(text));
    } else if (type == "text/calendar") {
        result = normalizeText(calendarToText(text));
    } else {
        result = normalizeText(text);
    }
    if (result.empty()) return std::nullopt;
    return result;
}

bool isAttachment(const std::vector<HeaderField>& fields) {
    const auto disposition = findHeader(fields, "content-disposition");
    return disposition && asciiLowered(trimmedAscii(disposition->substr(0, disposition->find(';')), " \t\r\n")) == "attachment";
}

}  // namespace

std::string EmlxParserError::message() const {
    if (kind == Kind::invalidPrefix) return "Ungueltiger Bytecount-Prefix: '" + text + "'";
    return "Kein Bytecount-Prefix gefunden \u2014 keine .emlx-Datei?";
}

EmlxParseResult parseEmlx(std::string_view fileBytes) {
    const size_t lineEnd = fileBytes.find('\n');
    if (lineEnd == std::string_view::npos) return EmlxParserError{EmlxParserError::Kind::missingPrefix, {}};
    // Trimmed of spaces; a CR of a CR LF line end goes too.
    const auto prefix = trimmedAscii(fileBytes.substr(0, lineEnd), " \t\r");
    std::string_view digits = prefix;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    int64_t count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || (digits[0] == '-' && prefix[0] == '+')) {
        return EmlxParserError{EmlxParserError::Kind::invalidPrefix, utf8OrLatin1(cutAtCharacter(prefix, kMaxPrefixText))};
    }
    const auto rest = fileBytes.substr(lineEnd + 1);
    const auto length = static_cast<size_t>(std::clamp<int64_t>(count, 0, static_cast<int64_t>(rest.size())));
    ParsedEmlx parsed = parseRfc5322(rest.substr(0, length));
    parsed.bytecountPrefix = count;
    parsed.hasTrailingPlist = length < rest.size();
    if (parsed.hasTrailingPlist) parsed.plistFlags = parseFlags(rest.substr(length));
    return parsed;
}

ParsedEmlx parseMessage(std::string_view messageBytes) {
    std::string_view message = messageBytes;
    if (message.starts_with("From ")) {
        const size_t lineEnd = message.find('\n');
        message.remove_prefix(lineEnd == std::string_view::npos ? message.size() : lineEnd + 1);
    }
    ParsedEmlx parsed = parseRfc5322(message);
    parsed.bytecountPrefix = static_cast<int64_t>(message.size());
    return parsed;
}

std::vector<ExtractedPartWithBytes> extractParts(const ParsedEmlx& message, const MimeLimits& limits) {
    return extractParts(message.rawFields, message.rawBody ? std::string_view(*message.rawBody) : std::string_view{}, limits);
}

std::optional<std::string> bodyText(std::string_view contentType, std::string_view transferEncoding, std::string_view bytes) {
    if (isEncryptedContentType(contentType)) return std::nullopt;
    if (mimeType(contentType).find("multipart/") == std::string::npos) return leafText(contentType, transferEncoding, bytes);
    const std::vector<HeaderField> fields{{"content-type", std::string(contentType)},
                                          {"content-transfer-encoding", std::string(transferEncoding)}};
    // The first part of each kind, in order of preference.
    static constexpr std::string_view kKinds[] = {"text/plain", "text/html", "text/calendar"};
    std::optional<Candidate> candidates[3];
    walkMime(fields, bytes, [&candidates](const MimeLeaf& leaf) {
        if (isAttachment(leaf.fields)) return true;
        const std::string_view contentTypeValue = findHeader(leaf.fields, "content-type").value_or("");
        const std::string type = mimeType(contentTypeValue);
        for (size_t k = 0; k < 3; ++k) {
            if (type == kKinds[k] && !candidates[k]) {
                candidates[k] = Candidate{std::string(contentTypeValue),
                                          std::string(findHeader(leaf.fields, "content-transfer-encoding").value_or("")), leaf.body};
            }
        }
        return !(candidates[0] && candidates[1] && candidates[2]);
    });
    for (const auto& candidate : candidates) {
        if (!candidate) continue;
        if (auto text = leafText(candidate->contentType, candidate->transferEncoding, candidate->body)) {
            return text;
        }
    }
    return std::nullopt;
}

std::optional<std::string> messageBodyText(const ParsedEmlx& message) {
    const auto contentType = findHeader(message.rawFields, "content-type").value_or("text/plain");
    const auto encoding = findHeader(message.rawFields, "content-transfer-encoding").value_or("");
    return bodyText(contentType, encoding, message.rawBody ? std::string_view(*message.rawBody) : std::string_view{});
}

bool isEncryptedContentType(std::string_view contentType) {
    const std::string lowered = asciiLowered(contentType);
    return lowered.find("multipart/encrypted") != std::string::npos || lowered.find("application/pgp-encrypted") != std::string::npos;
}

bool isEncrypted(const ParsedEmlx& message) {
    return isEncryptedContentType(findHeader(message.rawFields, "content-type").value_or(""));
}

std::string forwardedMessageText(std::string_view messageBytes) {
    const ParsedEmlx inner = parseMessage(messageBytes);
    const auto header = [&inner](const char* name) {
        const auto it = inner.headers.find(name);
        return it == inner.headers.end() ? std::string() : it->second;
    };
    std::string text = "[Forwarded] " + header("subject") + "\nFrom: " + header("from") + "\n";
    if (const auto body = messageBodyText(inner)) text += "\n" + *body;
    return text;
}

bool isPartialEmlx(const std::filesystem::path& messageFile) {
    return messageFile.filename().string().ends_with(".partial.emlx");
}

std::optional<int64_t> emlxRowid(const std::filesystem::path& messageFile) {
    std::string_view name;
    const std::string fileName = messageFile.filename().string();
    if (fileName.ends_with(".partial.emlx")) {
        name = std::string_view(fileName).substr(0, fileName.size() - 13);
    } else if (fileName.ends_with(".emlx")) {
        name = std::string_view(fileName).substr(0, fileName.size() - 5);
    } else {
        return std::nullopt;
    }
    int64_t rowid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), rowid);
    if (name.empty() || error != std::errc() || end != name.data() + name.size()) return std::nullopt;
    return rowid;
}

std::filesystem::path externalAttachmentFolder(const std::filesystem::path& messageFile) {
    std::string name = messageFile.filename().string();
    for (const std::string_view suffix : {".partial.emlx", ".emlx"}) {
        if (name.ends_with(suffix)) {
            name.resize(name.size() - suffix.size());
            break;
        }
    }
    return messageFile.parent_path().parent_path() / "Attachments" / name;
}

std::vector<std::filesystem::path> externalAttachmentFiles(const std::filesystem::path& messageFile, std::size_t maxFiles) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code error;
    fs::recursive_directory_iterator it(externalAttachmentFolder(messageFile), fs::directory_options::skip_permission_denied, error);
    for (const fs::recursive_directory_iterator end; !error && it != end && files.size() < maxFiles; it.increment(error)) {
        std::error_code statusError;
        if (it->is_symlink(statusError)) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(statusError)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

void to_json(nlohmann::json& j, const ParsedEmlx& message) {
    j = nlohmann::json::object();
    j["bytecountPrefix"] = message.bytecountPrefix;
    j["headers"] = message.headers;
    j["bodyPreview"] = message.bodyPreview;
    j["bodyByteCount"] = message.bodyByteCount;
    j["hasTrailingPlist"] = message.hasTrailingPlist;
}

}  // namespace lumidex::mail
