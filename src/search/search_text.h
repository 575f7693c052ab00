// Preparing the typed search text for the full-text stores, and the texts the result list shows.
//
// Words that hold no letter or digit once folded (emoji, punctuation, symbols) cannot match anything
// the index stores, so they are taken out of the query before it reaches the stores, and symbol
// characters glued to a word ("invoice🙂") are cut off it. Pure functions, thread-safe, never throw.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumidex::search {

inline constexpr std::string_view kSpecialCharactersHint = "Emojis and special characters are ignored in the search.";
inline constexpr std::string_view kIndexBeingBuiltHint = "The search index is currently being built.";
inline constexpr std::string_view kResultCountTemplate = "Found __magic_placeholder__ results";

struct CleanedSearchText {
    std::string searchText;  // the text to query with; the input itself when nothing was ignored
    bool ignoredSomething = false;
};

// `wholeTextIsPhrase` is SearchParameters::searchWithQuotes: the text is one phrase, not split at quotes.
CleanedSearchText withoutIgnoredCharacters(std::string_view searchText, bool wholeTextIsPhrase);

// Length used by the minimum-length rule: user-perceived characters once all spaces are removed, a
// character of a script without spaces counting twice (FtsTools::searchLength), so "東京" starts a search.
int64_t lengthWithoutSpaces(std::string_view searchText);

// "Found 3 results".
std::string resultCountText(int64_t count);

}  // namespace lumidex::search
