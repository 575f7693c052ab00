// MIME structure: header blocks, header parameters (RFC 2231 included), multipart bodies and the walk
// over a message's leaf parts with their decoded bytes.
//
// Views returned here point into the caller's bytes and live as long as they do. Pure functions,
// thread-safe; nothing throws except std::bad_alloc. Malformed structure never fails: a multipart
// without a usable boundary has no parts, a missing closing delimiter ends the last part at the end of
// the body, preamble and epilogue are not parts. The walk is bounded (MimeLimits) so that a message
// nesting multiparts thousands deep or holding millions of empty parts costs little.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::mail {

// One header field: name lower-cased and trimmed, value unfolded (each fold one space) and trimmed,
// bytes as written (encoded words not decoded).
struct HeaderField {
    std::string name;
    std::string value;
    bool operator==(const HeaderField&) const = default;
};

// An entity split at its first empty line (LF or CR LF). Without one the whole is header and the body
// is empty; an entity that starts with an empty line has no header.
struct MimeEntity {
    std::string_view header;
    std::string_view body;
};
MimeEntity splitEntity(std::string_view entity);

std::vector<HeaderField> parseHeaderFields(std::string_view headerBlock);

// The first field of that (lower-case) name; nullopt when there is none.
std::optional<std::string_view> findHeader(const std::vector<HeaderField>& fields, std::string_view name);

// The MIME type of a Content-Type value: lower-cased, parameters cut, trimmed; "text/plain" when empty.
std::string mimeType(std::string_view contentType);

// A parameter of a structured field value ("attachment; filename*=utf-8''Gr%C3%BC%C3%9Fe.pdf"), by
// lower-case name: RFC 2231 extended values (charset'language'percent-encoding) and continuations
// (name*0, name*1*, ...) are joined and decoded and take precedence over the plain form; quotes are
// removed and encoded words decoded. The result is UTF-8; nullopt when the parameter is absent.
std::optional<std::string> headerParameter(std::string_view fieldValue, std::string_view name);

// The parts of a multipart body between its "--BOUNDARY" delimiter lines, in order, each without the
// line break that belongs to the delimiter after it.
std::vector<std::string_view> splitMultipart(std::string_view body, std::string_view boundary);

struct MimeLimits {
    std::size_t maxDepth = 16;    // multiparts nested deeper than this are skipped
    std::size_t maxLeaves = 4096; // the walk ends after this many leaves
};

struct MimeLeaf {
    const std::vector<HeaderField>& fields;
    std::string_view body;  // still transfer-encoded
};

// Calls VISIT for every leaf (non-multipart part) below an entity, in document order, until it returns
// false. A message/rfc822 part is a leaf: its own parts are reached by parsing it as a message.
void walkMime(const std::vector<HeaderField>& fields, std::string_view body, const std::function<bool(const MimeLeaf&)>& visit,
              const MimeLimits& limits = {});

// A leaf part as the mail endpoints list it.
struct ExtractedPart {
    std::string contentType;                       // lower case, no parameters
    std::optional<std::string> filename;           // Content-Disposition filename, else Content-Type name
    std::optional<std::string> transferEncoding;   // Content-Transfer-Encoding as written
    int64_t bodyByteCount = 0;                     // encoded size
    int64_t decodedByteCount = 0;                  // size after transfer decoding
    bool operator==(const ExtractedPart&) const = default;
};

struct ExtractedPartWithBytes {
    ExtractedPart info;
    std::string decoded;
};

// Every leaf below an entity with its transfer-decoded bytes.
std::vector<ExtractedPartWithBytes> extractParts(const std::vector<HeaderField>& fields, std::string_view body,
                                                 const MimeLimits& limits = {});

// The file name of a part from its fields; nullopt when it names none.
std::optional<std::string> partFilename(const std::vector<HeaderField>& fields);

// JSON under the field names; an absent optional is left out.
void to_json(nlohmann::json& j, const ExtractedPart& part);

}  // namespace lumidex::mail
