// The passage of a found document that is shown to a person: the document's own words (spelling, case
// and punctuation, as extracted) where the search's words occur, with the matched words marked. The
// full-text store's snippet is in the folded spelling and stays what stored files and API callers get.
//
// Matching follows the full-text store: every word of the original text is folded with FtsTools::fold
// and matches a search word when one of its folded tokens begins with it (the store's prefix queries).
// Each character of a script written without spaces (Chinese, Japanese, Thai...) is a word of its own,
// and a search word of such a script matches where its characters follow one another, marked as one.
// The passage is the first run of `wordCount` words that holds the most distinct search words.
//
// Pure functions, thread-safe; nothing throws except std::bad_alloc. Any bytes are accepted: invalid
// UTF-8 comes out as U+FFFD, and control characters (escape sequences included) as spaces, so the
// text is safe to print on a terminal.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/search_parameters.h"

namespace lumidex::search {

struct MarkedRange {
    size_t begin = 0;  // byte offsets into DisplaySnippet::text
    size_t end = 0;
    friend bool operator==(const MarkedRange&, const MarkedRange&) = default;
};

struct DisplaySnippet {
    std::string text;                // one line, white space collapsed; "…" where the text goes on
    std::vector<MarkedRange> marks;  // the matched words, ascending and apart
};

// The folded words the full-text store matches for these parameters (the tokens of its MATCH
// expression, the characters of a word in a script without spaces joined again); empty when the
// search has none.
std::vector<std::string> displayQueryWords(const SearchParameters& parameters);

// nullopt when no word of `original` matches any of `queryWords` (the document was found by its path or
// name, or by words recognised later): the caller then shows the store's snippet.
std::optional<DisplaySnippet> buildDisplaySnippet(std::string_view original, const std::vector<std::string>& queryWords,
                                                  size_t wordCount = 20);

// A text read only as far as it is needed (e.g. inflated as it is read): read(n) returns at least its
// first n bytes, or all of them when it is shorter, and the views it returns stay valid meanwhile.
using TextPrefixReader = std::function<std::string_view(size_t count)>;
// The same, reading the text only up to the passage when all search words occur early in it.
std::optional<DisplaySnippet> buildDisplaySnippet(const TextPrefixReader& original,
                                                  const std::vector<std::string>& queryWords, size_t wordCount = 20);

// The text with `open` and `close` around each marked range.
std::string renderDisplaySnippet(const DisplaySnippet& snippet, std::string_view open, std::string_view close);

}  // namespace lumidex::search
