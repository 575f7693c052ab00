// Message files: the .emlx layout (a byte-count line, the RFC 5322 message, then the mail program's
// property list of flags and dates), the same parse for a bare RFC 5322 message as Maildir and mbox
// hold it, the searchable body text of a message, forwarded and encrypted messages, and the external
// attachments of .partial.emlx files.
//
// Pure functions over the caller's bytes, thread-safe; nothing throws except std::bad_alloc. A file that
// is not an emlx file is reported as an EmlxParserError; any other malformation (a byte count beyond the
// file, broken MIME, bad Base64, unknown charsets) is read as far as it goes. Every text here is UTF-8.
// Memory stays a small multiple of the message: the raw body is kept once, and the walk over its parts
// is bounded (mail_mime.h).
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "mail/mail_mime.h"

namespace lumidex::mail {

struct ParsedEmlx {
    int64_t bytecountPrefix = 0;  // as written on the first line; the message's size for a bare message
    // Top-level fields: lower-case names, values unfolded with encoded words decoded. The first field of
    // a name wins (a later "Subject" is not the one the mail program shows).
    std::map<std::string, std::string> headers;
    std::string bodyPreview;  // the body transfer-decoded, as UTF-8 (else Latin-1), cut at kBodyPreviewLimit
    int64_t bodyByteCount = 0;       // the raw body's length
    bool hasTrailingPlist = false;   // bytes follow the message
    std::optional<std::string> rawBody;  // for part extraction; not in JSON
    std::vector<HeaderField> rawFields;  // the header fields as written; not in JSON
    std::optional<int64_t> plistFlags;   // the property list's "flags" integer, when it has one; not in JSON
};

inline constexpr std::size_t kBodyPreviewLimit = std::size_t{1} << 20;

struct EmlxParserError {
    enum class Kind { invalidPrefix, missingPrefix };
    Kind kind = Kind::missingPrefix;
    std::string text;  // invalidPrefix: the first line, trimmed (at most 256 bytes of it)

    // "Ungueltiger Bytecount-Prefix: 'abc'" or "Kein Bytecount-Prefix gefunden — keine .emlx-Datei?".
    std::string message() const;
};

using EmlxParseResult = std::variant<ParsedEmlx, EmlxParserError>;

// An .emlx file's bytes.
EmlxParseResult parseEmlx(std::string_view fileBytes);

// A bare RFC 5322 message (an mbox "From " separator line in front is skipped). bytecountPrefix is the
// message's size and hasTrailingPlist false.
ParsedEmlx parseMessage(std::string_view messageBytes);

// Every leaf part of the message with its decoded bytes.
std::vector<ExtractedPartWithBytes> extractParts(const ParsedEmlx& message, const MimeLimits& limits = {});

// The searchable text of one body with its Content-Type value (parameters included), transfer encoding
// and raw bytes. A multipart body yields its first text/plain part, else its first text/html, else its
// first text/calendar (parts marked as attachments are not the body; a part that yields nothing gives
// way to the next kind); HTML and calendars are converted, and the text normalised. nullopt when no
// text remains, for encrypted content, and for bytes that are not text (NUL characters).
std::optional<std::string> bodyText(std::string_view contentType, std::string_view transferEncoding, std::string_view bytes);

// bodyText() of a parsed message's top-level body.
std::optional<std::string> messageBodyText(const ParsedEmlx& message);

// Encrypted content: a content type containing "multipart/encrypted" or "application/pgp-encrypted".
bool isEncryptedContentType(std::string_view contentType);
bool isEncrypted(const ParsedEmlx& message);

// What the index holds for an encrypted message instead of its body.
inline constexpr std::string_view kEncryptedContentMarker = "[verschluesselt \u2014 Inhalt nicht indexierbar]\n\n";

// The text of an attached message (a message/rfc822 part's bytes): "[Forwarded] " + subject and
// "From: " + sender lines, then its body text. Its own attachments are reached with
// extractParts(parseMessage(bytes)).
std::string forwardedMessageText(std::string_view messageBytes);

// ".partial.emlx": the mail program kept the attachments outside the message file.
bool isPartialEmlx(const std::filesystem::path& messageFile);

// The rowid a message file is named after ("123.emlx", "123.partial.emlx"); nullopt for other names.
std::optional<int64_t> emlxRowid(const std::filesystem::path& messageFile);

// MAILBOX/Messages/123.partial.emlx keeps its attachments in MAILBOX/Attachments/123/<part>/<file>.
std::filesystem::path externalAttachmentFolder(const std::filesystem::path& messageFile);

// The regular files below externalAttachmentFolder(), in path order; symbolic links are not followed.
// Empty when the folder is missing or unreadable; at most maxFiles.
std::vector<std::filesystem::path> externalAttachmentFiles(const std::filesystem::path& messageFile,
                                                           std::size_t maxFiles = 1000);

// JSON of bytecountPrefix, headers, bodyPreview, bodyByteCount and hasTrailingPlist.
void to_json(nlohmann::json& j, const ParsedEmlx& message);

}  // namespace lumidex::mail
