#include "processing/text/rtf_reader.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <unordered_map>

#include "platform/charset.h"
#include "platform/unicode.h"

namespace lumidex::processing {
namespace {

constexpr int kDefaultCodePage = 1252;
constexpr std::size_t kMaxControlWordLength = 32;
constexpr int kMaxUnicodeSkip = 16;

enum class Destination : std::uint8_t { body, fontTable, skipped };

// Character and destination state that RTF scopes to a group.
struct GroupState {
    int ucSkip = 1;
    int font = -1;  // -1: the document's default font
    Destination destination = Destination::body;
    bool hidden = false;
};

enum class Word : std::uint8_t {
    paragraph, tab, cell, row, character, unicode, unicodeSkip, font, defaultFont, ansi, mac, pc, pca,
    ansiCodePage, fontTable, skipDestination, hidden, binary, plain, fontCharset, fontCodePage,
};

struct WordAction {
    Word word;
    char32_t character = 0;
};

const std::unordered_map<std::string_view, WordAction>& wordTable() {
    static const auto* table = [] {
        auto* t = new std::unordered_map<std::string_view, WordAction>{
            {"par", {Word::paragraph}}, {"line", {Word::paragraph}}, {"sect", {Word::paragraph}},
            {"page", {Word::paragraph}}, {"lbr", {Word::paragraph}}, {"softline", {Word::paragraph}},
            {"tab", {Word::tab}}, {"cell", {Word::cell}}, {"nestcell", {Word::cell}},
            {"row", {Word::row}}, {"nestrow", {Word::row}},
            {"emdash", {Word::character, 0x2014}}, {"endash", {Word::character, 0x2013}},
            {"emspace", {Word::character, 0x2003}}, {"enspace", {Word::character, 0x2002}},
            {"qmspace", {Word::character, 0x2005}}, {"bullet", {Word::character, 0x2022}},
            {"lquote", {Word::character, 0x2018}}, {"rquote", {Word::character, 0x2019}},
            {"ldblquote", {Word::character, 0x201C}}, {"rdblquote", {Word::character, 0x201D}},
            {"u", {Word::unicode}}, {"uc", {Word::unicodeSkip}}, {"f", {Word::font}},
            {"deff", {Word::defaultFont}}, {"ansi", {Word::ansi}}, {"mac", {Word::mac}}, {"pc", {Word::pc}},
            {"pca", {Word::pca}}, {"ansicpg", {Word::ansiCodePage}}, {"fonttbl", {Word::fontTable}},
            {"v", {Word::hidden}}, {"bin", {Word::binary}}, {"plain", {Word::plain}},
            {"fcharset", {Word::fontCharset}}, {"cpg", {Word::fontCodePage}},
        };
        // Destinations whose content is not body text.
        for (std::string_view name :
             {"colortbl", "stylesheet", "info", "pict", "header", "headerl", "headerr", "headerf", "footer",
              "footerl", "footerr", "footerf", "fldinst", "datafield", "objdata", "objclass", "objname",
              "listtable", "listoverridetable", "revtbl", "rsidtbl", "filetbl", "pgdsctbl", "xmlnstbl",
              "themedata", "colorschememapping", "datastore", "latentstyles", "generator", "sp",
              "nonshppict", "NeXTGraphic", "NeXTAttachment", "pn", "pnseclvl", "xe", "tc", "tcn", "txe",
              "bkmkstart", "bkmkend", "ftnsep", "ftnsepc", "aftnsep", "aftnsepc", "template", "docvar",
              "userprops", "expandedcolortbl", "mmathPr", "author", "operator", "title", "subject",
              "keywords", "comment", "doccomm", "company", "manager", "category"}) {
            t->emplace(name, WordAction{Word::skipDestination});
        }
        return t;
    }();
    return *table;
}

// Code page selected by a font's \fcharset; 0 means the document's code page.
int codePageForFontCharset(int charset) {
    switch (charset) {
        case 77: return 10000;
        case 78: return 10001;
        case 128: return 932;
        case 129: return 949;
        case 130: return 1361;
        case 134: return 936;
        case 136: return 950;
        case 161: return 1253;
        case 162: return 1254;
        case 163: return 1258;
        case 177: return 1255;
        case 178: return 1256;
        case 186: return 1257;
        case 204: return 1251;
        case 222: return 874;
        case 238: return 1250;
        case 254: return 437;
        case 255: return 850;
        default: return 0;
    }
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where "{\rtf" starts, after an optional UTF-8 byte order mark and white space.
std::optional<std::size_t> headerOffset(std::string_view bytes) {
    std::size_t i = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n')) ++i;
    if (bytes.substr(i, 5) != "{\\rtf") return std::nullopt;
    return i;
}

struct FontInfo {
    int codePage = 0;     // 0: the document's
    bool explicitCodePage = false;  // set by \cpg, which wins over \fcharset
};

class Reader {
public:
    Reader(std::string_view input, const RtfReadOptions& options) : in_(input), options_(options) {}

    RtfText run() {
        const auto start = headerOffset(in_);
        if (!start) {
            result_.status = RtfText::Status::notRtf;
            return std::move(result_);
        }
        pos_ = *start;
        while (pos_ < in_.size() && !stopped_) {
            const char c = in_[pos_++];
            switch (c) {
                case '{': openGroup(); break;
                case '}': closeGroup(); break;
                case '\\': control(); break;
                case '\r':
                case '\n': break;
                default: literal(static_cast<unsigned char>(c)); break;
            }
        }
        flush();
        dropPendingHighSurrogate();
        if (!documentClosed_ && result_.status == RtfText::Status::ok) result_.unbalancedBraces = true;
        if (documentClosed_ && in_.find('}', pos_) != std::string_view::npos) result_.unbalancedBraces = true;
        if (auto name = platform::charsetNameForCodePage(documentCodePage_)) {
            result_.documentCharset = *name;
        } else {
            result_.documentCharset = "windows-1252";
        }
        return std::move(result_);
    }

private:
    GroupState& state() { return stack_.back(); }

    void openGroup() {
        skipRemaining_ = 0;
        if (stack_.size() >= options_.maxGroupDepth) {
            result_.status = RtfText::Status::nestedTooDeep;
            stopped_ = true;
            return;
        }
        if (stack_.empty()) {
            stack_.emplace_back();
        } else {
            stack_.push_back(stack_.back());
        }
    }

    void closeGroup() {
        skipRemaining_ = 0;
        if (stack_.empty()) return;
        // Code page changes are scoped: decode what was collected under the closing group's font.
        flush();
        stack_.pop_back();
        if (stack_.empty()) {
            documentClosed_ = true;
            stopped_ = true;
        }
    }

    void control() {
        if (pos_ >= in_.size()) return;  // a lone backslash at the end of a truncated file
        const char c = in_[pos_];
        if (!isAsciiLetter(c)) {
            ++pos_;
            symbol(c);
            return;
        }
        const std::size_t nameStart = pos_;
        while (pos_ < in_.size() && isAsciiLetter(in_[pos_]) && pos_ - nameStart < kMaxControlWordLength) ++pos_;
        const std::string_view name = in_.substr(nameStart, pos_ - nameStart);
        while (pos_ < in_.size() && isAsciiLetter(in_[pos_])) ++pos_;  // an over-long word keeps its prefix

        bool hasParameter = false;
        bool negative = false;
        std::int64_t value = 0;
        if (pos_ + 1 < in_.size() && in_[pos_] == '-' && isDigit(in_[pos_ + 1])) {
            negative = true;
            ++pos_;
        }
        while (pos_ < in_.size() && isDigit(in_[pos_])) {
            hasParameter = true;
            if (value < 10'000'000'000LL) value = value * 10 + (in_[pos_] - '0');
            ++pos_;
        }
        if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
        value = std::clamp<std::int64_t>(negative ? -value : value, INT32_MIN, INT32_MAX);
        word(name, hasParameter, static_cast<int>(value));
    }

    void word(std::string_view name, bool hasParameter, int parameter) {
        if (stack_.empty()) return;
        const auto& table = wordTable();
        const auto found = table.find(name);
        const bool known = found != table.end();
        const Word kind = known ? found->second.word : Word::plain;

        if (known && kind == Word::binary) {
            skipBinary(hasParameter ? parameter : 0);
            consumeFallback();
            return;
        }
        GroupState& s = state();
        if (s.destination == Destination::skipped) return;
        if (s.destination == Destination::fontTable) {
            if (known) fontTableWord(kind, parameter);
            return;
        }
        if (consumeFallback()) return;
        if (!known) return;

        switch (kind) {
            case Word::paragraph: emitScalar('\n'); break;
            case Word::tab:
            case Word::cell: emitScalar('\t'); break;
            case Word::row:
                flush();
                if (!s.hidden) {
                    if (!result_.text.empty() && result_.text.back() == '\t') result_.text.pop_back();
                    result_.text.push_back('\n');
                }
                break;
            case Word::character: emitScalar(found->second.character); break;
            case Word::unicode: unicode(parameter); break;
            case Word::unicodeSkip: s.ucSkip = std::clamp(parameter, 0, kMaxUnicodeSkip); break;
            case Word::font:
                flush();
                s.font = parameter;
                break;
            case Word::defaultFont:
                flush();
                defaultFont_ = parameter;
                break;
            case Word::ansi: setDocumentCodePage(1252); break;
            case Word::mac: setDocumentCodePage(10000); break;
            case Word::pc: setDocumentCodePage(437); break;
            case Word::pca: setDocumentCodePage(850); break;
            case Word::ansiCodePage:
                if (parameter > 0) setDocumentCodePage(parameter);
                break;
            case Word::fontTable: s.destination = Destination::fontTable; break;
            case Word::skipDestination: s.destination = Destination::skipped; break;
            case Word::hidden: s.hidden = !hasParameter || parameter != 0; break;
            case Word::plain:
                flush();
                s.hidden = false;
                s.font = -1;
                break;
            case Word::binary:
            case Word::fontCharset:
            case Word::fontCodePage: break;
        }
    }

    void fontTableWord(Word kind, int parameter) {
        switch (kind) {
            case Word::font:
                currentFontEntry_ = parameter;
                fonts_.try_emplace(parameter);
                break;
            case Word::fontCharset:
                if (currentFontEntry_) {
                    FontInfo& font = fonts_[*currentFontEntry_];
                    if (!font.explicitCodePage) font.codePage = codePageForFontCharset(parameter);
                }
                break;
            case Word::fontCodePage:
                if (currentFontEntry_ && parameter > 0) {
                    FontInfo& font = fonts_[*currentFontEntry_];
                    font.codePage = parameter;
                    font.explicitCodePage = true;
                }
                break;
            case Word::skipDestination: state().destination = Destination::skipped; break;
            default: break;
        }
    }

    void symbol(char c) {
        if (stack_.empty()) return;
        GroupState& s = state();
        switch (c) {
            case '\'': {
                int value = -1;
                if (pos_ + 1 < in_.size()) {
                    const int hi = hexValue(in_[pos_]);
                    const int lo = hexValue(in_[pos_ + 1]);
                    if (hi >= 0 && lo >= 0) {
                        value = hi * 16 + lo;
                        pos_ += 2;
                    }
                }
                if (s.destination != Destination::body) return;
                if (consumeFallback()) return;
                if (value >= 0) literal(static_cast<unsigned char>(value));
                return;
            }
            case '*':
                if (s.destination == Destination::body || s.destination == Destination::fontTable) {
                    s.destination = Destination::skipped;
                }
                return;
            case '\\':
            case '{':
            case '}': literal(static_cast<unsigned char>(c)); return;
            default: break;
        }
        if (s.destination != Destination::body) return;
        if (consumeFallback()) return;
        switch (c) {
            case '~': emitScalar(0x00A0); break;
            case '_': emitScalar(0x2011); break;
            case '\n':
            case '\r': emitScalar('\n'); break;
            default: break;  // \- optional hyphen, \| and \: index marks
        }
    }

    void literal(unsigned char byte) {
        if (stack_.empty()) return;
        const GroupState& s = state();
        if (s.destination != Destination::body) return;
        if (consumeFallback()) return;
        if (s.hidden) return;
        if (byte == '\t') {
            emitScalar('\t');
            return;
        }
        if (byte < 0x20) return;
        const int codePage = effectiveCodePage();
        if (!pending_.empty() && codePage != pendingCodePage_) flush();
        pendingCodePage_ = codePage;
        pending_.push_back(static_cast<char>(byte));
    }

    // Characters that stand in for a preceding \uN are dropped, up to \ucN of them.
    bool consumeFallback() {
        if (skipRemaining_ == 0) return false;
        --skipRemaining_;
        return true;
    }

    void unicode(int parameter) {
        const GroupState& s = state();
        skipRemaining_ = s.ucSkip;
        if (s.hidden) return;
        // \u takes a signed 16-bit value; negative numbers stand for code units above 32767.
        const auto unit = static_cast<char32_t>(parameter < 0 ? parameter + 65536 : parameter) & 0xFFFFu;
        if (parameter > 65535 || parameter < -32768) {
            emitScalar(0xFFFD);
            return;
        }
        flush();
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            dropPendingHighSurrogate();
            pendingHigh_ = unit;
            return;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (pendingHigh_ != 0) {
                const char32_t scalar = 0x10000 + ((pendingHigh_ - 0xD800) << 10) + (unit - 0xDC00);
                pendingHigh_ = 0;
                appendScalar(scalar);
            } else {
                appendScalar(0xFFFD);
            }
            return;
        }
        emitScalar(unit);
    }

    void skipBinary(int count) {
        const auto n = static_cast<std::size_t>(std::max(count, 0));
        pos_ += std::min(n, in_.size() - pos_);
    }

    void setDocumentCodePage(int codePage) {
        flush();
        documentCodePage_ = codePage;
    }

    int effectiveCodePage() const {
        const int font = stack_.back().font >= 0 ? stack_.back().font : defaultFont_;
        if (font >= 0) {
            const auto it = fonts_.find(font);
            if (it != fonts_.end() && it->second.codePage != 0) return it->second.codePage;
        }
        return documentCodePage_;
    }

    void emitScalar(char32_t c) {
        if (stack_.empty() || state().hidden || state().destination != Destination::body) return;
        flush();
        appendScalar(c);
    }

    // A high surrogate from \uN that no low surrogate followed.
    void dropPendingHighSurrogate() {
        if (pendingHigh_ == 0) return;
        pendingHigh_ = 0;
        result_.text += "\xEF\xBF\xBD";
    }

    void appendScalar(char32_t c) {
        dropPendingHighSurrogate();
        if (c == 0 || (c < 0x20 && c != '\t' && c != '\n')) return;
        result_.text += platform::encodeUtf8(std::u32string_view(&c, 1));
    }

    void flush() {
        if (pending_.empty()) return;
        dropPendingHighSurrogate();
        const bool ascii = std::all_of(pending_.begin(), pending_.end(),
                                       [](char b) { return static_cast<unsigned char>(b) < 0x80; });
        if (ascii) {
            result_.text += pending_;
        } else if (platform::CharsetDecoder* decoder = decoderFor(pendingCodePage_)) {
            result_.text += decoder->decode(pending_);
        } else {
            for (char b : pending_) appendScalar(static_cast<unsigned char>(b));  // Latin-1 as a last resort
        }
        pending_.clear();
    }

    // Decoders are opened once per code page; an unknown code page is read as windows-1252.
    platform::CharsetDecoder* decoderFor(int codePage) {
        if (auto it = decoders_.find(codePage); it != decoders_.end()) return it->second;
        platform::CharsetDecoder* decoder = nullptr;
        if (auto name = platform::charsetNameForCodePage(codePage)) {
            if (auto opened = platform::openCharsetDecoder(*name)) {
                decoder = opened.get();
                ownedDecoders_.push_back(std::move(opened));
            }
        }
        if (decoder == nullptr && codePage != kDefaultCodePage) {
            result_.warnings.push_back("unknown code page " + std::to_string(codePage) + ", read as windows-1252");
            decoder = decoderFor(kDefaultCodePage);
        }
        decoders_[codePage] = decoder;
        return decoder;
    }

    std::string_view in_;
    const RtfReadOptions& options_;
    RtfText result_;
    std::size_t pos_ = 0;
    bool stopped_ = false;
    bool documentClosed_ = false;
    std::vector<GroupState> stack_;
    int skipRemaining_ = 0;
    char32_t pendingHigh_ = 0;
    int documentCodePage_ = kDefaultCodePage;
    int defaultFont_ = -1;
    std::map<int, FontInfo> fonts_;
    std::optional<int> currentFontEntry_;
    std::string pending_;
    int pendingCodePage_ = kDefaultCodePage;
    std::map<int, platform::CharsetDecoder*> decoders_;  // null: no decoder at all (Latin-1 fallback)
    std::vector<std::unique_ptr<platform::CharsetDecoder>> ownedDecoders_;
};

}  // namespace

std::string RtfText::errorMessage() const {
    switch (status) {
        case Status::ok: return {};
        case Status::notRtf: return "The file is not an RTF document (it does not start with {\\rtf).";
        case Status::nestedTooDeep: return "The RTF document nests its groups too deeply to be read.";
    }
    return {};
}

RtfText readRtf(std::string_view rtf, const RtfReadOptions& options) { return Reader(rtf, options).run(); }

bool looksLikeRtf(std::string_view bytes) { return headerOffset(bytes).has_value(); }

}  // namespace lumidex::processing
