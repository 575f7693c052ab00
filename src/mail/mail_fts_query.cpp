#include "mail/mail_fts_query.h"

#include <vector>

#include "platform/digest.h"
#include "platform/unicode.h"

namespace lumidex::mail {

using platform::CharacterClass;

namespace {

bool isSpace(char32_t c) {
    if (c == U' ' || (c >= U'\t' && c <= U'\r') || c == 0x85) return true;
    return c > 0x7f && platform::characterClass(c) == CharacterClass::separator;
}

bool isWordCharacter(char32_t c) {
    const CharacterClass k = platform::characterClass(c);
    return k == CharacterClass::letter || k == CharacterClass::number;
}

bool hasLetter(std::u32string_view word) {
    for (const char32_t c : word) {
        if (platform::isLetter(c)) return true;
    }
    return false;
}

// User-perceived characters, as a reader counts them ("ü" written with a combining mark is one).
size_t lengthOf(std::u32string_view word) { return platform::characterCount(platform::encodeUtf8(word)); }

std::string withStar(std::u32string_view word) {
    std::string out = platform::encodeUtf8(word);
    if (lengthOf(word) >= 2) out.push_back('*');
    return out;
}

// Combining marks stay with the letter before them: they are part of that character, not a break.
std::vector<std::u32string> wordsOf(std::u32string_view token) {
    std::vector<std::u32string> words;
    std::u32string current;
    for (const char32_t c : token) {
        if (isWordCharacter(c) || (!current.empty() && platform::isMark(c))) {
            current.push_back(c);
        } else if (!current.empty()) {
            words.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) words.push_back(std::move(current));
    return words;
}

std::string termOf(const std::vector<std::u32string>& words) {
    if (words.size() == 1) return withStar(words[0]);
    std::string phrase = "\"";
    bool allHaveLetters = true;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) phrase.push_back(' ');
        const bool last = i + 1 == words.size();
        phrase += last && hasLetter(words[i]) ? withStar(words[i]) : platform::encodeUtf8(words[i]);
        allHaveLetters = allHaveLetters && hasLetter(words[i]);
    }
    phrase.push_back('"');
    if (!allHaveLetters) return phrase;
    std::u32string joined;
    for (const auto& w : words) joined += w;
    return "(" + phrase + " OR " + withStar(joined) + ")";
}

}  // namespace

std::string trimMailQuery(std::string_view query) {
    const std::u32string text = platform::decodeUtf8(query);
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    return platform::encodeUtf8(std::u32string_view(text).substr(begin, end - begin));
}

std::string mailFtsMatchExpression(std::string_view query) {
    const std::u32string text = platform::decodeUtf8(platform::toNfc(trimMailQuery(query)));
    std::string expression;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        const size_t start = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (start == i) break;
        const auto words = wordsOf(std::u32string_view(text).substr(start, i - start));
        if (words.empty()) continue;
        if (!expression.empty()) expression.push_back(' ');
        expression += termOf(words);
    }
    return expression;
}

std::string mailFtsLikePattern(std::string_view trimmedQuery) {
    std::string pattern = "%";
    for (const char c : trimmedQuery) {
        if (c == '\\') pattern += "\\\\";
        else if (c == '%' || c == '_') {
            pattern.push_back('\\');
            pattern.push_back(c);
        } else {
            pattern.push_back(c);
        }
    }
    pattern.push_back('%');
    return pattern;
}

int64_t mailContentHash(std::string_view content) {
    const auto digest = platform::sha256(content);
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | digest[static_cast<size_t>(i)];
    return static_cast<int64_t>(value);
}

}  // namespace lumidex::mail
