#include "search/display_snippet.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "platform/unicode.h"
#include "storage/fts_tools.h"

namespace lumidex::search {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
// Search words beyond this many are not marked (one bit each per word of the text).
constexpr size_t kMaxQueryWords = 64;
// Punctuation glued to a passage's first or last word is shown with it, up to this many bytes.
constexpr size_t kMaxGlueBytes = 24;
// A passage is cut after this many bytes (a run of letters without a break, such as encoded data,
// would otherwise fill the screen).
constexpr size_t kMaxPassageBytes = 480;

// What a character of the original text is to the full-text store, judged by what fold() makes of it:
// part of a word, gone (quotes, apostrophes: the letters around it stay one word), or a separator.
// Spaces and control characters are separators that the passage shows as one space. A character of a
// script written without spaces is a word of its own, as the store keeps it.
enum class Kind : uint8_t { space, separator, token, vanishing, mark, single };

// The byte is part of a word for the store's tokenizer: ASCII letters and digits and every non-ASCII byte.
bool isTokenByte(unsigned char b) {
    return b >= 0x80 || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
}

Kind kindOfFolded(std::string_view folded) {
    if (folded.empty()) return Kind::vanishing;
    for (char c : folded) {
        if (isTokenByte(static_cast<unsigned char>(c))) return Kind::token;
    }
    return Kind::separator;
}

// Apostrophes keep a word together for display: the store keeps "l'aubergine" as "l aubergine laubergine",
// and the whole word has to be folded at once for its parts to be found.
bool isApostrophe(char32_t cp) { return cp == U'\'' || cp == 0x2019 || cp == 0x02BC || cp == 0x2018 || cp == 0x2032; }

bool isSpace(char32_t cp) {
    return cp <= 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0xA0) || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}


// fold() of each ASCII character, asked once: words of plain ASCII (most words) are folded character by
// character instead of one fold() call each, with the same result.
struct AsciiFolds {
    std::array<std::string, 128> folded;
    std::array<Kind, 128> kind{};
    // The folded byte of a character that folds to one byte of a word (a letter or digit), else 0.
    std::array<char, 128> single{};
    // For the letters of Latin scripts below U+0250 (accented ones included) whose fold is letters only:
    // its first byte; else 0. A word of such letters folds letter by letter into one word.
    std::array<char, 0x250> latinFirst{};
};

const AsciiFolds& asciiFolds() {
    static const AsciiFolds folds = [] {
        AsciiFolds f;
        for (char32_t c = 0; c < 128; ++c) {
            f.folded[c] = storage::FtsTools::fold(std::string(1, static_cast<char>(c)));
            f.kind[c] = isSpace(c) ? Kind::space : isApostrophe(c) ? Kind::vanishing : kindOfFolded(f.folded[c]);
            if (f.folded[c].size() == 1 && isTokenByte(static_cast<unsigned char>(f.folded[c][0]))) f.single[c] = f.folded[c][0];
            f.latinFirst[c] = f.single[c];
        }
        for (char32_t c = 0xC0; c < 0x250; ++c) {
            if (c == 0xD7 || c == 0xF7) continue;  // × and ÷
            const std::string folded = storage::FtsTools::fold(platform::encodeUtf8(std::u32string(1, c)));
            const bool letters = !folded.empty() && std::ranges::all_of(folded, [](char b) {
                return isTokenByte(static_cast<unsigned char>(b)) && static_cast<unsigned char>(b) < 0x80;
            });
            if (letters) f.latinFirst[c] = folded[0];
        }
        return f;
    }();
    return folds;
}

struct Char {
    size_t begin = 0;
    size_t length = 1;
    Kind kind = Kind::separator;
    bool invalid = false;
};

class Scanner {
public:
    explicit Scanner(const TextPrefixReader& read) : read_(read), ascii_(asciiFolds()) {}

    // True when the text has a byte at i (reading on as needed).
    bool has(size_t i) {
        // Up to a whole UTF-8 sequence at i, and a little more so that reads are not byte by byte.
        if (i + 4 > text_.size() && !complete_) readOn(i);
        return i < text_.size();
    }

    // The character at i; has(i) must be true.
    Char at(size_t i) {
        // Most characters are ASCII: no decoding, no reading on.
        if (i < text_.size()) {
            const auto byte = static_cast<unsigned char>(text_[i]);
            if (byte < 0x80) return {i, 1, ascii_.kind[byte], false};
        }
        has(i);
        const auto [cp, length] = platform::decodeUtf8At(text_, i);
        if (length == 0) return {i, 1, Kind::separator, true};
        if (cp < 128) return {i, 1, ascii_.kind[cp], false};
        return {i, length, kindOf(cp, text_.substr(i, length)), false};
    }

    // The text read so far.
    std::string_view text() const { return text_; }

    // The end of the run of ASCII letters and digits from i on, in the text read so far.
    size_t asciiTokenRunEnd(size_t i) const {
        while (i < text_.size() && static_cast<unsigned char>(text_[i]) < 0x80 &&
               ascii_.kind[static_cast<unsigned char>(text_[i])] == Kind::token) {
            ++i;
        }
        return i;
    }

private:
    void readOn(size_t i) {
        const size_t wanted = std::max(i + 4, 2 * text_.size());
        text_ = read_(wanted);
        complete_ = text_.size() < wanted;
    }
    Kind kindOf(char32_t cp, std::string_view bytes) {
        if (isSpace(cp)) return Kind::space;
        if (isApostrophe(cp)) return Kind::vanishing;
        if (auto found = kinds_.find(cp); found != kinds_.end()) return found->second;
        Kind kind = kindOfFolded(storage::FtsTools::fold(bytes));
        if (kind == Kind::token && storage::FtsTools::isUnspacedScript(cp) && !platform::isMark(cp)) kind = Kind::single;
        // A combining mark folds to nothing but belongs to the letter before it, also in a marked word.
        if (kind == Kind::vanishing && platform::isMark(cp)) kind = Kind::mark;
        kinds_.emplace(cp, kind);
        return kind;
    }

    const TextPrefixReader& read_;
    const AsciiFolds& ascii_;
    std::string_view text_;
    bool complete_ = false;
    std::unordered_map<char32_t, Kind> kinds_;
};

struct Token {
    size_t begin = 0;      // first letter
    size_t end = 0;        // after the last letter (and its marks)
    size_t wordBegin = 0;  // after the white space before it, at most kMaxGlueBytes earlier
};

// The words of the text as the store's tokenizer sees the folded text, read only as far as asked for:
// a passage near the start of a long document costs no scan of the rest.
class Tokens {
public:
    explicit Tokens(Scanner& scanner) : scanner_(scanner) {}

    // True when the text has a word `index`.
    bool has(size_t index) {
        while (tokens_.size() <= index && readOne()) {
        }
        return index < tokens_.size();
    }
    const Token& operator[](size_t index) const { return tokens_[index]; }

private:
    bool readOne() {
        bool inToken = false;
        Token current;
        while (scanner_.has(at_)) {
            const Char c = scanner_.at(at_);
            switch (c.kind) {
                case Kind::single:
                    if (inToken) return finish(current);  // read again as a word of its own
                    current.begin = c.begin;
                    current.wordBegin = afterToken_ > afterSpace_ || c.begin - afterSpace_ > kMaxGlueBytes ? c.begin : afterSpace_;
                    current.end = c.begin + c.length;
                    at_ += c.length;
                    while (scanner_.has(at_) && scanner_.at(at_).kind == Kind::mark) {
                        const Char mark = scanner_.at(at_);
                        current.end = mark.begin + mark.length;
                        at_ += mark.length;
                    }
                    return finish(current);
                case Kind::token:
                    if (!inToken) {
                        inToken = true;
                        current.begin = c.begin;
                        // Only punctuation glued to the word comes with it ("(Müller"), not another word ("a/b").
                        current.wordBegin =
                            afterToken_ > afterSpace_ || c.begin - afterSpace_ > kMaxGlueBytes ? c.begin : afterSpace_;
                    }
                    // The rest of a run of ASCII letters and digits at once.
                    at_ = scanner_.asciiTokenRunEnd(c.begin + c.length);
                    current.end = at_;
                    continue;
                case Kind::mark:
                    if (inToken && current.end == c.begin) current.end = c.begin + c.length;
                    break;
                case Kind::vanishing: break;
                case Kind::space:
                case Kind::separator:
                    if (c.kind == Kind::space) afterSpace_ = c.begin + c.length;
                    if (inToken) {
                        at_ += c.length;
                        return finish(current);
                    }
                    break;
            }
            at_ += c.length;
        }
        return inToken && finish(current);
    }
    bool finish(const Token& token) {
        tokens_.push_back(token);
        afterToken_ = token.end;
        return true;
    }

    Scanner& scanner_;
    std::vector<Token> tokens_;
    size_t at_ = 0;
    size_t afterSpace_ = 0;
    size_t afterToken_ = 0;
};

std::string foldedToken(std::string_view token) {
    const bool simple = std::all_of(token.begin(), token.end(),
                                    [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != '\''; });
    if (!simple) return storage::FtsTools::fold(token);
    std::string folded;
    folded.reserve(token.size());
    for (char c : token) folded += asciiFolds().folded[static_cast<unsigned char>(c)];
    return folded;
}

// A search word as the passage matches it: the folded tokens that must follow one another. A word of
// a script without spaces ("東京") is the phrase of its characters; any other word is one unit.
std::vector<std::string> unitsOf(const std::string& word) {
    const bool unspaced = std::ranges::any_of(platform::decodeUtf8(word), storage::FtsTools::isUnspacedScript);
    if (!unspaced) return {word};
    std::vector<std::string> units;
    const std::string folded = storage::FtsTools::fold(word);
    for (size_t i = 0; i < folded.size();) {
        while (i < folded.size() && !isTokenByte(static_cast<unsigned char>(folded[i]))) ++i;
        size_t end = i;
        while (end < folded.size() && isTokenByte(static_cast<unsigned char>(folded[end]))) ++end;
        if (end > i) units.push_back(folded.substr(i, end - i));
        i = end;
    }
    return units;
}

// Bit i set: the folded token (perhaps several store tokens) begins with the one-unit query word i.
uint64_t matchMask(std::string_view folded, const std::vector<std::vector<std::string>>& queryWords) {
    uint64_t mask = 0;
    size_t i = 0;
    while (i < folded.size()) {
        while (i < folded.size() && !isTokenByte(static_cast<unsigned char>(folded[i]))) ++i;
        size_t end = i;
        while (end < folded.size() && isTokenByte(static_cast<unsigned char>(folded[end]))) ++end;
        const std::string_view part(folded.data() + i, end - i);
        for (size_t q = 0; q < queryWords.size(); ++q) {
            if (queryWords[q].size() == 1 && !part.empty() && part.starts_with(queryWords[q][0])) mask |= uint64_t{1} << q;
        }
        i = end;
    }
    return mask;
}

// matchMask of a word of ASCII letters and digits, without folding it into a string of its own (its
// fold is the fold of each letter); false for any other word.
bool asciiMatchMask(std::string_view word, const std::vector<std::vector<std::string>>& queryWords, uint64_t& mask) {
    const AsciiFolds& ascii = asciiFolds();
    for (char c : word) {
        if (static_cast<unsigned char>(c) >= 0x80 || ascii.single[static_cast<unsigned char>(c)] == 0) return false;
    }
    mask = 0;
    for (size_t q = 0; q < queryWords.size(); ++q) {
        if (queryWords[q].size() != 1) continue;
        const std::string& prefix = queryWords[q][0];
        if (prefix.empty() || prefix.size() > word.size()) continue;
        size_t k = 0;
        while (k < prefix.size() && ascii.single[static_cast<unsigned char>(word[k])] == prefix[k]) ++k;
        if (k == prefix.size()) mask |= uint64_t{1} << q;
    }
    return true;
}

bool hasContent(Scanner& scanner, size_t from, size_t to) {
    for (size_t i = from; i < to && scanner.has(i);) {
        const Char c = scanner.at(i);
        if (c.kind != Kind::space) return true;
        i += c.length;
    }
    return false;
}

// The end of `token` with the punctuation glued to it ("Äpfel.)"), but not the next word ("a/b").
size_t wordEnd(Scanner& scanner, const Token& token) {
    const size_t limit = token.end + kMaxGlueBytes;
    size_t i = token.end;
    while (scanner.has(i)) {
        const Char c = scanner.at(i);
        if (c.kind == Kind::space) return i;
        if (c.kind == Kind::token || c.kind == Kind::single || i + c.length > limit) return token.end;
        i += c.length;
    }
    return i;
}

}  // namespace

std::vector<std::string> displayQueryWords(const SearchParameters& parameters) {
    std::vector<std::string> words;
    const auto conditions = storage::FtsTools::searchConditions(parameters);
    if (!conditions) return words;
    const std::string& match = conditions->query.matchExpression;
    const auto isUnspaced = [](std::string_view token) {
        const auto [cp, length] = platform::decodeUtf8At(token, 0);
        return length > 0 && storage::FtsTools::isUnspacedScript(cp);
    };
    // The characters of a word in a script without spaces stand in the expression as a phrase of their
    // own ("東 京*"); joined again, the passage marks them only where they stand together.
    std::vector<std::string> all;
    bool inPhrase = false;
    bool joinNext = false;
    for (size_t i = 0; i < match.size();) {
        while (i < match.size() && !isTokenByte(static_cast<unsigned char>(match[i]))) {
            if (match[i] == '"') inPhrase = !inPhrase;
            if (match[i] == '"' || match[i] == ' ') joinNext = joinNext && match[i] == ' ' && inPhrase;
            ++i;
        }
        size_t end = i;
        while (end < match.size() && isTokenByte(static_cast<unsigned char>(match[end]))) ++end;
        if (end == i) break;
        std::string word = match.substr(i, end - i);
        const bool unspaced = isUnspaced(word);
        if (joinNext && unspaced) all.back() += word;
        else all.push_back(std::move(word));
        joinNext = unspaced && inPhrase;
        i = end;
    }
    for (std::string& word : all) {
        if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(std::move(word));
    }
    return words;
}

std::optional<DisplaySnippet> buildDisplaySnippet(std::string_view original, const std::vector<std::string>& queryWords,
                                                  size_t wordCount) {
    return buildDisplaySnippet([original](size_t) { return original; }, queryWords, wordCount);
}

std::optional<DisplaySnippet> buildDisplaySnippet(const TextPrefixReader& original,
                                                  const std::vector<std::string>& queryWords, size_t wordCount) {
    std::vector<std::string> words(queryWords.begin(), queryWords.begin() + static_cast<std::ptrdiff_t>(
                                                                                 std::min(queryWords.size(), kMaxQueryWords)));
    std::erase_if(words, [](const std::string& w) { return w.empty(); });
    if (words.empty()) return std::nullopt;
    std::vector<std::vector<std::string>> units;
    for (const std::string& word : words) units.push_back(unitsOf(word));
    const size_t window = std::max<size_t>(wordCount, 1);
    Scanner scanner(original);
    Tokens tokens(scanner);
    // Per word of the text, folded and matched only when first asked for.
    struct Folded {
        std::string text;
        bool known = false;
    };
    struct Match {
        uint64_t mask = 0;
        bool known = false;
    };
    std::vector<Folded> foldedTokens;
    std::vector<Match> masks;
    const bool anyPhrase = std::ranges::any_of(units, [](const auto& u) { return u.size() > 1; });
    // The folded first bytes of the search words: a word of the text that begins with an ASCII letter or
    // digit folds to a text beginning with that letter's fold, and matches nothing when no search word
    // begins with it. Most words of a long text are passed over that way without being folded.
    std::array<bool, 256> firstBytes{};
    for (const auto& u : units) {
        if (!u.empty() && !u[0].empty()) firstBytes[static_cast<unsigned char>(u[0][0])] = true;
    }
    const auto cannotMatch = [&](std::string_view word) {
        if (anyPhrase) return false;
        const AsciiFolds& folds = asciiFolds();
        char first = 0;
        for (size_t i = 0; i < word.size();) {
            const auto [cp, length] = platform::decodeUtf8At(word, i);
            // Anything else (apostrophes, combining marks, other scripts) may fold to more than one word.
            if (length == 0 || cp >= folds.latinFirst.size() || folds.latinFirst[cp] == 0) return false;
            if (first == 0) first = folds.latinFirst[cp];
            i += length;
        }
        return first != 0 && !firstBytes[static_cast<unsigned char>(first)];
    };
    const auto textOf = [&](size_t t) {
        const Token& token = tokens[t];
        return scanner.text().substr(token.begin, token.end - token.begin);
    };
    const auto foldedOf = [&](size_t t) -> const std::string& {
        if (foldedTokens.size() <= t) foldedTokens.resize(t + 1);
        Folded& folded = foldedTokens[t];
        if (!folded.known) {
            folded.text = foldedToken(textOf(t));
            folded.known = true;
        }
        return folded.text;
    };
    // Bit q set: query word q begins at token t (all its units, in the tokens from t on).
    const auto maskOf = [&](size_t t) {
        if (masks.size() <= t) masks.resize(t + 1);
        if (!masks[t].known) {
            uint64_t mask = 0;
            const std::string_view word = textOf(t);
            if (!cannotMatch(word) && !asciiMatchMask(word, units, mask)) mask = matchMask(foldedOf(t), units);
            for (size_t q = 0; anyPhrase && q < units.size(); ++q) {
                const std::vector<std::string>& u = units[q];
                if (u.size() < 2 || !tokens.has(t + u.size() - 1)) continue;
                bool all = true;
                for (size_t j = 0; j < u.size() && all; ++j) {
                    const std::string& folded = foldedOf(t + j);
                    all = j + 1 < u.size() ? folded == u[j] : folded.starts_with(u[j]);
                }
                if (all) mask |= uint64_t{1} << q;
            }
            masks[t] = {mask, true};
        }
        return masks[t].mask;
    };
    // The number of tokens the matches beginning at token t cover.
    const auto spanOf = [&](size_t t) {
        size_t span = 0;
        for (size_t q = 0; q < units.size(); ++q) {
            if ((maskOf(t) >> q & 1u) != 0) span = std::max(span, units[q].size());
        }
        return span;
    };

    // Slide a window of `window` words over the text; the first that holds the most distinct search words
    // wins, and a window holding all of them ends the scan (words are read and folded only as far as it goes).
    std::vector<int> counts(words.size(), 0);
    size_t distinct = 0, bestDistinct = 0, bestLast = 0;
    const auto count = [&](uint64_t mask, int delta) {
        for (size_t q = 0; q < words.size(); ++q) {
            if ((mask >> q & 1u) == 0) continue;
            if (delta > 0 && counts[q]++ == 0) ++distinct;
            if (delta < 0 && --counts[q] == 0) --distinct;
        }
    };
    for (size_t last = 0; tokens.has(last); ++last) {
        count(maskOf(last), 1);
        if (last >= window) count(maskOf(last - window), -1);
        if (distinct > bestDistinct) {
            bestDistinct = distinct;
            bestLast = last;
            if (distinct == words.size()) break;
        }
    }
    if (bestDistinct == 0) return std::nullopt;

    // Centre the matched words of the best window in the passage; near the end of the text, the words
    // before them fill it.
    size_t first = bestLast + 1 >= window ? bestLast + 1 - window : 0;
    while (maskOf(first) == 0) ++first;
    const size_t spare = window - std::min(window, bestLast - first + 1);
    size_t start = first - std::min(first, spare / 2);
    size_t stop = start;  // one past the passage's last word
    while (stop < start + window && tokens.has(stop)) ++stop;
    if (stop - start < window) start = stop >= window ? stop - window : 0;

    const size_t from = tokens[start].wordBegin;
    const size_t to = wordEnd(scanner, tokens[stop - 1]);
    DisplaySnippet snippet;
    if (hasContent(scanner, 0, from)) snippet.text = std::string(kEllipsis) + " ";
    // Which tokens of the passage are marked: those a match covers.
    std::vector<bool> marked(stop - start, false);
    for (size_t t = start; t < stop; ++t) {
        const size_t span = spanOf(t);
        for (size_t k = t; k < std::min(stop, t + span); ++k) marked[k - start] = true;
    }
    size_t nextMark = start;
    const auto advanceMark = [&] {
        while (nextMark < stop && !marked[nextMark - start]) ++nextMark;
    };
    advanceMark();
    bool pendingSpace = false;
    bool cut = false;
    size_t markBegin = std::string::npos;
    // Marks that touch (the characters of one word of a script without spaces) are one mark.
    const auto addMark = [&](size_t begin, size_t end) {
        if (!snippet.marks.empty() && snippet.marks.back().end == begin) snippet.marks.back().end = end;
        else snippet.marks.push_back({begin, end});
    };
    for (size_t i = from; i < to;) {
        if (snippet.text.size() >= kMaxPassageBytes) {
            if (markBegin != std::string::npos) addMark(markBegin, snippet.text.size());
            cut = true;
            break;
        }
        const Char c = scanner.at(i);
        if (c.kind == Kind::space) {
            pendingSpace = true;
            i += c.length;
            continue;
        }
        if (pendingSpace && i > from) snippet.text += ' ';
        pendingSpace = false;
        if (nextMark < stop && c.begin == tokens[nextMark].begin) markBegin = snippet.text.size();
        snippet.text += c.invalid ? kReplacementCharacter : scanner.text().substr(c.begin, c.length);
        i += c.length;
        if (markBegin != std::string::npos && nextMark < stop && i == tokens[nextMark].end) {
            addMark(markBegin, snippet.text.size());
            markBegin = std::string::npos;
            ++nextMark;
            advanceMark();
        }
    }
    if (cut) {
        snippet.text += kEllipsis;
    } else if (hasContent(scanner, to, std::string::npos)) {
        snippet.text += " " + std::string(kEllipsis);
    }
    return snippet;
}

std::string renderDisplaySnippet(const DisplaySnippet& snippet, std::string_view open, std::string_view close) {
    std::string out;
    out.reserve(snippet.text.size() + snippet.marks.size() * (open.size() + close.size()));
    size_t at = 0;
    for (const MarkedRange& mark : snippet.marks) {
        if (mark.begin < at || mark.end < mark.begin || mark.end > snippet.text.size()) continue;
        out.append(snippet.text, at, mark.begin - at);
        out += open;
        out.append(snippet.text, mark.begin, mark.end - mark.begin);
        out += close;
        at = mark.end;
    }
    out.append(snippet.text, at, std::string::npos);
    return out;
}

}  // namespace lumidex::search
