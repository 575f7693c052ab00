// ICU implementation of the Unicode seam. Works on UTF-8 directly where ICU allows it (normalisation,
// case mapping, grapheme iteration through UText) to avoid UTF-16 round trips on long texts.
#include "platform/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

namespace lumidex::platform {
namespace {

bool isAscii(std::string_view text) {
    const char* p = text.data();
    size_t n = text.size();
    constexpr uint64_t highBits = 0x8080808080808080ULL;
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & highBits) != 0) return false;
        p += 8;
        n -= 8;
    }
    for (; n > 0; --n, ++p) {
        if ((static_cast<unsigned char>(*p) & 0x80) != 0) return false;
    }
    return true;
}

int32_t length32(std::string_view text) { return static_cast<int32_t>(text.size()); }

// ICU's UTF-8 entry points take int32_t lengths; the transforming functions return longer texts
// unchanged.
constexpr size_t kMaxIcuLength = static_cast<size_t>(INT32_MAX);

bool tooLong(std::string_view text) { return text.size() > kMaxIcuLength; }

bool isWellFormedUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t n = length32(text);
    int32_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c;
        U8_NEXT(s, i, n, c);
        if (c < 0) return false;
    }
    return true;
}

// Replaces every maximal ill-formed subsequence by U+FFFD.
std::string sanitized(std::string_view text) { return encodeUtf8(decodeUtf8(text)); }

void appendUtf8(std::string& out, UChar32 c) {
    char buffer[4];
    int32_t length = 0;
    UBool error = false;
    U8_APPEND(reinterpret_cast<uint8_t*>(buffer), length, 4, c, error);
    if (error) {
        length = 0;
        U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(buffer), length, 0xFFFD);
    }
    out.append(buffer, static_cast<size_t>(length));
}

// Normalises well-formed UTF-8; on any ICU failure the input comes back unchanged.
std::string normalize(const icu::Normalizer2* normalizer, std::string_view text) {
    if (normalizer == nullptr || tooLong(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    normalizer->normalizeUTF8(0, icu::StringPiece(text.data(), length32(text)), sink, nullptr, status);
    if (U_FAILURE(status)) return std::string(text);
    return out;
}

const icu::Normalizer2* nfc() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
}

const icu::Normalizer2* nfd() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
}

}  // namespace

std::string toNfc(std::string_view text) {
    if (tooLong(text) || isAscii(text) || !isWellFormedUtf8(text)) return std::string(text);
    return normalize(nfc(), text);
}

std::string toNfd(std::string_view text) {
    if (tooLong(text) || isAscii(text) || !isWellFormedUtf8(text)) return std::string(text);
    return normalize(nfd(), text);
}

std::string toLowerCase(std::string_view text) {
    if (isAscii(text)) {
        std::string out(text);
        for (char& ch : out) {
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        return out;
    }
    if (tooLong(text)) return std::string(text);
    const std::string clean = isWellFormedUtf8(text) ? std::string(text) : sanitized(text);
    if (tooLong(clean)) return clean;
    std::string out;
    out.reserve(clean.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    // The empty locale id selects the root rules.
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(clean.data(), length32(clean)), sink, nullptr, status);
    if (U_FAILURE(status)) return clean;
    return out;
}

std::string removeDiacritics(std::string_view text) {
    if (tooLong(text) || isAscii(text)) return std::string(text);
    const std::string clean = isWellFormedUtf8(text) ? std::string(text) : sanitized(text);
    const std::string decomposed = normalize(nfd(), clean);
    if (tooLong(decomposed)) return clean;

    std::string stripped;
    stripped.reserve(decomposed.size());
    const auto* s = reinterpret_cast<const uint8_t*>(decomposed.data());
    const auto n = length32(decomposed);
    int32_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            stripped.push_back(static_cast<char>(s[i++]));
            continue;
        }
        const int32_t start = i;
        UChar32 c;
        U8_NEXT_OR_FFFD(s, i, n, c);
        if (u_charType(c) == U_NON_SPACING_MARK) continue;
        stripped.append(decomposed, static_cast<size_t>(start), static_cast<size_t>(i - start));
    }
    return normalize(nfc(), stripped);
}

namespace {

// Counts clusters without segmentation rules when every scalar is of the break classes Other or
// Control: then each scalar is its own cluster except CR LF. This covers ASCII and precomposed Latin,
// Greek, Cyrillic, CJK. Returns nullopt when some scalar needs the full rules.
std::optional<size_t> simpleCharacterCount(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto n = static_cast<int32_t>(text.size());
    size_t count = 0;
    int32_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            if (!(s[i] == '\n' && i > 0 && s[i - 1] == '\r')) ++count;
            ++i;
            continue;
        }
        UChar32 c;
        U8_NEXT_OR_FFFD(s, i, n, c);
        const int32_t kind = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
        if (kind != U_GCB_OTHER && kind != U_GCB_CONTROL) return std::nullopt;
        ++count;
    }
    return count;
}

}  // namespace

size_t characterCount(std::string_view text) {
    if (text.size() > kMaxIcuLength) return decodeUtf8(text).size();
    if (const std::optional<size_t> simple = simpleCharacterCount(text)) return *simple;
    // Creating a break iterator loads rule data; keep one per thread.
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) it.reset();
        return it;
    }();
    if (!iterator) return decodeUtf8(text).size();

    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    if (U_FAILURE(status)) return decodeUtf8(text).size();
    iterator->setText(ut, status);
    size_t count = 0;
    if (U_SUCCESS(status)) {
        iterator->first();
        while (iterator->next() != icu::BreakIterator::DONE) ++count;
    } else {
        count = decodeUtf8(text).size();
    }
    // Detach the iterator from the caller's buffer before the UText goes away.
    UErrorCode resetStatus = U_ZERO_ERROR;
    UText* empty = utext_openUTF8(nullptr, "", 0, &resetStatus);
    if (U_SUCCESS(resetStatus)) iterator->setText(empty, resetStatus);
    utext_close(empty);
    utext_close(ut);
    return count;
}

bool isLetter(char32_t c) { return c <= 0x10FFFF && u_isalpha(static_cast<UChar32>(c)); }

bool isMark(char32_t c) {
    return c <= 0x10FFFF && (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0;
}

CharacterClass characterClass(char32_t c) {
    if (c > 0x10FFFF) return CharacterClass::other;
    const uint32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    if ((mask & U_GC_L_MASK) != 0) return CharacterClass::letter;
    if ((mask & U_GC_M_MASK) != 0) return CharacterClass::mark;
    if ((mask & U_GC_N_MASK) != 0) return CharacterClass::number;
    if ((mask & U_GC_P_MASK) != 0) return CharacterClass::punctuation;
    if ((mask & U_GC_S_MASK) != 0) return CharacterClass::symbol;
    if ((mask & U_GC_Z_MASK) != 0) return CharacterClass::separator;
    return CharacterClass::other;
}

bool mayChangeUnderNfc(char32_t c) {
    return c <= 0x10FFFF && u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NFC_QUICK_CHECK) != UNORM_YES;
}

bool isLowercaseLetter(char32_t c) { return c <= 0x10FFFF && u_islower(static_cast<UChar32>(c)); }

bool isUppercaseLetter(char32_t c) {
    return c <= 0x10FFFF && (u_isupper(static_cast<UChar32>(c)) || u_istitle(static_cast<UChar32>(c)));
}

std::u32string decodeUtf8(std::string_view text) {
    std::u32string out(text.size(), U'\0');
    char32_t* o = out.data();
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    // U8_NEXT takes 32-bit indices: walk longer inputs in windows that end before a lead byte.
    size_t base = 0;
    while (base < text.size()) {
        size_t end = text.size();
        if (end - base > kMaxIcuLength) {
            end = base + kMaxIcuLength;
            while (end > base + 1 && (s[end] & 0xC0) == 0x80) --end;
        }
        const uint8_t* window = s + base;
        const auto n = static_cast<int32_t>(end - base);
        int32_t i = 0;
        while (i < n) {
            if (window[i] < 0x80) {
                *o++ = window[i++];
                continue;
            }
            UChar32 c;
            U8_NEXT_OR_FFFD(window, i, n, c);
            *o++ = static_cast<char32_t>(c);
        }
        base = end;
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

std::string encodeUtf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        const bool valid = c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        appendUtf8(out, valid ? static_cast<UChar32>(c) : 0xFFFD);
    }
    return out;
}

}  // namespace lumidex::platform
