// The recognised text lines of one shard of one folder: table "ocrRectTable", one row per line
// quadrilateral, found by (combinedHash, pageIndex).
//
// Rectangles are stored with their text as given; callers pass text already folded with FtsTools::fold.
// The table has no column for OcrRect::id: a rectangle read back gets an id derived from its row, so
// reading the same row twice yields equal values.
//
// Thread-safety: all operations may be called from any thread; one mutex serialises the connection.
// Failure behaviour: SQLite errors are logged with the operation's prefix and the operation returns an
// empty result; writes roll back whole. A shard that could not be opened answers everything with nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "core/model/ocr_rect.h"

namespace lumidex::platform {
class SqliteDatabase;
}

namespace lumidex::storage {

class OcrRectsSqliteManager {
public:
    OcrRectsSqliteManager(const std::filesystem::path& folderDataDirectory, uint32_t shard);
    ~OcrRectsSqliteManager();
    OcrRectsSqliteManager(const OcrRectsSqliteManager&) = delete;
    OcrRectsSqliteManager& operator=(const OcrRectsSqliteManager&) = delete;

    bool isOpen() const { return db_ != nullptr; }

    // Stores the rectangles inside one transaction. The pages they belong to are replaced, so writing
    // a page again does not duplicate its rectangles; other pages and documents stay as they are.
    bool createOcrRectItem(const std::vector<OcrRect>& rects);

    // The rectangles of a document, or of one of its pages, in the order they were written.
    std::vector<OcrRect> ocrRects(uint32_t combinedHash, std::optional<int64_t> pageIndex = std::nullopt);
    // The same, but nullopt when the store could not answer (closed shard or SQLite error), so a caller
    // that caches can tell "no rectangles" from "not read".
    std::optional<std::vector<OcrRect>> readOcrRects(uint32_t combinedHash, std::optional<int64_t> pageIndex);

    std::unordered_set<OcrRect> transcriptSearchResultsFor(uint32_t combinedHash);

    bool deleteRects(uint32_t combinedHash);

    // Re-applies the folding rule to every stored text; returns the number of rows changed.
    int64_t refoldContent();

    int64_t rowCount();

private:
    std::optional<std::vector<OcrRect>> select(uint32_t combinedHash, std::optional<int64_t> pageIndex,
                                               const char* prefix);

    void openLocked();

    const std::filesystem::path folderDataDirectory_;
    const uint32_t shard_;
    std::mutex mutex_;
    std::unique_ptr<platform::SqliteDatabase> db_;
};

}  // namespace lumidex::storage
