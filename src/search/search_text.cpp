#include "search/search_text.h"

#include <vector>

#include "platform/unicode.h"
#include "storage/fts_tools.h"

namespace lumidex::search {
namespace {

bool isDigit(char32_t c) {
    if (c >= U'0' && c <= U'9') return true;
    // The decimal digits of the scripts people type numbers in; each block is ten consecutive values.
    static constexpr char32_t kZeros[] = {0x660, 0x6F0, 0x7C0, 0x966, 0x9E6, 0xA66, 0xAE6, 0xB66, 0xBE6,
                                          0xC66, 0xCE6, 0xD66, 0xDE6, 0xE50, 0xED0, 0xF20, 0x1040, 0xFF10};
    for (char32_t zero : kZeros) {
        if (c >= zero && c <= zero + 9) return true;
    }
    return false;
}

bool isWhitespace(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || (c >= 0x2000 && c <= 0x200B) || c == 0x3000 ||
           c == 0x202F || c == 0x205F || c == 0x1680;
}

// Non-ASCII characters that are neither letters, digits, combining marks nor punctuation: emoji and
// symbols. Punctuation is left alone like ASCII punctuation: the stores fold it to a word separator,
// and an apostrophe in "O’Brien" belongs to the word.
bool isIgnoredSymbol(char32_t c) {
    return c >= 0x80 && !isWhitespace(c) && !platform::isLetter(c) && !platform::isMark(c) && !isDigit(c) &&
           platform::characterClass(c) != platform::CharacterClass::punctuation;
}

bool hasLetterOrDigit(std::string_view word) {
    for (char32_t c : platform::decodeUtf8(storage::FtsTools::fold(word))) {
        if (platform::isLetter(c) || isDigit(c)) return true;
    }
    return false;
}

struct Words {
    std::vector<std::string> kept;
    bool ignored = false;
};

// Splits at white space and at ignored symbols, keeping the pieces that can match something.
Words cleanWords(std::string_view text) {
    Words words;
    std::u32string current;
    const auto flush = [&] {
        if (current.empty()) return;
        std::string word = platform::encodeUtf8(current);
        current.clear();
        if (hasLetterOrDigit(word)) words.kept.push_back(std::move(word));
        else words.ignored = true;
    };
    for (char32_t c : platform::decodeUtf8(text)) {
        if (isWhitespace(c)) {
            flush();
        } else if (isIgnoredSymbol(c)) {
            words.ignored = true;
            flush();
        } else {
            current.push_back(c);
        }
    }
    flush();
    return words;
}

std::string join(const std::vector<std::string>& pieces) {
    std::string out;
    for (const std::string& piece : pieces) {
        if (!out.empty()) out += ' ';
        out += piece;
    }
    return out;
}

// A phrase rebuilt in straight double quotes. Quote characters inside it are dropped: folding deletes
// them from stored text and query alike, so the phrase matches the same documents.
std::string quotedPhrase(const std::vector<std::string>& words) {
    std::string phrase;
    for (char c : join(words)) {
        if (c != '"') phrase.push_back(c);
    }
    return '"' + phrase + '"';
}

CleanedSearchText cleanedOnce(std::string_view searchText, bool wholeTextIsPhrase) {
    CleanedSearchText result{std::string(searchText), false};
    if (wholeTextIsPhrase) {
        Words words = cleanWords(searchText);
        if (words.ignored) result = {join(words.kept), true};
        return result;
    }

    const storage::SplitSearchText split = storage::FtsTools::splitSearchText(searchText);
    std::vector<std::string> parts;
    bool ignored = false;
    for (const std::string& phrase : split.phrases) {
        Words words = cleanWords(phrase);
        ignored = ignored || words.ignored;
        if (!words.kept.empty()) parts.push_back(quotedPhrase(words.kept));
    }
    // A quote left inside a word (an unpaired one) is dropped as folding drops it; kept, it could pair
    // with another one the next time the text is read and turn words into a phrase.
    const auto withoutQuotes = [&ignored](std::string word) {
        if (std::erase(word, '"') > 0) ignored = true;
        return word;
    };
    for (const std::string& word : split.includedWords) {
        Words words = cleanWords(withoutQuotes(word));
        ignored = ignored || words.ignored;
        for (std::string& piece : words.kept) {
            // A piece cut from the middle of a word must not turn into an exclusion.
            piece.erase(0, piece.find_first_not_of('-'));
            parts.push_back(std::move(piece));
        }
    }
    for (const std::string& excluded : split.excludedWords) {
        // An exclusion is a substring test on the stored text; only a word that can occur there counts.
        const std::string word = withoutQuotes(excluded);
        if (hasLetterOrDigit(word)) {
            parts.push_back('-' + word);
        } else {
            ignored = true;
        }
    }
    if (ignored) result = {join(parts), true};
    return result;
}

}  // namespace

CleanedSearchText withoutIgnoredCharacters(std::string_view searchText, bool wholeTextIsPhrase) {
    // Removing a character can pair quotes or join pieces differently; the text shown and queried is
    // the one a further reading leaves as it is. Every pass only removes, so it settles quickly.
    std::string current(searchText);
    for (int pass = 0; pass < 16; ++pass) {
        CleanedSearchText once = cleanedOnce(current, wholeTextIsPhrase);
        if (!once.ignoredSomething || once.searchText == current) break;
        current = std::move(once.searchText);
    }
    const bool changed = current != searchText;
    return {std::move(current), changed};
}

int64_t lengthWithoutSpaces(std::string_view searchText) {
    std::string compact;
    compact.reserve(searchText.size());
    for (char c : searchText) {
        if (c != ' ') compact.push_back(c);
    }
    return storage::FtsTools::searchLength(compact);
}

std::string resultCountText(int64_t count) {
    std::string text(kResultCountTemplate);
    constexpr std::string_view placeholder = "__magic_placeholder__";
    text.replace(text.find(placeholder), placeholder.size(), std::to_string(count));
    return text;
}

}  // namespace lumidex::search
