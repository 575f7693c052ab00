// Unicode text operations over UTF-8 std::string values.
//
// Pure functions: thread-safe, never throw (except std::bad_alloc). Ill-formed UTF-8 is read as
// U+FFFD per maximal ill-formed subsequence, except by toNfc/toNfd, which return such input unchanged
// so that a file name that is not UTF-8 still names its file. Pure-ASCII input takes a fast path.
// Texts of 2 GiB or more are returned unchanged by the transforming functions (an ICU size limit).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace lumidex::platform {

// Canonical composition (NFC) and canonical decomposition (NFD).
std::string toNfc(std::string_view text);
std::string toNfd(std::string_view text);

// Full Unicode lower-casing with root-locale rules (no Turkish dotless-i mapping).
std::string toLowerCase(std::string_view text);

// Diacritic-insensitive folding: NFD, drop nonspacing marks (general category Mn), NFC.
// Letters without a decomposition ("ø", "ß", "ł") stay as they are.
std::string removeDiacritics(std::string_view text);

// User-perceived characters: extended grapheme clusters ("e" + combining acute is one, CR LF is one).
size_t characterCount(std::string_view text);

// General category L* (letters). Values outside the code space are not letters.
bool isLetter(char32_t c);
// General category M* (combining marks of any kind).
bool isMark(char32_t c);
// General category Ll (lower-case letters); upper case here means Lu or Lt (title case).
bool isLowercaseLetter(char32_t c);
bool isUppercaseLetter(char32_t c);

// The major general category: the first letter of L*, M*, N*, P*, S*, Z*; `other` for C* and for
// values outside the code space.
enum class CharacterClass { letter, mark, number, punctuation, symbol, separator, other };
CharacterClass characterClass(char32_t c);

// False when `c` always stays as it is under NFC (quick check "yes"); true when composition may
// change it or merge it with its neighbour, as for combining marks.
bool mayChangeUnderNfc(char32_t c);

// UTF-8 to scalar values; every maximal ill-formed subsequence becomes one U+FFFD.
std::u32string decodeUtf8(std::string_view text);
// Scalar values to UTF-8; surrogates and values above U+10FFFF are written as U+FFFD.
std::string encodeUtf8(std::u32string_view text);

// The scalar value of the UTF-8 sequence at text[i] and its length in bytes; length 0 when the bytes
// there are not well-formed UTF-8 (overlong forms, surrogates and truncated sequences included).
// Inline: text scanners call it for every character.
inline std::pair<char32_t, size_t> decodeUtf8At(std::string_view text, size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return {b0, 1};
    size_t length;
    char32_t cp;
    if (b0 < 0xC2) return {0, 0};
    if (b0 < 0xE0) {
        length = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 < 0xF0) {
        length = 3;
        cp = b0 & 0x0Fu;
    } else if (b0 < 0xF5) {
        length = 4;
        cp = b0 & 0x07u;
    } else {
        return {0, 0};
    }
    if (i + length > text.size()) return {0, 0};
    for (size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0u) != 0x80u) return {0, 0};
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if ((length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
        return {0, 0};
    }
    return {cp, length};
}

}  // namespace lumidex::platform
