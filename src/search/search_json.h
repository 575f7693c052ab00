// JSON text of search results for outside callers (the command line's --json). Keys are snake_case:
// {"query", "total_count", "hints": [...], "results": [{"id", "file_path", "file_name", "file_type",
//  "folder", "snippet", "display_snippet", "match_count", "created_at", "modified_at", "page_count",
//  "source_type", "mail_mailbox"}]}. "id" is the decimal combinedHash (for mail the index id); dates are
// ISO-8601 UTC; a message's "folder" is its mailbox; "page_count" is null when unknown. "snippet" is in the folded spelling the index
// matches; "display_snippet" is the passage in the document's own words, without marks (null when the
// search did not ask for it or the document has no stored original text). Invalid UTF-8 in any text
// is replaced, so this never throws.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "search/search_engine.h"

namespace lumidex::search {

std::string searchResultsJson(std::string_view query, const std::vector<SearchHit>& hits, size_t totalCount,
                              const std::vector<std::string>& hints);

}  // namespace lumidex::search
