// The text folding rule and the full-text query builder shared by the full-text, numbers and
// rectangle stores and by the search.
//
// fold() is the one normalisation applied to stored text, stored rectangle text and query phrases,
// so that case, umlauts (composed, decomposed or drawn as a detached accent), ligatures, diacritics
// and punctuation do not affect matching.
// All functions are pure and thread-safe; none throws on any input (invalid UTF-8 included).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/search_parameters.h"

namespace lumidex::storage {

struct SplitSearchText {
    std::vector<std::string> phrases;        // text between matching quotes, in order
    std::vector<std::string> excludedWords;  // "-word" outside phrases, without the "-", no duplicates
    std::vector<std::string> includedWords;  // the other words outside phrases
};

// A MATCH expression, the values bound to the NOT LIKE conditions, and the phrase count that the
// matchinfo blob is read with.
struct FtsQuery {
    std::string matchExpression;             // empty when there is nothing to match
    std::vector<std::string> notLikePatterns;  // "%word%"
};

// A full SELECT with its bound values, in placeholder order.
struct FtsStatement {
    std::string sql;
    std::vector<std::string> textBindings;
};

// The date condition of a search: a row passes when one of the selected dates lies in [start, end].
struct FtsDateRange {
    double start = 0;
    double end = 0;
    bool created = true;
    bool modified = true;
    bool contentCreated = true;
};

// Everything a search filters on, before it is turned into SQL.
struct FtsSearchConditions {
    FtsQuery query;
    std::optional<FtsDateRange> dates;
};

class FtsTools {
public:
    // Non-ASCII punctuation, symbols and spaces become spaces; a word with an apostrophe inside is
    // written split and joined ("l'aubergine" -> "l aubergine laubergine"); each character of a script
    // written without spaces stands apart ("東京" -> "東 京"), so its words are found as phrases. Any
    // length and script is kept. Folding twice changes nothing more.
    static std::string fold(std::string_view text);
    // True when the store's tokenizer sees a word in the text: an ASCII letter or digit, or any
    // non-ASCII byte.
    static bool hasToken(std::string_view text);
    // Han, Hiragana, Katakana, Thai, Lao, Khmer and Myanmar: scripts that do not separate words.
    static bool isUnspacedScript(char32_t c);
    // The length a search text is measured by against the minimum character count: characters, each
    // character of a script without spaces counting twice (two of them make a word, as "東京").
    static int64_t searchLength(std::string_view text);
    // One typed word: apostrophes inside or at the end belong to the word, so it is folded joined
    // ("O'Brien" -> "obrien"), the form a stored word with an apostrophe always carries.
    static std::string foldQueryWord(std::string_view word);

    // Phrases open only at a double quote (straight, « or „ or “), never at an apostrophe, so
    // "O'Brien" or "l'été" stay words; the words of a phrase that never closes count as plain words.
    static SplitSearchText splitSearchText(std::string_view searchText);
    static FtsQuery buildQuery(const SplitSearchText& split, int64_t minSearchCharCount);
    // nullopt when the search must not touch the database (no MATCH expression and no full date range).
    static std::optional<FtsSearchConditions> searchConditions(const SearchParameters& parameters);
    // The SELECT for searchConditions(parameters); nullopt in the same cases.
    static std::optional<FtsStatement> buildSelect(const SearchParameters& parameters, int64_t rowLimit,
                                                   bool withSnippet, bool withMatchCounts);
    // Sum of the column-0 hits of every phrase in a matchinfo('x') blob over 7 columns; at least 1.
    static int64_t matchCount(const unsigned char* blob, size_t bytes);
    // The same count from a matchinfo 'y' blob (hits in this row only, one value per phrase and column),
    // which spares the query the whole-table hit counts 'x' gathers.
    static int64_t matchCountOfRowHits(const unsigned char* blob, size_t bytes);
    // What the numbers store keeps of a folded text: each distinct token that contains a digit
    // (invoice numbers, amounts, dates), in first-seen order, joined by spaces.
    static std::string numberTokens(std::string_view text);
    // True when `path` lies in `folder` or below it, both compared in NFC.
    static bool isInsideFolder(std::string_view path, std::string_view folder);
};

}  // namespace lumidex::storage
