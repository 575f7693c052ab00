#include "search/transcript_search.h"

#include <algorithm>
#include <map>

#include "storage/fts_tools.h"
#include "storage/ocr_rects_balancer.h"

namespace lumidex::search {

int64_t TranscriptSearchResultsManager::rowOf(const OcrRect& rect) {
    // The row number sits big-endian in the id's last eight bytes, below the two variant bits.
    const Uuid::Bytes& bytes = rect.id.bytes();
    uint64_t row = bytes[8] & 0x3Fu;
    for (size_t i = 9; i < 16; ++i) row = (row << 8) | bytes[i];
    return static_cast<int64_t>(row);
}

std::vector<TranscriptSearchItem> TranscriptSearchResultsManager::matching(const std::vector<OcrRect>& rects,
                                                                            std::string_view searchTerm) {
    const auto trimmed = [](std::string term) {
        const size_t start = term.find_first_not_of(" \t\r\n");
        if (start == std::string::npos) return std::string();
        return term.substr(start, term.find_last_not_of(" \t\r\n") - start + 1);
    };
    // Folded like the stored text, a term with an apostrophe ("l'aubergine" -> "l aubergine
    // laubergine") matches the line word for word; the joined form alone ("laubergine") also matches
    // lines stored before apostrophes were kept as both forms.
    const std::string term = trimmed(storage::FtsTools::fold(searchTerm));
    if (term.empty()) return {};
    const std::string joined = trimmed(storage::FtsTools::foldQueryWord(searchTerm));

    std::vector<TranscriptSearchItem> found;
    for (const OcrRect& rect : rects) {
        if (rect.ocrContent.find(term) == std::string::npos &&
            (joined.empty() || joined == term || rect.ocrContent.find(joined) == std::string::npos)) {
            continue;
        }
        found.push_back({rect.id, rowOf(rect), rect.pageIndex, 0, rect.ocrContent});
    }
    std::stable_sort(found.begin(), found.end(), [](const TranscriptSearchItem& a, const TranscriptSearchItem& b) {
        return a.pageIndex != b.pageIndex ? a.pageIndex < b.pageIndex : a.dbId < b.dbId;
    });
    std::map<int64_t, int64_t> perPage;
    for (const TranscriptSearchItem& item : found) ++perPage[item.pageIndex];
    for (TranscriptSearchItem& item : found) item.resultsCountPerPage = perPage[item.pageIndex];
    return found;
}

std::vector<TranscriptSearchItem> TranscriptSearchResultsManager::results(uint32_t combinedHash,
                                                                          std::string_view searchTerm) {
    return matching(rects_.ocrRects(combinedHash), searchTerm);
}

}  // namespace lumidex::search
