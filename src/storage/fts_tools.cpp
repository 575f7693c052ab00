#include "storage/fts_tools.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "core/model/date.h"
#include "platform/unicode.h"

namespace lumidex::storage {
namespace {

bool isWhitespace(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || (c >= 0x2000 && c <= 0x200B) || c == 0x3000 ||
           c == 0x202F || c == 0x205F || c == 0x1680;
}

std::vector<std::string> splitAtSpaces(std::string_view s) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(' ', start);
        if (end == std::string_view::npos) end = s.size();
        if (end > start) pieces.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) out += separator;
        out += pieces[i];
    }
    return out;
}

std::string quotedPrefixPhrase(std::vector<std::string> words) {
    words.back() += '*';
    return '"' + join(words, " ") + '"';
}

std::string formatSeconds(double seconds) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", seconds);
    std::string s = buffer;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

std::string dateCondition(const FtsDateRange& range) {
    const std::string s = formatSeconds(range.start);
    const std::string e = formatSeconds(range.end);
    const auto clause = [&](const char* column) {
        return "(" + std::string(column) + " >= " + s + " AND " + column + " <= " + e + ")";
    };
    std::vector<std::string> clauses;
    if (range.created) clauses.push_back(clause("creationDate"));
    if (range.modified) clauses.push_back(clause("modificationDate"));
    if (range.contentCreated) clauses.push_back(clause("contentCreated"));
    // Parenthesised as a whole so that the OR cannot escape the AND with the other conditions.
    return "(" + join(clauses, " OR ") + ")";
}

std::string_view orderBy(SortOrders order) {
    switch (order) {
        case SortOrders::a2z: return " ORDER BY fileName ASC";
        case SortOrders::z2a: return " ORDER BY fileName DESC";
        case SortOrders::old2New: return " ORDER BY modificationDate ASC, fileName ASC";
        case SortOrders::new2Old:
        case SortOrders::relevance: break;
    }
    return " ORDER BY modificationDate DESC, fileName ASC";
}

}  // namespace

bool FtsTools::hasToken(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x80 || std::isalnum(b) != 0;
    });
}

SplitSearchText FtsTools::splitSearchText(std::string_view searchText) {
    const std::u32string text = platform::decodeUtf8(searchText);
    SplitSearchText result;
    std::u32string outside;
    std::u32string phrase;
    std::u32string closers;
    bool inPhrase = false;

    const auto closersFor = [](char32_t c) -> std::u32string {
        switch (c) {
            case U'"': return U"\"";
            case U'\u00AB': return U"\u00BB";
            case U'\u201E': return U"\u201C\u201D";
            case U'\u201C': return U"\u201D";
            default: return U"";
        }
    };
    const auto trimmed = [](std::u32string s) {
        while (!s.empty() && isWhitespace(s.back())) s.pop_back();
        size_t start = 0;
        while (start < s.size() && isWhitespace(s[start])) ++start;
        return s.substr(start);
    };

    for (char32_t c : text) {
        if (inPhrase) {
            if (closers.find(c) != std::u32string::npos) {
                inPhrase = false;
                if (std::u32string t = trimmed(phrase); !t.empty()) result.phrases.push_back(platform::encodeUtf8(t));
                outside.push_back(U' ');
            } else {
                phrase.push_back(c);
            }
        } else if (std::u32string cl = closersFor(c); !cl.empty()) {
            inPhrase = true;
            closers = std::move(cl);
            phrase.clear();
            outside.push_back(U' ');
        } else {
            outside.push_back(c);
        }
    }
    // An unclosed quote is a typo more often than a phrase; dropping its words would return nothing.
    if (inPhrase) outside += phrase;

    std::u32string word;
    const auto flush = [&] {
        if (word.empty()) return;
        std::string w = platform::encodeUtf8(word);
        word.clear();
        if (w[0] == '-') {
            w.erase(0, 1);
            if (!w.empty() && std::find(result.excludedWords.begin(), result.excludedWords.end(), w) ==
                                  result.excludedWords.end()) {
                result.excludedWords.push_back(std::move(w));
            }
        } else {
            result.includedWords.push_back(std::move(w));
        }
    };
    for (char32_t c : outside) {
        if (isWhitespace(c)) flush();
        else word.push_back(c);
    }
    flush();
    return result;
}

int64_t FtsTools::searchLength(std::string_view text) {
    int64_t unspaced = 0;
    for (char32_t c : platform::decodeUtf8(text)) {
        if (isUnspacedScript(c) && !platform::isMark(c)) ++unspaced;
    }
    return static_cast<int64_t>(platform::characterCount(text)) + unspaced;
}

FtsQuery FtsTools::buildQuery(const SplitSearchText& split, int64_t minSearchCharCount) {
    const auto longEnough = [&](const std::string& s) { return searchLength(s) >= minSearchCharCount; };
    std::vector<std::string> terms;
    for (const std::string& phrase : split.phrases) {
        if (!longEnough(phrase)) continue;
        std::string folded = fold(phrase);
        std::replace(folded.begin(), folded.end(), '-', ' ');
        std::vector<std::string> words = splitAtSpaces(folded);
        std::erase_if(words, [](const std::string& w) { return !FtsTools::hasToken(w); });
        if (!words.empty()) terms.push_back(quotedPrefixPhrase(std::move(words)));
    }
    for (const std::string& word : split.includedWords) {
        if (!longEnough(word)) continue;
        std::string folded = foldQueryWord(word);
        // Characters the query parser would read as syntax (grouping, column filters, prefix and
        // anchor marks) are separators in the stored text anyway; dropping them keeps any typed
        // word a valid query instead of an error.
        for (char& c : folded) {
            if (c == '(' || c == ')' || c == ':' || c == '*' || c == '^') c = ' ';
        }
        std::vector<std::string> pieces = splitAtSpaces(folded);
        std::erase_if(pieces, [](const std::string& w) { return !FtsTools::hasToken(w); });
        if (pieces.empty()) continue;
        terms.push_back(pieces.size() == 1 ? pieces[0] + '*' : quotedPrefixPhrase(std::move(pieces)));
    }
    FtsQuery query;
    query.matchExpression = join(terms, " ");
    for (const std::string& word : split.excludedWords) {
        if (!longEnough(word)) continue;
        std::string folded = foldQueryWord(word);
        // Separators folded to spaces at the ends ("-«alt»") would demand spaces the text need not have.
        const size_t first = folded.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        folded = folded.substr(first, folded.find_last_not_of(' ') - first + 1);
        query.notLikePatterns.push_back('%' + folded + '%');
    }
    return query;
}

std::optional<FtsSearchConditions> FtsTools::searchConditions(const SearchParameters& p) {
    SplitSearchText split;
    if (p.searchWithQuotes) {
        if (!p.searchText.empty()) split.phrases.push_back(p.searchText);
    } else {
        split = splitSearchText(p.searchText);
    }
    FtsSearchConditions conditions;
    conditions.query = buildQuery(split, p.minSearchCharCount);
    if (p.startDate && p.endDate && std::isfinite(secondsSince1970(*p.startDate)) &&
        std::isfinite(secondsSince1970(*p.endDate))) {
        FtsDateRange range;
        range.start = secondsSince1970(*p.startDate);
        range.end = secondsSince1970(*p.endDate);
        const DateSearchParameters& d = p.dateSearchParameter;
        // No date chosen means all three.
        const bool any = d.contains(DateSearchParameters::created) || d.contains(DateSearchParameters::modified) ||
                         d.contains(DateSearchParameters::contentCreated);
        range.created = !any || d.contains(DateSearchParameters::created);
        range.modified = !any || d.contains(DateSearchParameters::modified);
        range.contentCreated = !any || d.contains(DateSearchParameters::contentCreated);
        conditions.dates = range;
    }
    if (conditions.query.matchExpression.empty() && !conditions.dates) return std::nullopt;
    return conditions;
}

std::optional<FtsStatement> FtsTools::buildSelect(const SearchParameters& p, int64_t rowLimit, bool withSnippet,
                                                   bool withMatchCounts) {
    const std::optional<FtsSearchConditions> conditions = searchConditions(p);
    if (!conditions) return std::nullopt;
    const FtsQuery& query = conditions->query;
    const bool hasMatch = !query.matchExpression.empty();

    FtsStatement statement;
    std::string& sql = statement.sql;
    sql = "SELECT combinedHash, urlPath, fileName, creationDate, modificationDate, contentCreated";
    sql += withSnippet && hasMatch ? ", snippet(ftsVirtualTable, '', '', '...', 0, 80)" : ", NULL";
    sql += withMatchCounts && hasMatch ? ", matchinfo(ftsVirtualTable, 'x')" : ", NULL";
    sql += " FROM ftsVirtualTable";

    std::vector<std::string> where;
    if (hasMatch) {
        where.emplace_back("content MATCH ?");
        statement.textBindings.push_back(query.matchExpression);
    }
    for (const std::string& pattern : query.notLikePatterns) {
        where.emplace_back("content NOT LIKE ?");
        statement.textBindings.push_back(pattern);
    }
    if (conditions->dates) where.push_back(dateCondition(*conditions->dates));
    if (!where.empty()) sql += " WHERE " + join(where, " AND ");
    sql += orderBy(p.sortOrder);
    sql += " LIMIT " + std::to_string(rowLimit < 0 ? -1 : rowLimit);
    return statement;
}

int64_t FtsTools::matchCount(const unsigned char* blob, size_t bytes) {
    if (blob == nullptr) return 1;
    const size_t values = bytes / 4;
    int64_t sum = 0;
    for (size_t index = 0; index < values; index += 21) {
        uint32_t hits;
        std::memcpy(&hits, blob + index * 4, 4);
        sum += hits;
    }
    return std::max<int64_t>(sum, 1);
}

int64_t FtsTools::matchCountOfRowHits(const unsigned char* blob, size_t bytes) {
    if (blob == nullptr) return 1;
    // Seven columns per phrase; the words are matched in the first ("content").
    constexpr size_t kColumns = 7;
    const size_t values = bytes / 4;
    int64_t sum = 0;
    for (size_t index = 0; index < values; index += kColumns) {
        uint32_t hits;
        std::memcpy(&hits, blob + index * 4, 4);
        sum += hits;
    }
    return std::max<int64_t>(sum, 1);
}

std::string FtsTools::numberTokens(std::string_view text) {
    std::string out;
    std::unordered_set<std::string_view> seen;
    size_t i = 0;
    while (i < text.size()) {
        // Tokens as the full-text tokenizer sees them: ASCII letters and digits and every non-ASCII byte.
        while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80 &&
               std::isalnum(static_cast<unsigned char>(text[i])) == 0) {
            ++i;
        }
        const size_t start = i;
        bool hasDigit = false;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) >= 0x80 ||
                                   std::isalnum(static_cast<unsigned char>(text[i])) != 0)) {
            hasDigit = hasDigit || std::isdigit(static_cast<unsigned char>(text[i])) != 0;
            ++i;
        }
        const std::string_view token = text.substr(start, i - start);
        if (hasDigit && seen.insert(token).second) {
            if (!out.empty()) out += ' ';
            out += token;
        }
    }
    return out;
}

bool FtsTools::isInsideFolder(std::string_view path, std::string_view folder) {
    std::string f = platform::toNfc(folder);
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    const std::string p = platform::toNfc(path);
    if (p.compare(0, f.size(), f) != 0) return false;
    // A sibling whose name merely starts with the folder's name is not inside it.
    return p.size() == f.size() || p[f.size()] == '/' || f == "/";
}

}  // namespace lumidex::storage
