#include "mail/mail_mime.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

#include "core/ascii_text.h"
#include "mail/mail_text.h"

namespace lumidex::mail {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// RFC 2046 allows 70; longer ones are accepted up to this, beyond it the multipart has no parts.
constexpr std::size_t kMaxBoundaryLength = 256;
// Continuation sections of one parameter beyond this are ignored.
constexpr int kMaxSections = 256;

struct Parameter {
    std::string name;  // lower case, as written ("filename*1*")
    std::string value;
};

// The "; name=value" list after the first ';' of a structured field value.
std::vector<Parameter> parseParameters(std::string_view text) {
    std::vector<Parameter> parameters;
    size_t i = text.find(';');
    if (i == std::string_view::npos) return parameters;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ';' || kBlanks.find(text[i]) != std::string_view::npos)) ++i;
        const size_t nameStart = i;
        while (i < text.size() && text[i] != '=' && text[i] != ';') ++i;
        if (i >= text.size() || text[i] == ';') continue;  // a word without a value
        Parameter parameter{asciiLowered(trimmedAscii(text.substr(nameStart, i - nameStart), kBlanks)), {}};
        ++i;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i < text.size() && text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                parameter.value += text[i];
            }
            if (i < text.size()) ++i;  // closing quote
            while (i < text.size() && text[i] != ';') ++i;
        } else {
            const size_t valueStart = i;
            while (i < text.size() && text[i] != ';') ++i;
            parameter.value = std::string(trimmedAscii(text.substr(valueStart, i - valueStart), kBlanks));
        }
        if (!parameter.name.empty()) parameters.push_back(std::move(parameter));
    }
    return parameters;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "charset'language'value" split into the charset and the rest; no charset when the quotes are missing.
std::pair<std::string, std::string_view> splitExtendedValue(std::string_view value) {
    const size_t first = value.find('\'');
    if (first == std::string_view::npos) return {{}, value};
    const size_t second = value.find('\'', first + 1);
    if (second == std::string_view::npos) return {{}, value};
    return {std::string(value.substr(0, first)), value.substr(second + 1)};
}

std::string decodedInCharset(std::string_view bytes, std::string_view charset) {
    return charset.empty() ? utf8OrLatin1(bytes) : decodeBody(bytes, charset);
}

// The parameter's value before quote trimming and encoded-word decoding.
std::optional<std::string> rawParameter(const std::vector<Parameter>& parameters, std::string_view name) {
    const std::string plainName(name);
    const std::string extendedName = plainName + "*";
    std::optional<std::string> plain;
    std::map<int, const Parameter*> sections;
    for (const auto& parameter : parameters) {
        if (parameter.name == extendedName) {
            const auto [charset, value] = splitExtendedValue(parameter.value);
            return decodedInCharset(percentDecoded(value), charset);
        }
        if (parameter.name == plainName) {
            if (!plain) plain = parameter.value;
            continue;
        }
        // name*N or name*N*
        if (parameter.name.size() <= extendedName.size() || parameter.name.compare(0, extendedName.size(), extendedName) != 0) {
            continue;
        }
        std::string_view index = std::string_view(parameter.name).substr(extendedName.size());
        if (!index.empty() && index.back() == '*') index.remove_suffix(1);
        if (index.empty() || index.size() > 3 || index.find_first_not_of("0123456789") != std::string_view::npos) continue;
        const int number = std::stoi(std::string(index));
        if (number < kMaxSections) sections.emplace(number, &parameter);
    }
    if (sections.empty() || sections.begin()->first != 0) return plain;
    std::string bytes;
    std::string charset;
    int expected = 0;
    for (const auto& [number, parameter] : sections) {
        if (number != expected++) break;
        const bool extended = parameter->name.back() == '*';
        std::string_view value = parameter->value;
        if (extended && number == 0) {
            auto [sectionCharset, rest] = splitExtendedValue(value);
            charset = std::move(sectionCharset);
            value = rest;
        }
        bytes += extended ? percentDecoded(value) : std::string(value);
    }
    return decodedInCharset(bytes, charset);
}

struct WalkState {
    const std::function<bool(const MimeLeaf&)>& visit;
    const MimeLimits& limits;
    std::size_t leaves = 0;
    bool stopped = false;
};

void walk(const std::vector<HeaderField>& fields, std::string_view body, std::size_t depth, WalkState& state) {
    if (state.stopped) return;
    const std::string_view contentType = findHeader(fields, "content-type").value_or("");
    if (mimeType(contentType).starts_with("multipart/")) {
        if (depth >= state.limits.maxDepth) return;
        const auto boundary = headerParameter(contentType, "boundary");
        if (!boundary) return;
        for (const auto part : splitMultipart(body, *boundary)) {
            const MimeEntity entity = splitEntity(part);
            const auto partFields = parseHeaderFields(entity.header);
            walk(partFields, entity.body, depth + 1, state);
            if (state.stopped) return;
        }
        return;
    }
    if (state.leaves >= state.limits.maxLeaves) {
        state.stopped = true;
        return;
    }
    ++state.leaves;
    if (!state.visit(MimeLeaf{fields, body})) state.stopped = true;
}

}  // namespace

MimeEntity splitEntity(std::string_view entity) {
    size_t lineStart = 0;
    while (lineStart < entity.size()) {
        const size_t lineEnd = entity.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) break;
        const size_t length = lineEnd - lineStart;
        if (length == 0 || (length == 1 && entity[lineStart] == '\r')) {
            return {entity.substr(0, lineStart), entity.substr(lineEnd + 1)};
        }
        lineStart = lineEnd + 1;
    }
    return {entity, {}};
}

std::vector<HeaderField> parseHeaderFields(std::string_view headerBlock) {
    std::vector<HeaderField> fields;
    bool continuable = false;
    size_t lineStart = 0;
    while (lineStart < headerBlock.size()) {
        size_t lineEnd = headerBlock.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = headerBlock.size();
        std::string_view line = headerBlock.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            const auto folded = trimmedAscii(line, kBlanks);
            if (continuable && !folded.empty()) {
                auto& value = fields.back().value;
                if (!value.empty()) value += ' ';
                value.append(folded);
            }
            continue;
        }
        const size_t colon = line.find(':');
        const auto name = colon == std::string_view::npos ? std::string_view{} : trimmedAscii(line.substr(0, colon), kBlanks);
        continuable = !name.empty();
        if (!continuable) continue;
        fields.push_back({asciiLowered(name), std::string(trimmedAscii(line.substr(colon + 1), kBlanks))});
    }
    return fields;
}

std::optional<std::string_view> findHeader(const std::vector<HeaderField>& fields, std::string_view name) {
    for (const auto& field : fields) {
        if (field.name == name) return std::string_view(field.value);
    }
    return std::nullopt;
}

std::string mimeType(std::string_view contentType) {
    const auto type = trimmedAscii(contentType.substr(0, contentType.find(';')), kBlanks);
    return type.empty() ? std::string("text/plain") : asciiLowered(type);
}

std::optional<std::string> headerParameter(std::string_view fieldValue, std::string_view name) {
    auto raw = rawParameter(parseParameters(fieldValue), asciiLowered(name));
    if (!raw) return std::nullopt;
    return decodeEncodedWords(trimmedAscii(*raw, " \t\r\n\""));
}

std::vector<std::string_view> splitMultipart(std::string_view body, std::string_view boundary) {
    std::vector<std::string_view> parts;
    if (boundary.empty() || boundary.size() > kMaxBoundaryLength) return parts;
    const std::string delimiter = "--" + std::string(boundary);
    std::optional<size_t> partStart;  // set once the first delimiter was seen
    size_t from = 0;
    while (true) {
        const size_t pos = body.find(delimiter, from);
        if (pos == std::string_view::npos) break;
        from = pos + 1;
        if (pos != 0 && body[pos - 1] != '\n') continue;
        const size_t after = pos + delimiter.size();
        const bool closing = body.substr(after, 2) == "--";
        size_t lineEnd = body.find('\n', after);
        if (lineEnd == std::string_view::npos) lineEnd = body.size();
        // A longer boundary of a nested part starts with this one: only blanks may follow a delimiter.
        if (!closing && !trimmedAscii(body.substr(after, lineEnd - after), " \t\r").empty()) continue;
        if (partStart) {
            size_t partEnd = pos;
            if (partEnd > *partStart && body[partEnd - 1] == '\n') --partEnd;
            if (partEnd > *partStart && body[partEnd - 1] == '\r') --partEnd;
            parts.push_back(body.substr(*partStart, partEnd - *partStart));
        }
        if (closing) return parts;
        partStart = std::min(lineEnd + 1, body.size());
        from = *partStart;
    }
    if (partStart) parts.push_back(body.substr(*partStart));
    return parts;
}

void walkMime(const std::vector<HeaderField>& fields, std::string_view body, const std::function<bool(const MimeLeaf&)>& visit,
              const MimeLimits& limits) {
    WalkState state{visit, limits};
    walk(fields, body, 0, state);
}

std::optional<std::string> partFilename(const std::vector<HeaderField>& fields) {
    if (const auto disposition = findHeader(fields, "content-disposition")) {
        auto name = headerParameter(*disposition, "filename");
        if (name && !name->empty()) return name;
    }
    if (const auto contentType = findHeader(fields, "content-type")) {
        auto name = headerParameter(*contentType, "name");
        if (name && !name->empty()) return name;
    }
    return std::nullopt;
}

std::vector<ExtractedPartWithBytes> extractParts(const std::vector<HeaderField>& fields, std::string_view body,
                                                 const MimeLimits& limits) {
    std::vector<ExtractedPartWithBytes> parts;
    walkMime(
        fields, body,
        [&parts](const MimeLeaf& leaf) {
            ExtractedPartWithBytes part;
            part.info.contentType = mimeType(findHeader(leaf.fields, "content-type").value_or(""));
            part.info.filename = partFilename(leaf.fields);
            const auto encoding = findHeader(leaf.fields, "content-transfer-encoding");
            if (encoding) part.info.transferEncoding = utf8OrLatin1(*encoding);
            part.decoded = decodeTransferEncoding(leaf.body, encoding.value_or(""));
            part.info.bodyByteCount = static_cast<int64_t>(leaf.body.size());
            part.info.decodedByteCount = static_cast<int64_t>(part.decoded.size());
            part.info.contentType = utf8OrLatin1(part.info.contentType);
            parts.push_back(std::move(part));
            return true;
        },
        limits);
    return parts;
}

void to_json(nlohmann::json& j, const ExtractedPart& part) {
    j = nlohmann::json::object();
    j["contentType"] = part.contentType;
    if (part.filename) j["filename"] = *part.filename;
    if (part.transferEncoding) j["transferEncoding"] = *part.transferEncoding;
    j["bodyByteCount"] = part.bodyByteCount;
    j["decodedByteCount"] = part.decodedByteCount;
}

}  // namespace lumidex::mail
