#include "core/hashing.h"

#include <cmath>
#include <limits>

#include "platform/unicode.h"

namespace lumidex {
namespace {

constexpr size_t kMinContentCharacters = 100;

bool isAsciiText(std::string_view text) {
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0x80) != 0) return false;
    }
    return true;
}

// Letters and their combining marks stay; every other scalar becomes one space.
std::string lettersAndSpaces(std::string_view text) {
    std::u32string scalars = platform::decodeUtf8(text);
    for (char32_t& c : scalars) {
        if (!platform::isLetter(c) && !platform::isMark(c)) c = U' ';
    }
    return platform::encodeUtf8(scalars);
}

bool hasEnoughCharacters(std::string_view text) {
    // Each byte is at most one scalar and each scalar at most one character.
    if (text.size() < kMinContentCharacters) return false;
    // In ASCII every byte is one character, and no CR LF pair survives the folding.
    if (isAsciiText(text)) return true;

    // A prefix usually settles it. A prefix cut at a scalar boundary with more than the minimum
    // number of characters settles it for the whole text: only its last character could still grow.
    constexpr size_t kPrefixBytes = 2048;
    if (text.size() > kPrefixBytes) {
        size_t cut = kPrefixBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        if (platform::characterCount(lettersAndSpaces(text.substr(0, cut))) > kMinContentCharacters) return true;
    }
    return platform::characterCount(lettersAndSpaces(text)) >= kMinContentCharacters;
}

bool isUrlPathCharacter(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case ';': case '=': case '@': case '_': case '~':
            return true;
        default:
            return false;
    }
}

uint32_t wholeSeconds(Date date) {
    const double seconds = secondsSince1970(date);
    if (!(seconds > 0)) return 0;  // also NaN
    if (seconds >= static_cast<double>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(seconds);  // truncates toward zero
}

}  // namespace

uint32_t fnv1a32(std::string_view bytes) {
    uint32_t h = 2166136261u;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

uint32_t djb2(std::string_view bytes) {
    uint32_t h = 5381u;
    for (char c : bytes) h = h * 33u + static_cast<unsigned char>(c);
    return h;
}

uint32_t djb2Scalars(std::string_view utf8) {
    if (isAsciiText(utf8)) return djb2(utf8);
    uint32_t h = 5381u;
    for (char32_t s : platform::decodeUtf8(utf8)) h = h * 33u + static_cast<uint32_t>(s);
    return h;
}

uint32_t contentHash(std::string_view text) { return hasEnoughCharacters(text) ? fnv1a32(text) : 0; }

namespace {

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// Feeds "file://" and the percent-encoded path to `put`, one character at a time.
template <class Put>
void writeFileUrl(std::string_view nfc, Put put) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char ch : std::string_view("file://")) put(ch);
    for (char ch : nfc) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUrlPathCharacter(c)) {
            put(ch);
        } else {
            put('%');
            put(kHex[c >> 4]);
            put(kHex[c & 0x0F]);
        }
    }
}

}  // namespace

std::string fileUrlString(std::string_view path) {
    const std::string nfc = platform::toNfc(withoutTrailingSlashes(path));
    std::string out;
    out.reserve(7 + nfc.size() + nfc.size() / 4);
    writeFileUrl(nfc, [&out](char ch) { out.push_back(ch); });
    return out;
}

uint32_t combinedHash(std::string_view path, Date modificationDate) {
    return combinedHashOfNfcPath(platform::toNfc(withoutTrailingSlashes(path)), modificationDate);
}

uint32_t combinedHashOfNfcPath(std::string_view nfcPath, Date modificationDate) {
    uint32_t h = 5381u;
    writeFileUrl(withoutTrailingSlashes(nfcPath), [&h](char ch) { h = h * 33u + static_cast<unsigned char>(ch); });
    return h * 33u + wholeSeconds(modificationDate);
}

}  // namespace lumidex
