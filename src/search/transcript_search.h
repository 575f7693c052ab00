// The transcript's search results for the selected document: the recognised text lines whose folded
// text contains the folded search term, page by page.
//
// Thread-safe as the rectangle store is; never throws (a store that cannot answer gives no entries).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/ocr_rect.h"
#include "core/uuid.h"

namespace lumidex::storage {
class SqliteOcrRectsDatabaseBalancer;
}

namespace lumidex::search {

struct TranscriptSearchItem {
    Uuid id;                          // the rectangle's id
    int64_t dbId = 0;                 // the rectangle's row in its store
    int64_t pageIndex = 0;
    int64_t resultsCountPerPage = 0;  // matching entries on this page
    std::string stringContent;

    friend bool operator==(const TranscriptSearchItem&, const TranscriptSearchItem&) = default;
};

class TranscriptSearchResultsManager {
public:
    explicit TranscriptSearchResultsManager(storage::SqliteOcrRectsDatabaseBalancer& rects) : rects_(rects) {}

    // Entries of the document in page order, within a page in stored order. An empty (or, once folded,
    // empty) term gives none.
    std::vector<TranscriptSearchItem> results(uint32_t combinedHash, std::string_view searchTerm);

    // The same over rectangles already read (their text folded as stored).
    static std::vector<TranscriptSearchItem> matching(const std::vector<OcrRect>& rects, std::string_view searchTerm);

    // The store row a rectangle was read from (the store derives each rectangle's id from its row).
    static int64_t rowOf(const OcrRect& rect);

private:
    storage::SqliteOcrRectsDatabaseBalancer& rects_;
};

}  // namespace lumidex::search
