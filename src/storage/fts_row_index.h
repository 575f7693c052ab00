// An in-memory copy of the short columns of one full-text shard: for every row its docid, combinedHash,
// path, file name and three dates, sorted by docid.
//
// Ordering matches by date or name and applying a date range needs these columns for every match; read
// from the table they cost one lookup of the row's whole text per match, which dominated searches that
// match thousands of documents. With this copy a search reads only the full-text index and touches the
// text of the rows it returns. The copy takes roughly 100 bytes plus the path and name per document.
//
// Not thread-safe: the owning FtsSqlite guards it with its connection's mutex. Nothing throws except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/enums.h"
#include "storage/fts_tools.h"

namespace lumidex::platform {
class SqliteDatabase;
}

namespace lumidex::storage {

class FtsRowIndex {
public:
    // Columns that can hold NULL in a table written by someone else; a NULL sorts before every value.
    enum NullColumn : uint8_t { nullFileName = 1, nullCreation = 2, nullModification = 4, nullContentCreated = 8 };

    struct Row {
        int64_t docid = 0;
        int64_t combinedHash = 0;
        double creationDate = 0;  // 0 when NULL, as a statement reads it
        double modificationDate = 0;
        double contentCreated = 0;
        uint8_t nulls = 0;
        uint32_t urlPathLength = 0;
        std::string text;  // urlPath immediately followed by fileName

        std::string_view urlPath() const { return std::string_view(text).substr(0, urlPathLength); }
        std::string_view fileName() const { return std::string_view(text).substr(urlPathLength); }
    };

    static Row makeRow(int64_t docid, int64_t combinedHash, std::string_view urlPath, std::string_view fileName,
                       double creationDate, double modificationDate, double contentCreated);

    // Reads every row of "ftsVirtualTable". False (index left empty) when the statement fails or a row
    // holds a value whose SQL ordering this copy does not model (a date that is text or blob, a file
    // name that is not text); searches then fall back to plain SQL.
    bool load(platform::SqliteDatabase& db, std::string& error);
    void clear();
    bool loaded() const { return loaded_; }

    // Replaces or adds rows; for two rows with one docid the later one wins.
    void upsert(std::vector<Row> rows);
    void erase(int64_t docid);

    static constexpr size_t npos = static_cast<size_t>(-1);
    // The position of the row with this docid, or npos. `hint` carries the position between calls, so
    // walking docids in ascending order (as the full-text index returns them) costs a step each.
    size_t find(int64_t docid, size_t& hint) const;
    const Row& row(size_t position) const { return rows_[position]; }
    size_t size() const { return rows_.size(); }
    // sqlOrderKey(row(position), order) without touching the row.
    double orderKey(size_t position, SortOrders order) const;

private:
    void rebuildColumns();

    std::vector<Row> rows_;
    // Packed copies of the columns every match needs, so a search reads 16 bytes per match instead of a
    // whole row: rows_[i].docid, and rows_[i].modificationDate with NaN for NULL.
    std::vector<int64_t> docids_;
    std::vector<double> modificationDates_;
    bool loaded_ = false;
};

// True when the row passes the date condition of a search, with SQL's NULL semantics.
bool inDateRange(const FtsRowIndex::Row& row, const FtsDateRange& range);
// The order of the search statement's ORDER BY clause; rows equal there are ordered by docid.
bool sqlOrderLess(const FtsRowIndex::Row& a, const FtsRowIndex::Row& b, SortOrders order);
// A number that orders rows as sqlOrderLess does wherever two rows' numbers differ (equal numbers need
// sqlOrderLess): sorting on it first keeps most comparisons away from the rows themselves.
double sqlOrderKey(const FtsRowIndex::Row& row, SortOrders order);

}  // namespace lumidex::storage
