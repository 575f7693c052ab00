// The text folding rule: FtsTools::fold and FtsTools::foldQueryWord.
//
// ASCII folds byte by byte and Latin-1/Latin Extended through a table computed once with the Unicode
// library; other scripts go through the library in runs. Only text holding combining marks or accents
// drawn as glyphs of their own takes the slower path that composes them with their letters first, and
// only text holding a script written without spaces (Chinese, Japanese, Thai...) the pass that sets its
// characters apart.
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/unicode.h"
#include "storage/fts_tools.h"

namespace lumidex::storage {
namespace {

using platform::CharacterClass;

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
        s.replace(pos, from.size(), to);
    }
}

// Decodes one UTF-8 sequence at text[i]; returns the code point and its length, or length 0 when
// the bytes are not valid UTF-8 (ASCII included: callers handle it apart).
std::pair<char32_t, size_t> decodeAt(std::string_view text, size_t i) {
    const auto decoded = platform::decodeUtf8At(text, i);
    return decoded.second == 1 ? std::pair<char32_t, size_t>{0, 0} : decoded;
}

bool isAsciiAlnum(char32_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool isLetterOrNumber(char32_t c) {
    if (c < 0x80) return isAsciiAlnum(c);
    const CharacterClass k = platform::characterClass(c);
    return k == CharacterClass::letter || k == CharacterClass::number;
}

bool isTypographicApostrophe(char32_t c) { return c == 0x2019 || c == 0x02BC || c == 0x2018 || c == 0x2032; }
bool isApostrophe(char32_t c) { return c == '\'' || isTypographicApostrophe(c); }

// Straight quotes and the acute and grave accents vanish, "," and ";" become ".", currency signs
// become spaces.
std::string applyPunctuationRules(std::string_view s) {
    static const std::pair<std::string_view, std::string_view> kRules[] = {
        {"\xC2\xB4", ""},         // acute accent
        {"\xE2\x82\xAC", " "},    // euro sign
        {"\xC2\xA3", " "},        // pound sign
        {"\xC2\xA5", " "},        // yen sign
    };
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '"': case '\'': case '`': break;
            case ',': case ';': out.push_back('.'); break;
            case '$': out.push_back(' '); break;
            default: out.push_back(c);
        }
    }
    for (const auto& [from, to] : kRules) replaceAll(out, from, to);
    return out;
}

// The tokenizer keeps every non-ASCII character inside a token, so punctuation, spaces and symbols
// beyond ASCII ("«", "—", NBSP, "⟨") become spaces, or the words beside them would never be found.
// The soft hyphen only marks where a word may break, so it joins. U+FFFD stays: it stands for bytes
// that were not text, and is kept as the fast path keeps it.
std::string separateNonAsciiPunctuation(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto [cp, length] = decodeAt(s, i);
        if (length == 0) {
            out.push_back(s[i++]);
            continue;
        }
        const CharacterClass k = platform::characterClass(cp);
        if (cp == 0xAD) {
            // joins
        } else if (cp != 0xFFFD && (k == CharacterClass::punctuation || k == CharacterClass::symbol ||
                                    k == CharacterClass::separator)) {
            out.push_back(' ');
        } else {
            out.append(s, i, length);
        }
        i += length;
    }
    return out;
}

// The rule spelled out step by step with the Unicode library; the fast path below must match it.
std::string foldWithUnicodeLibrary(std::string_view text) {
    std::string s = platform::toLowerCase(text);
    static const std::pair<std::string_view, std::string_view> kLetters[] = {
        {"\xC3\x9F", "ss"}, {"\xC3\xA4", "ae"}, {"\xC3\xBC", "ue"}, {"\xC3\xB6", "oe"},  // ß ä ü ö
        {"\xC3\xA6", "ae"}, {"\xC5\x93", "oe"}, {"\xC3\xB8", "o"},  {"\xC5\x82", "l"},   // æ œ ø ł
        {"\xC4\x91", "d"},  {"\xC3\xB0", "d"},  {"\xC3\xBE", "th"}, {"\xC4\xA7", "h"},   // đ ð þ ħ
        {"\xC4\xB1", "i"},                                                                // ı
        // Typeset PDFs carry the Latin ligatures as single characters; readers type the letters.
        {"\xEF\xAC\x80", "ff"}, {"\xEF\xAC\x81", "fi"}, {"\xEF\xAC\x82", "fl"},        // ﬀ ﬁ ﬂ
        {"\xEF\xAC\x83", "ffi"}, {"\xEF\xAC\x84", "ffl"},                              // ﬃ ﬄ
        {"\xEF\xAC\x85", "st"}, {"\xEF\xAC\x86", "st"},                                // ﬅ ﬆ
    };
    for (const auto& [from, to] : kLetters) replaceAll(s, from, to);
    return separateNonAsciiPunctuation(applyPunctuationRules(platform::removeDiacritics(s)));
}

// Latin-1 and Latin Extended-A/B fold one code point at a time; their results are computed once
// with the library so the fast path cannot drift from the rule.
constexpr char32_t kTableEnd = 0x250;

const std::array<std::string, kTableEnd>& latinTable() {
    static const std::array<std::string, kTableEnd> table = [] {
        std::array<std::string, kTableEnd> t;
        for (char32_t cp = 0x80; cp < kTableEnd; ++cp) {
            t[cp] = foldWithUnicodeLibrary(platform::encodeUtf8(std::u32string_view(&cp, 1)));
        }
        return t;
    }();
    return table;
}

// General punctuation and the currency signs (dashes, quotes, spaces, "€") fold alone, too; they are
// common enough in Latin text to deserve a table of their own.
constexpr char32_t kPunctuationBegin = 0x2000;
constexpr char32_t kPunctuationEnd = 0x20D0;

const std::array<std::string, kPunctuationEnd - kPunctuationBegin>& punctuationTable() {
    static const std::array<std::string, kPunctuationEnd - kPunctuationBegin> table = [] {
        std::array<std::string, kPunctuationEnd - kPunctuationBegin> t;
        for (char32_t cp = kPunctuationBegin; cp < kPunctuationEnd; ++cp) {
            t[cp - kPunctuationBegin] = foldWithUnicodeLibrary(platform::encodeUtf8(std::u32string_view(&cp, 1)));
        }
        return t;
    }();
    return table;
}

bool isTablePunctuation(char32_t cp) { return cp >= kPunctuationBegin && cp < kPunctuationEnd; }

// Accents that PDF text often carries as a glyph of their own beside the letter, and the combining
// mark each stands for; 0 for any other character.
char32_t combiningFormOf(char32_t c) {
    switch (c) {
        case 0x00A8: return 0x0308;  // diaeresis
        case 0x00B4: return 0x0301;  // acute
        case 0x00B8: return 0x0327;  // cedilla
        case 0x00AF: return 0x0304;  // macron
        case 0x02C6: return 0x0302;  // circumflex
        case 0x02C7: return 0x030C;  // caron
        case 0x02D8: return 0x0306;  // breve
        case 0x02D9: return 0x0307;  // dot above
        case 0x02DA: return 0x030A;  // ring above
        case 0x02DB: return 0x0328;  // ogonek
        case 0x02DC: return 0x0303;  // tilde
        case 0x02DD: return 0x030B;  // double acute
        default: return 0;
    }
}

bool isDetachedAccent(char32_t c) {
    return ((c >= 0xA8 && c <= 0xB8) || (c >= 0x2C6 && c <= 0x2DD)) && combiningFormOf(c) != 0;
}

struct CompositionNeeds {
    bool nfc = false;              // a character that NFC may compose with its neighbour
    bool detachedAccents = false;  // an accent drawn as a glyph of its own
};

// What the text needs before the per-character rules can run. Skips ASCII eight bytes at a time:
// this check runs on every text.
CompositionNeeds compositionNeeds(std::string_view text) {
    CompositionNeeds needs;
    size_t i = 0;
    while (i < text.size() && !needs.detachedAccents) {
        if (i + 8 <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto [cp, length] = decodeAt(text, i);
        if (length == 0) {
            ++i;
            continue;
        }
        if (isDetachedAccent(cp)) needs.detachedAccents = true;
        // Below U+0300 everything is already composed.
        if (cp >= 0x300 && !needs.nfc && platform::mayChangeUnderNfc(cp)) needs.nfc = true;
        i += length;
    }
    return needs;
}

bool isVowel(char32_t c) {
    switch (c) {
        case 'a': case 'e': case 'i': case 'o': case 'u': case 'y':
        case 'A': case 'E': case 'I': case 'O': case 'U': case 'Y':
        case 0x0131:  // dotless i, which typesetting puts under accents
            return true;
        default: return false;
    }
}

// Turns each detached accent beside a letter into the combining mark on that letter, and composes
// the text (NFC), so that "a¨", "¨a" and "a" + U+0308 all become "ä" before the umlaut rule sees it.
// An accent with no letter beside it becomes a space.
std::string composeLetters(std::string_view text) {
    std::u32string s = platform::decodeUtf8(text);
    enum class Side { none, before, after, undecided };
    const auto letterAt = [&](size_t i) { return i < s.size() && platform::isLetter(s[i]); };
    const auto sideOf = [&](size_t i) {
        const bool before = i > 0 && letterAt(i - 1);
        const bool after = letterAt(i + 1);
        if (!before && !after) return Side::none;
        if (before != after) return before ? Side::before : Side::after;
        // Between two letters the side matters only for a diaeresis (an umlaut folds to two letters,
        // every other accent is dropped); it belongs to the vowel.
        if (s[i] != 0x00A8) return Side::before;
        const bool vowelBefore = isVowel(s[i - 1]);
        if (vowelBefore != isVowel(s[i + 1])) return vowelBefore ? Side::before : Side::after;
        return Side::undecided;
    };
    // Whether a program draws the accent before or after its letter holds for a whole document, so
    // the clear cases decide the unclear ones ("Ba¨ume" beside "Mindesta¨nge"); otherwise before.
    int64_t drawnAfterLetter = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != 0x00A8) continue;
        const Side side = sideOf(i);
        if (side == Side::before) ++drawnAfterLetter;
        if (side == Side::after) --drawnAfterLetter;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        const char32_t mark = combiningFormOf(s[i]);
        if (mark == 0) continue;
        Side side = sideOf(i);
        if (side == Side::undecided) side = drawnAfterLetter >= 0 ? Side::before : Side::after;
        if (side == Side::none) {
            s[i] = U' ';
        } else if (side == Side::before) {
            s[i] = mark;
        } else {
            s[i] = s[i + 1];
            s[i + 1] = mark;
            ++i;
        }
    }
    return platform::toNfc(platform::encodeUtf8(s));
}

// The last character written ends a word: a letter, digit or mark (non-ASCII output is never a
// separator, the rule turned those into spaces).
bool endsInWordCharacter(std::string_view out) {
    if (out.empty()) return false;
    const auto last = static_cast<unsigned char>(out.back());
    if (last < 0x80) return isAsciiAlnum(last);
    return true;
}

bool startsWithLetterOrNumber(std::string_view text, size_t i) {
    if (i >= text.size()) return false;
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) return isAsciiAlnum(b);
    const auto [cp, length] = decodeAt(text, i);
    return length > 0 && isLetterOrNumber(cp);
}

bool isTokenByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x80 || isAsciiAlnum(b);
}

// Scripts written without spaces between words keep each character apart (with the marks that follow
// it), so that a word is found as the phrase of its characters: the tokenizer would otherwise keep a
// whole sentence as one token. A space is added only where the neighbour would join the token, so
// folding the result again changes nothing.
// platform::isMark, asked only below the CJK blocks and for the few marks inside or beyond them: Chinese
// and Japanese text would otherwise ask the library about every character.
bool isMark(char32_t c) {
    const bool mayBeMark = c < 0x2E80 || (c >= 0x302A && c <= 0x302F) || c == 0x3099 || c == 0x309A || c >= 0xFE00;
    return mayBeMark && platform::isMark(c);
}

std::string withUnspacedCharactersApart(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 2);
    size_t i = 0;
    while (i < s.size()) {
        const auto [cp, length] = decodeAt(s, i);
        if (length == 0 || !FtsTools::isUnspacedScript(cp) || isMark(cp)) {
            const size_t n = length == 0 ? 1 : length;
            out.append(s, i, n);
            i += n;
            continue;
        }
        size_t end = i + length;
        while (end < s.size()) {
            const auto [next, nextLength] = decodeAt(s, end);
            if (nextLength == 0 || !isMark(next)) break;
            end += nextLength;
        }
        if (!out.empty() && isTokenByte(out.back())) out.push_back(' ');
        out.append(s, i, end - i);
        if (end < s.size() && isTokenByte(s[end])) out.push_back(' ');
        i = end;
    }
    return out;
}

// A word holding apostrophes is written twice, split and then joined: "l'aubergine" becomes
// "l aubergine laubergine", so that "aubergine", "l'aubergine" (looked up joined) and "laubergine"
// each find it, and a phrase folded by this same rule matches the same sequence. No apostrophe is
// left, so folding the result again changes nothing. `s` holds apostrophes only inside words.
std::string withSplitAndJoinedWords(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    size_t copied = 0;
    for (size_t apostrophe = s.find('\''); apostrophe != std::string_view::npos;
         apostrophe = s.find('\'', copied)) {
        size_t start = apostrophe;
        while (start > copied && isTokenByte(s[start - 1])) --start;
        size_t end = apostrophe;
        while (end < s.size() && (isTokenByte(s[end]) || s[end] == '\'')) ++end;
        out.append(s, copied, start - copied);
        const std::string_view word = s.substr(start, end - start);
        for (char c : word) out.push_back(c == '\'' ? ' ' : c);
        out.push_back(' ');
        for (char c : word) {
            if (c != '\'') out.push_back(c);
        }
        copied = end;
    }
    out.append(s, copied);
    return out;
}

// Whether the apostrophe before text[next] stands inside a word: `out` so far ends in a word
// character and the text goes on with a letter or digit.
bool apostropheInsideWord(std::string_view out, std::string_view text, size_t next) {
    return endsInWordCharacter(out) && startsWithLetterOrNumber(text, next);
}

// ASCII that folds to itself apart from case.
bool isPlainAscii(unsigned char b) {
    return b < 0x80 && b != '\'' && b != '"' && b != '`' && b != ',' && b != ';' && b != '$';
}

std::string foldComposed(std::string_view text) {
    const auto& table = latinTable();
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    bool inWordApostrophes = false;
    bool unspacedScript = false;
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (isPlainAscii(b)) {
            // Most text is runs of these: copied at once, then lower-cased in place.
            size_t end = i + 1;
            while (end < text.size() && isPlainAscii(static_cast<unsigned char>(text[end]))) ++end;
            const size_t at = out.size();
            out.append(text, i, end - i);
            for (char* c = out.data() + at; c != out.data() + out.size(); ++c) {
                if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + 32);
            }
            i = end;
            continue;
        }
        if (b < 0x80) {
            switch (b) {
                case '\'':
                    // Kept inside a word until the end (see withSplitAndJoinedWords), else dropped.
                    if (apostropheInsideWord(out, text, i + 1)) {
                        out.push_back('\'');
                        inWordApostrophes = true;
                    }
                    break;
                case '"': case '`': break;
                case ',': case ';': out.push_back('.'); break;
                case '$': out.push_back(' '); break;
                default: out.push_back(static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b));
            }
            ++i;
            continue;
        }
        const auto [cp, length] = decodeAt(text, i);
        if (length == 0) {
            out += kReplacementCharacter;
            ++i;
            continue;
        }
        if (isTypographicApostrophe(cp)) {
            // Like the straight one inside a word; elsewhere a separator like other punctuation.
            const bool inside = apostropheInsideWord(out, text, i + length);
            out.push_back(inside ? '\'' : ' ');
            inWordApostrophes = inWordApostrophes || inside;
            i += length;
            continue;
        }
        if (cp < kTableEnd) {
            out += table[cp];
            i += length;
            continue;
        }
        if (isTablePunctuation(cp)) {
            out += punctuationTable()[cp - kPunctuationBegin];
            i += length;
            continue;
        }
        // Everything else (other scripts, combining marks, symbols) goes through the library as a run.
        unspacedScript = unspacedScript || FtsTools::isUnspacedScript(cp);
        size_t end = i + length;
        while (end < text.size()) {
            // The spaces between its words stay in the run: one library call for a line, not for each word.
            if (text[end] == ' ') {
                ++end;
                continue;
            }
            const auto [next, nextLength] = decodeAt(text, end);
            if (nextLength == 0 || next < kTableEnd || isTablePunctuation(next) || isTypographicApostrophe(next)) break;
            unspacedScript = unspacedScript || FtsTools::isUnspacedScript(next);
            end += nextLength;
        }
        out += foldWithUnicodeLibrary(text.substr(i, end - i));
        i = end;
    }
    if (inWordApostrophes) out = withSplitAndJoinedWords(out);
    if (unspacedScript) out = withUnspacedCharactersApart(out);
    return out;
}

}  // namespace

bool FtsTools::isUnspacedScript(char32_t c) {
    if (c < 0x0E00) return false;
    static constexpr std::pair<char32_t, char32_t> kRanges[] = {
        {0x0E00, 0x0EFF},    // Thai, Lao
        {0x1000, 0x109F},    // Myanmar
        {0x1780, 0x17FF},    // Khmer
        {0x19E0, 0x19FF},    // Khmer symbols
        {0x2E80, 0x2FDF},    // CJK and Kangxi radicals
        {0x3005, 0x3007},    // ideographic iteration mark, closing mark, number zero
        {0x3021, 0x3029},    // Hangzhou numerals
        {0x3031, 0x3035},    // kana repeat marks
        {0x3038, 0x303C},
        {0x3040, 0x30FF},    // Hiragana, Katakana
        {0x31F0, 0x31FF},    // Katakana phonetic extensions
        {0x3400, 0x4DBF},    // CJK extension A
        {0x4E00, 0x9FFF},    // CJK unified ideographs
        {0xA9E0, 0xA9FF},    // Myanmar extended B
        {0xAA60, 0xAA7F},    // Myanmar extended A
        {0xF900, 0xFAFF},    // CJK compatibility ideographs
        {0xFF66, 0xFF9F},    // halfwidth Katakana
        {0x1B000, 0x1B16F},  // kana supplement and extensions
        {0x20000, 0x3134F},  // CJK extensions B to G
    };
    for (const auto& [first, last] : kRanges) {
        if (c < first) return false;
        if (c <= last) return true;
    }
    return false;
}

std::string FtsTools::fold(std::string_view text) {
    const CompositionNeeds needs = compositionNeeds(text);
    if (needs.detachedAccents) return foldComposed(composeLetters(text));
    if (needs.nfc) return foldComposed(platform::toNfc(text));
    return foldComposed(text);
}

std::string FtsTools::foldQueryWord(std::string_view word) {
    std::u32string joined;
    for (char32_t c : platform::decodeUtf8(word)) {
        if (isApostrophe(c) && !joined.empty() &&
            (isLetterOrNumber(joined.back()) || platform::isMark(joined.back()))) {
            continue;
        }
        joined.push_back(c);
    }
    return fold(platform::encodeUtf8(joined));
}

}  // namespace lumidex::storage
