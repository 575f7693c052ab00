#include "cloud/office_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "platform/zip_archive.h"

namespace lumidex::cloud {
namespace {

namespace fs = std::filesystem;

std::string_view localName(std::string_view name) {
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool isOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Elements whose end is the end of a paragraph, and those that stand between two words.
bool endsParagraph(std::string_view name) { return isOneOf(name, {"p", "h", "si", "row", "table-row", "comment", "list-item"}); }
bool separatesWords(std::string_view name) {
    return isOneOf(name, {"tab", "br", "cr", "tc", "c", "s", "line-break", "table-cell", "v", "is", "sheet", "note",
                          "annotation", "frame", "txBody", "sp"});
}
// Content that is not the document's text: field instructions, formulas, embedded binary data.
bool skipsContent(std::string_view name) { return isOneOf(name, {"instrText", "f", "binary-data", "fldData"}); }

void appendCodePoint(std::string& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

void appendDecoded(std::string& out, std::string_view data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '&') {
            out += data[i];
            continue;
        }
        const auto semicolon = data.find(';', i);
        if (semicolon == std::string_view::npos || semicolon - i > 12) {
            out += '&';
            continue;
        }
        const std::string_view entity = data.substr(i + 1, semicolon - i - 1);
        if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            const bool hex = entity[1] == 'x' || entity[1] == 'X';
            const std::string digits(entity.substr(hex ? 2 : 1));
            char* end = nullptr;
            const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
            if (!digits.empty() && end != nullptr && *end == '\0') appendCodePoint(out, cp);
        } else {
            out.append(data.substr(i, semicolon - i + 1));
        }
        i = semicolon;
    }
}

void separate(std::string& out, char separator) {
    if (out.empty()) return;
    char& last = out.back();
    if (last == '\n') return;
    if (last == ' ') {
        if (separator == '\n') last = '\n';
        return;
    }
    out += separator;
}

// The value of attribute `name` (local name) in a start tag's attribute text, or nullopt.
std::optional<std::string_view> attribute(std::string_view tag, std::string_view name) {
    std::size_t pos = 0;
    while ((pos = tag.find('=', pos)) != std::string_view::npos) {
        std::size_t nameEnd = pos;
        while (nameEnd > 0 && tag[nameEnd - 1] == ' ') --nameEnd;
        std::size_t nameStart = nameEnd;
        while (nameStart > 0 && tag[nameStart - 1] != ' ' && tag[nameStart - 1] != '\t' && tag[nameStart - 1] != '\n') --nameStart;
        std::size_t quote = tag.find_first_of("\"'", pos);
        if (quote == std::string_view::npos) return std::nullopt;
        const auto close = tag.find(tag[quote], quote + 1);
        if (close == std::string_view::npos) return std::nullopt;
        if (localName(tag.substr(nameStart, nameEnd - nameStart)) == name) return tag.substr(quote + 1, close - quote - 1);
        pos = close + 1;
    }
    return std::nullopt;
}

// Collapses white space runs: one line break when the run held one, else one space.
std::string collapseWhiteSpace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pendingSpace = false;
    bool pendingBreak = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            pendingSpace = true;
            pendingBreak = pendingBreak || c == '\n';
            continue;
        }
        if (pendingSpace && !out.empty()) out += pendingBreak ? '\n' : ' ';
        pendingSpace = pendingBreak = false;
        out += c;
    }
    return out;
}

// Member names in reading order: "slide2.xml" before "slide10.xml".
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const auto na = std::string_view(a).substr(i, ie - i);
            const auto nb = std::string_view(b).substr(j, je - j);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

bool startsWith(const std::string& name, std::string_view prefix) { return name.rfind(prefix, 0) == 0; }
bool isXml(const std::string& name) { return name.size() > 4 && name.ends_with(".xml"); }

// The members that hold a document's words, in reading order; empty for an archive of no known kind.
std::vector<std::string> textParts(const platform::ZipArchive& archive) {
    std::vector<std::string> names;
    for (const auto& entry : archive.entries()) names.push_back(entry.name);
    std::sort(names.begin(), names.end(), naturalLess);
    std::vector<std::string> parts;
    const auto take = [&](std::string_view prefix) {
        for (const auto& name : names) {
            if (startsWith(name, prefix) && isXml(name) && name.find("/_rels/") == std::string::npos &&
                std::find(parts.begin(), parts.end(), name) == parts.end()) {
                parts.push_back(name);
            }
        }
    };
    if (archive.find("word/document.xml") != nullptr) {
        for (auto prefix : {"word/document.xml", "word/header", "word/footer", "word/footnotes.xml", "word/endnotes.xml",
                            "word/comments"}) {
            take(prefix);
        }
    } else if (archive.find("xl/workbook.xml") != nullptr) {
        for (auto prefix : {"xl/sharedStrings.xml", "xl/worksheets/sheet", "xl/comments", "xl/threadedComments/"}) take(prefix);
    } else if (archive.find("ppt/presentation.xml") != nullptr) {
        for (auto prefix : {"ppt/slides/slide", "ppt/notesSlides/", "ppt/comments/"}) take(prefix);
    } else if (archive.find("content.xml") != nullptr) {
        take("content.xml");
    }
    return parts;
}

bool fileStartsWith(const fs::path& path, std::string_view magic) {
    std::ifstream in(path, std::ios::binary);
    std::string head(magic.size(), '\0');
    return in.read(head.data(), static_cast<std::streamsize>(head.size())) && head == magic;
}

// True when the file holds the UTF-16 name of the stream an encrypted OOXML package keeps its content in.
bool holdsEncryptedPackage(const fs::path& path) {
    static const std::string name = [] {
        std::string utf16;
        for (const char c : std::string_view("EncryptedPackage")) {
            utf16 += c;
            utf16 += '\0';
        }
        return utf16;
    }();
    std::ifstream in(path, std::ios::binary);
    std::string window;
    std::array<char, 65536> chunk{};
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
        window.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
        if (window.find(name) != std::string::npos) return true;
        window.erase(0, window.size() > name.size() ? window.size() - name.size() : 0);
    }
    return false;
}

}  // namespace

std::string xmlText(std::string_view xml) {
    std::string out;
    std::size_t skipDepth = 0;
    bool sharedStringCell = false;
    std::size_t pos = 0;
    while (pos < xml.size()) {
        const auto open = xml.find('<', pos);
        const std::string_view data = xml.substr(pos, open == std::string_view::npos ? std::string_view::npos : open - pos);
        if (skipDepth == 0 && !data.empty()) appendDecoded(out, data);
        if (open == std::string_view::npos) break;
        if (xml.compare(open, 4, "<!--") == 0) {
            const auto end = xml.find("-->", open + 4);
            pos = end == std::string_view::npos ? xml.size() : end + 3;
            continue;
        }
        if (xml.compare(open, 9, "<![CDATA[") == 0) {
            const auto end = xml.find("]]>", open + 9);
            const auto cdata = xml.substr(open + 9, end == std::string_view::npos ? std::string_view::npos : end - open - 9);
            if (skipDepth == 0) out.append(cdata);
            pos = end == std::string_view::npos ? xml.size() : end + 3;
            continue;
        }
        // The tag ends at the first '>' outside quotes.
        std::size_t close = open + 1;
        char quote = 0;
        for (; close < xml.size(); ++close) {
            const char c = xml[close];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (close >= xml.size()) break;
        const std::string_view tag = xml.substr(open + 1, close - open - 1);
        pos = close + 1;
        if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
        const bool endTag = tag[0] == '/';
        const bool selfClosing = !endTag && tag.back() == '/';
        const std::string_view body = endTag ? tag.substr(1) : tag;
        const std::string_view name = localName(body.substr(0, body.find_first_of(" \t\r\n/")));
        if (skipsContent(name)) {
            if (endTag && skipDepth > 0) --skipDepth;
            else if (!endTag && !selfClosing) ++skipDepth;
            continue;
        }
        if (name == "c" && !endTag) sharedStringCell = attribute(tag, "t") == std::optional<std::string_view>("s");
        if (name == "v" && sharedStringCell) {
            // The number of a shared string, whose text the shared-strings part holds.
            if (!endTag && !selfClosing) ++skipDepth;
            else if (endTag && skipDepth > 0) --skipDepth;
            continue;
        }
        if (endsParagraph(name) && (endTag || selfClosing)) separate(out, '\n');
        else if (separatesWords(name)) separate(out, ' ');
    }
    return out;
}

OfficeText readOfficeText(const fs::path& path, const OfficeTextLimits& limits) {
    OfficeText result;
    std::string error;
    const auto archive = platform::ZipArchive::open(path, error);
    if (!archive) {
        result.error = error;
        return result;
    }
    const auto parts = textParts(*archive);
    if (parts.empty()) {
        result.error = "no document text part in the archive";
        return result;
    }
    std::size_t inflated = 0;
    std::string text;
    for (const auto& name : parts) {
        const std::size_t room = std::min(limits.maxPartBytes, limits.maxTotalBytes - inflated);
        auto xml = archive->read(*archive->find(name), room, error);
        if (!xml) {
            result.error = error;
            return result;
        }
        inflated += xml->size();
        std::string partText = xmlText(*xml);
        text += partText;
        text += '\n';
        if (text.size() >= limits.maxTextBytes) break;
    }
    result.text = collapseWhiteSpace(text);
    if (result.text.size() > limits.maxTextBytes) {
        std::size_t cut = limits.maxTextBytes;
        // Never inside a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(result.text[cut]) & 0xc0) == 0x80) --cut;
        result.text.resize(cut);
    }
    return result;
}

ConversionCheck checkBeforeConversion(const fs::path& path) {
    ConversionCheck check;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        check.admission = Admission::refused;
        check.reason = "the file is gone or is not a regular file";
        return check;
    }
    if (fileStartsWith(path, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        if (holdsEncryptedPackage(path)) {
            check.admission = Admission::locked;
            check.reason = "the document is protected with a password";
        }
        return check;  // a binary office file: the converter's to read
    }
    if (!fileStartsWith(path, "PK\x03\x04")) return check;
    std::string error;
    const auto archive = platform::ZipArchive::open(path, error);
    if (!archive) {
        check.admission = Admission::refused;
        check.reason = "damaged archive: " + error;
        return check;
    }
    std::uint64_t declared = 0;
    for (const auto& entry : archive->entries()) {
        declared += entry.uncompressedSize;
        // Media members are large but hardly compress; a huge member packed a hundredfold is made to explode.
        if (entry.uncompressedSize > maxDeclaredMemberBytes && entry.uncompressedSize / 100 > entry.compressedSize) {
            check.admission = Admission::refused;
            check.reason = entry.name + " inflates from " + std::to_string(entry.compressedSize) + " to " +
                           std::to_string(entry.uncompressedSize) + " bytes (a zip bomb?)";
            return check;
        }
    }
    if (declared > maxDeclaredArchiveBytes) {
        check.admission = Admission::refused;
        check.reason = "the archive declares " + std::to_string(declared) + " bytes of content (a zip bomb?)";
        return check;
    }
    if (const auto* manifest = archive->find("META-INF/manifest.xml")) {
        auto xml = archive->read(*manifest, std::size_t{4} << 20, error);
        if (xml && xml->find("encryption-data") != std::string::npos) {
            check.admission = Admission::locked;
            check.reason = "the document is protected with a password";
        }
    }
    return check;
}

}  // namespace lumidex::cloud
