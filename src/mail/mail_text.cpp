#include "mail/mail_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/ascii_text.h"
#include "platform/charset.h"
#include "platform/unicode.h"

namespace lumidex::mail {
namespace {

constexpr std::array<int8_t, 256> makeBase64Table() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr auto kBase64 = makeBase64Table();

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool contains(std::string_view text, std::string_view needle) { return text.find(needle) != std::string_view::npos; }

void appendUtf8(std::string& out, char32_t cp) { out += platform::encodeUtf8(std::u32string_view(&cp, 1)); }

// White space as text trimming sees it: ASCII spaces and line ends, NEL, and the Unicode space separators.
bool isTrimmable(char32_t c) {
    if (c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680) return true;
    if (c >= 0x2000 && c <= 0x200A) return true;
    return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trimmedText(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        const auto [cp, length] = platform::decodeUtf8At(text, begin);
        if (length == 0 || !isTrimmable(cp)) break;
        begin += length;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0u) == 0x80u) --start;
        const auto [cp, length] = platform::decodeUtf8At(text, start);
        if (length != end - start || !isTrimmable(cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    size_t start = 0;
    for (size_t pos = text.find(from); pos != std::string_view::npos; pos = text.find(from, start)) {
        out.append(text.substr(start, pos - start));
        out.append(to);
        start = pos + from.size();
    }
    out.append(text.substr(start));
    return out;
}

// The bytes in one of the body encodings; nullopt when they cannot be read in it.
std::optional<std::string> decodeIn(MailTextEncoding encoding, std::string_view bytes) {
    switch (encoding) {
        case MailTextEncoding::utf8:
            if (!platform::isValidUtf8(bytes)) return std::nullopt;
            return std::string(bytes);
        case MailTextEncoding::isoLatin1:
            return latin1ToUtf8(bytes);
        case MailTextEncoding::ascii:
            for (const char c : bytes) {
                if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
            }
            return std::string(bytes);
        default:
            return platform::decodeCharset(bytes, converterName(encoding));
    }
}

size_t replacementCount(std::string_view text) {
    size_t count = 0;
    for (size_t pos = text.find("\xEF\xBF\xBD"); pos != std::string_view::npos; pos = text.find("\xEF\xBF\xBD", pos + 3)) ++count;
    return count;
}

bool looksDoubleEncoded(std::string_view text) {
    // UTF-8 umlauts, sharp s, e acute and the punctuation prefix read one byte at a time.
    static constexpr std::string_view kSigns[] = {"\u00C3\u00BC", "\u00C3\u00B6", "\u00C3\u00A4",
                                                  "\u00C3\u0178", "\u00C3\u00A9", "\u00E2\u20AC"};
    for (const auto sign : kSigns) {
        if (contains(text, sign)) return true;
    }
    return false;
}

// The text of an encoded word's bytes in its charset.
std::string decodeWordBytes(std::string_view bytes, std::string_view charset) {
    std::string name = asciiLowered(charset);
    if (const auto star = name.find('*'); star != std::string::npos) name.resize(star);  // RFC 2231 language
    if (name == "iso-8859-1" || name == "latin-1" || name == "latin1") return latin1ToUtf8(bytes);
    if (name == "windows-1252" || name == "cp1252") {
        if (auto text = platform::decodeCharset(bytes, "windows-1252")) return *text;
        return latin1ToUtf8(bytes);
    }
    if (platform::isValidUtf8(bytes)) return std::string(bytes);
    if (name != "utf-8" && name != "utf8") {
        if (auto text = platform::decodeCharset(bytes, name)) return *text;
    }
    return latin1ToUtf8(bytes);
}

std::string decodeQEncoding(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct EncodedWord {
    size_t end = 0;  // one past "?="
    std::string text;
};

// The encoded word starting at text[pos] ("=?"), or nullopt when none starts there.
std::optional<EncodedWord> encodedWordAt(std::string_view text, size_t pos) {
    const size_t charsetEnd = text.find('?', pos + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd == pos + 2) return std::nullopt;
    if (charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?') return std::nullopt;
    const char kind = text[charsetEnd + 1];
    if (kind != 'B' && kind != 'b' && kind != 'Q' && kind != 'q') return std::nullopt;
    const size_t payloadStart = charsetEnd + 3;
    const size_t payloadEnd = text.find('?', payloadStart);
    if (payloadEnd == std::string_view::npos || payloadEnd == payloadStart) return std::nullopt;
    if (payloadEnd + 1 >= text.size() || text[payloadEnd + 1] != '=') return std::nullopt;
    const auto payload = text.substr(payloadStart, payloadEnd - payloadStart);
    const auto bytes = (kind == 'B' || kind == 'b') ? decodeBase64(payload) : decodeQEncoding(payload);
    return EncodedWord{payloadEnd + 2, decodeWordBytes(bytes, text.substr(pos + 2, charsetEnd - pos - 2))};
}

// Removes every "<OPEN...>...CLOSE" element (tag attributes up to the first '>'), leaving one space.
std::string removeElements(std::string_view text, std::string_view open, std::string_view close) {
    std::string out;
    size_t start = 0;
    while (true) {
        const size_t pos = text.find(open, start);
        if (pos == std::string_view::npos) break;
        const size_t tagEnd = text.find('>', pos + open.size());
        if (tagEnd == std::string_view::npos) break;
        const size_t closePos = text.find(close, tagEnd + 1);
        if (closePos == std::string_view::npos) break;
        out.append(text.substr(start, pos - start));
        out += ' ';
        start = closePos + close.size();
    }
    out.append(text.substr(start));
    return out;
}

bool isRegexSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// One pass over the tags: <br>, closing block tags and every other tag as their replacements.
std::string replaceTags(std::string_view text, bool (*match)(std::string_view, size_t, size_t&), std::string_view replacement) {
    std::string out;
    size_t start = 0;
    // Every tag ends in '>': past the last one nothing matches, and a megabyte of '<' with no '>' after
    // it must not cost a search to the end for each of them.
    const size_t lastClose = text.rfind('>');
    for (size_t pos = text.find('<'); pos != std::string_view::npos; pos = text.find('<', pos + 1)) {
        if (lastClose == std::string_view::npos || pos > lastClose) break;
        size_t end = 0;
        if (pos < start || !match(text, pos, end)) continue;
        out.append(text.substr(start, pos - start));
        out.append(replacement);
        start = end;
        pos = end - 1;
    }
    out.append(text.substr(start));
    return out;
}

bool matchBreak(std::string_view text, size_t pos, size_t& end) {
    if (text.substr(pos, 3) != "<br") return false;
    size_t i = pos + 3;
    while (i < text.size() && isRegexSpace(text[i])) ++i;
    if (i < text.size() && text[i] == '/') ++i;
    if (i >= text.size() || text[i] != '>') return false;
    end = i + 1;
    return true;
}

bool matchBlockClose(std::string_view text, size_t pos, size_t& end) {
    if (text.substr(pos, 2) != "</") return false;
    const auto rest = text.substr(pos + 2);
    for (const std::string_view name : {"p>", "div>", "li>", "tr>"}) {
        if (rest.substr(0, name.size()) == name) {
            end = pos + 2 + name.size();
            return true;
        }
    }
    if (rest.size() >= 3 && rest[0] == 'h' && rest[1] >= '1' && rest[1] <= '6' && rest[2] == '>') {
        end = pos + 5;
        return true;
    }
    return false;
}

bool matchAnyTag(std::string_view text, size_t pos, size_t& end) {
    if (pos + 1 >= text.size() || text[pos + 1] == '>') return false;
    const size_t close = text.find('>', pos + 1);
    if (close == std::string_view::npos) return false;
    end = close + 1;
    return true;
}

bool isValidScalar(uint64_t value) { return value != 0 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF); }

// "&#DIGITS;" (or "&#xHEX;") as the character; references to no valid character stay as written.
std::string replaceNumericReferences(std::string_view text, bool hex) {
    std::string out;
    size_t start = 0;
    for (size_t pos = text.find("&#"); pos != std::string_view::npos; pos = text.find("&#", pos + 1)) {
        if (pos < start) continue;
        size_t i = pos + 2;
        if (hex) {
            if (i >= text.size() || (text[i] != 'x' && text[i] != 'X')) continue;
            ++i;
        }
        const size_t digitsStart = i;
        uint64_t value = 0;
        while (i < text.size() && (hex ? hexValue(text[i]) >= 0 : (text[i] >= '0' && text[i] <= '9'))) {
            if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<uint64_t>(hexValue(text[i]));
            ++i;
        }
        if (i == digitsStart || i >= text.size() || text[i] != ';') continue;
        if (!isValidScalar(value)) continue;
        out.append(text.substr(start, pos - start));
        appendUtf8(out, static_cast<char32_t>(value));
        start = i + 1;
        pos = i;
    }
    out.append(text.substr(start));
    return out;
}

std::string unescapeCalendarValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[i + 1];
            if (next == 'n' || next == 'N') {
                out += '\n';
                ++i;
                continue;
            }
            if (next == ',' || next == ';' || next == '\\') {
                out += next;
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

}  // namespace

std::string decodeBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const int8_t value = kBase64[static_cast<unsigned char>(c)];
        if (value < 0) continue;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFFu);
        }
    }
    return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '=') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\n') {
            i += 1;
        } else if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
            i += 2;
        } else if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string decodeTransferEncoding(std::string_view bytes, std::string_view transferEncoding) {
    const std::string encoding = asciiLowered(transferEncoding);
    if (contains(encoding, "base64")) return decodeBase64(bytes);
    if (contains(encoding, "quoted-printable")) return decodeQuotedPrintable(bytes);
    return std::string(bytes);
}

MailTextEncoding textEncoding(std::string_view charsetName) {
    const std::string name = asciiLowered(charsetName);
    const auto has = [&name](std::string_view needle) { return contains(name, needle); };
    if (has("utf-8") || has("utf8")) return MailTextEncoding::utf8;
    if (has("utf-16")) return MailTextEncoding::utf16;
    if (has("iso-8859-15")) return MailTextEncoding::isoLatin9;
    if (has("iso-8859-2")) return MailTextEncoding::isoLatin2;
    if (has("iso-8859-1") || has("latin1")) return MailTextEncoding::isoLatin1;
    if (has("windows-1252")) return MailTextEncoding::windows1252;
    if (has("windows-1250")) return MailTextEncoding::windows1250;
    if (has("windows-1251") || has("cp1251")) return MailTextEncoding::windows1251;
    if (has("koi8-r")) return MailTextEncoding::koi8r;
    if (has("shift-jis") || has("shift_jis") || has("sjis")) return MailTextEncoding::shiftJis;
    if (has("euc-jp")) return MailTextEncoding::eucJp;
    if (has("gb2312")) return MailTextEncoding::gb2312;
    if (has("gb18030")) return MailTextEncoding::gb18030;
    if (has("big5")) return MailTextEncoding::big5;
    if (has("euc-kr")) return MailTextEncoding::eucKr;
    if (has("us-ascii") || has("ascii")) return MailTextEncoding::ascii;
    return MailTextEncoding::utf8;
}

std::string_view converterName(MailTextEncoding encoding) {
    switch (encoding) {
        case MailTextEncoding::utf8: return "UTF-8";
        case MailTextEncoding::utf16: return "UTF-16";
        case MailTextEncoding::isoLatin9: return "ISO-8859-15";
        case MailTextEncoding::isoLatin2: return "ISO-8859-2";
        case MailTextEncoding::isoLatin1: return "ISO-8859-1";
        case MailTextEncoding::windows1252: return "windows-1252";
        case MailTextEncoding::windows1250: return "windows-1250";
        case MailTextEncoding::windows1251: return "windows-1251";
        case MailTextEncoding::koi8r: return "KOI8-R";
        case MailTextEncoding::shiftJis: return "Shift_JIS";
        case MailTextEncoding::eucJp: return "EUC-JP";
        case MailTextEncoding::gb2312: return "GB2312";
        case MailTextEncoding::gb18030: return "GB18030";
        case MailTextEncoding::big5: return "Big5";
        case MailTextEncoding::eucKr: return "EUC-KR";
        case MailTextEncoding::ascii: return "US-ASCII";
    }
    return "UTF-8";
}

std::string decodeBody(std::string_view bytes, std::string_view charsetName) {
    const MailTextEncoding encoding = textEncoding(charsetName);
    if (platform::isValidUtf8(bytes)) {
        if (encoding == MailTextEncoding::utf8) return std::string(bytes);
        auto declared = decodeIn(encoding, bytes);
        if (!declared || looksDoubleEncoded(*declared) || replacementCount(*declared) > replacementCount(bytes)) {
            return std::string(bytes);
        }
        return std::move(*declared);
    }
    if (auto declared = decodeIn(encoding, bytes)) return std::move(*declared);
    return latin1ToUtf8(bytes);
}

std::string latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string utf8OrLatin1(std::string_view bytes) {
    if (platform::isValidUtf8(bytes)) return std::string(bytes);
    return latin1ToUtf8(bytes);
}

std::string decodeEncodedWords(std::string_view text) {
    std::string out;
    size_t start = 0;            // first byte not yet copied
    bool afterEncodedWord = false;  // `start` is the end of an encoded word
    for (size_t pos = text.find("=?"); pos != std::string_view::npos; pos = text.find("=?", pos + 1)) {
        if (pos < start) continue;
        auto word = encodedWordAt(text, pos);
        if (!word) continue;
        const auto gap = text.substr(start, pos - start);
        const bool blankGap = gap.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (!(afterEncodedWord && blankGap)) out.append(utf8OrLatin1(gap));
        out.append(word->text);
        start = word->end;
        afterEncodedWord = true;
        pos = word->end - 1;
    }
    if (start == 0) return utf8OrLatin1(text);
    out.append(utf8OrLatin1(text.substr(start)));
    return out;
}

std::string htmlToText(std::string_view html) {
    std::string text = removeElements(html, "<script", "</script>");
    text = removeElements(text, "<style", "</style>");
    text = removeElements(text, "<!--", "-->");
    text = replaceTags(text, matchBreak, "\n");
    text = replaceTags(text, matchBlockClose, "\n");
    text = replaceTags(text, matchAnyTag, " ");
    static constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
        {"&nbsp;", " "},       {"&amp;", "&"},        {"&lt;", "<"},          {"&gt;", ">"},
        {"&quot;", "\""},      {"&apos;", "'"},       {"&#39;", "'"},         {"&auml;", "\u00E4"},
        {"&ouml;", "\u00F6"},  {"&uuml;", "\u00FC"},  {"&Auml;", "\u00C4"},   {"&Ouml;", "\u00D6"},
        {"&Uuml;", "\u00DC"},  {"&szlig;", "\u00DF"}, {"&euro;", "\u20AC"},   {"&hellip;", "\u2026"},
        {"&mdash;", "\u2014"}, {"&ndash;", "\u2013"}, {"&laquo;", "\u00AB"},  {"&raquo;", "\u00BB"},
        {"&copy;", "\u00A9"},  {"&reg;", "\u00AE"},   {"&trade;", "\u2122"},
    };
    for (const auto& [entity, character] : kEntities) {
        if (text.find(entity) != std::string::npos) text = replaceAll(text, entity, character);
    }
    text = replaceNumericReferences(text, false);
    return replaceNumericReferences(text, true);
}

std::string normalizeText(std::string_view text) {
    // Lines with their inner runs of blanks collapsed and their ends stripped, joined by LF; CR LF and
    // lone CR end lines too.
    std::string lines;
    lines.reserve(text.size());
    bool pendingSpace = false;
    bool lineHasText = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines += '\n';
            pendingSpace = false;
            lineHasText = false;
        } else if (c == ' ' || c == '\t') {
            pendingSpace = lineHasText;
        } else {
            if (pendingSpace) lines += ' ';
            pendingSpace = false;
            lineHasText = true;
            lines += c;
        }
    }
    std::string out;
    out.reserve(lines.size());
    size_t newlines = 0;
    for (const char c : lines) {
        if (c == '\n') {
            if (++newlines <= 2) out += c;
        } else {
            newlines = 0;
            out += c;
        }
    }
    return std::string(trimmedText(out));
}

std::string calendarToText(std::string_view calendar) {
    std::vector<std::string> unfolded;
    size_t lineStart = 0;
    while (lineStart < calendar.size()) {
        size_t lineEnd = calendar.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = calendar.size();
        auto line = calendar.substr(lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !unfolded.empty()) {
            unfolded.back().append(line.substr(1));
        } else {
            unfolded.emplace_back(line);
        }
        lineStart = lineEnd + 1;
    }
    static constexpr std::string_view kKept[] = {"SUMMARY",   "DESCRIPTION", "LOCATION", "DTSTART",
                                                 "DTEND",     "ORGANIZER",   "ATTENDEE", "URL"};
    std::string out;
    int timeZoneDepth = 0;
    for (const auto& line : unfolded) {
        // The first ':' outside a quoted parameter value (CN="Doe: Jane") ends the name.
        size_t colon = std::string::npos;
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == ':' && !quoted) {
                colon = i;
                break;
            }
        }
        if (colon == std::string::npos) continue;
        std::string_view head(line.data(), colon);
        head = head.substr(0, head.find(';'));
        std::string name(trimmedAscii(head));
        for (char& c : name) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        const std::string_view rawValue = std::string_view(line).substr(colon + 1);
        if (name == "BEGIN" || name == "END") {
            if (asciiLowered(trimmedAscii(rawValue)) == "vtimezone") timeZoneDepth = name == "BEGIN" ? timeZoneDepth + 1 : std::max(0, timeZoneDepth - 1);
            continue;
        }
        if (timeZoneDepth > 0) continue;
        bool kept = false;
        for (const auto property : kKept) kept = kept || name == property;
        if (!kept) continue;
        const std::string value = unescapeCalendarValue(rawValue);
        const auto trimmed = trimmedText(value);
        if (trimmed.empty()) continue;
        if (!out.empty()) out += '\n';
        out.append(name).append(": ").append(trimmed);
    }
    return out;
}

}  // namespace lumidex::mail
