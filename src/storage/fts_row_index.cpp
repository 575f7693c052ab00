#include "storage/fts_row_index.h"

#include <algorithm>
#include <cmath>

#include "platform/sqlite.h"

namespace lumidex::storage {

using platform::SqliteStatement;

namespace {

bool docidLess(const FtsRowIndex::Row& a, const FtsRowIndex::Row& b) { return a.docid < b.docid; }

// SQL ordering of two values of one column where either may be NULL: NULL first, then by value.
// Returns <0, 0 or >0.
int compareNullable(bool aNull, double a, bool bNull, double b) {
    if (aNull || bNull) return static_cast<int>(bNull) - static_cast<int>(aNull);
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compareNames(const FtsRowIndex::Row& a, const FtsRowIndex::Row& b) {
    const bool aNull = (a.nulls & FtsRowIndex::nullFileName) != 0;
    const bool bNull = (b.nulls & FtsRowIndex::nullFileName) != 0;
    if (aNull || bNull) return static_cast<int>(bNull) - static_cast<int>(aNull);
    // std::string_view compares like memcmp, which is SQLite's BINARY collation.
    const int c = a.fileName().compare(b.fileName());
    return (c > 0) - (c < 0);
}

int compareModification(const FtsRowIndex::Row& a, const FtsRowIndex::Row& b) {
    return compareNullable((a.nulls & FtsRowIndex::nullModification) != 0, a.modificationDate,
                           (b.nulls & FtsRowIndex::nullModification) != 0, b.modificationDate);
}

double packedModification(const FtsRowIndex::Row& row) {
    return (row.nulls & FtsRowIndex::nullModification) != 0 ? std::nan("") : row.modificationDate;
}

double orderKeyOf(bool isNull, double modification, SortOrders order) {
    switch (order) {
        case SortOrders::a2z:
        case SortOrders::z2a: return 0;
        // NULL sorts first: below every value, tying only with -infinity, which sqlOrderLess then orders.
        case SortOrders::old2New: return isNull ? -HUGE_VAL : modification;
        case SortOrders::new2Old:
        case SortOrders::relevance: break;
    }
    return isNull ? HUGE_VAL : -modification;
}

bool between(bool isNull, double value, const FtsDateRange& range) {
    return !isNull && value >= range.start && value <= range.end;
}

}  // namespace

FtsRowIndex::Row FtsRowIndex::makeRow(int64_t docid, int64_t combinedHash, std::string_view urlPath,
                                      std::string_view fileName, double creationDate, double modificationDate,
                                      double contentCreated) {
    Row row;
    row.docid = docid;
    row.combinedHash = combinedHash;
    // SQLite stores NaN as NULL, and reading NULL as a number gives 0.
    const auto set = [&row](double value, double& field, uint8_t nullBit) {
        if (value != value) {
            row.nulls |= nullBit;
            field = 0;
        } else {
            field = value;
        }
    };
    set(creationDate, row.creationDate, nullCreation);
    set(modificationDate, row.modificationDate, nullModification);
    set(contentCreated, row.contentCreated, nullContentCreated);
    row.urlPathLength = static_cast<uint32_t>(urlPath.size());
    row.text.reserve(urlPath.size() + fileName.size());
    row.text.append(urlPath).append(fileName);
    return row;
}

bool FtsRowIndex::load(platform::SqliteDatabase& db, std::string& error) {
    clear();
    // The type checks keep the copy honest: SQL orders text after every number, and that case is not
    // modelled here.
    auto select = db.prepare(
        "SELECT docid, combinedHash, urlPath, fileName, creationDate, modificationDate, contentCreated, "
        "typeof(fileName) IN ('text', 'null') AND typeof(creationDate) IN ('real', 'integer', 'null') AND "
        "typeof(modificationDate) IN ('real', 'integer', 'null') AND "
        "typeof(contentCreated) IN ('real', 'integer', 'null') FROM ftsVirtualTable",
        error);
    if (!select) return false;
    std::vector<Row> rows;
    SqliteStatement::Step step;
    while ((step = select->step()) == SqliteStatement::Step::row) {
        if (select->int64At(7) == 0) {
            error = "unsupported column value";
            return false;
        }
        Row row;
        row.docid = select->int64At(0);
        row.combinedHash = select->int64At(1);
        const std::string urlPath = select->textAt(2);
        row.urlPathLength = static_cast<uint32_t>(urlPath.size());
        row.text = urlPath + select->textAt(3);
        if (select->isNull(3)) row.nulls |= nullFileName;
        if (select->isNull(4)) row.nulls |= nullCreation;
        if (select->isNull(5)) row.nulls |= nullModification;
        if (select->isNull(6)) row.nulls |= nullContentCreated;
        row.creationDate = select->doubleAt(4);
        row.modificationDate = select->doubleAt(5);
        row.contentCreated = select->doubleAt(6);
        rows.push_back(std::move(row));
    }
    if (step == SqliteStatement::Step::error) {
        error = select->errorMessage();
        return false;
    }
    // A full scan returns docids in ascending order; sorting again only guards that assumption.
    if (!std::is_sorted(rows.begin(), rows.end(), docidLess)) std::stable_sort(rows.begin(), rows.end(), docidLess);
    rows.shrink_to_fit();
    rows_ = std::move(rows);
    rebuildColumns();
    loaded_ = true;
    return true;
}

void FtsRowIndex::clear() {
    rows_.clear();
    rows_.shrink_to_fit();
    docids_.clear();
    docids_.shrink_to_fit();
    modificationDates_.clear();
    modificationDates_.shrink_to_fit();
    loaded_ = false;
}

void FtsRowIndex::rebuildColumns() {
    docids_.resize(rows_.size());
    modificationDates_.resize(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
        docids_[i] = rows_[i].docid;
        modificationDates_[i] = packedModification(rows_[i]);
    }
}

void FtsRowIndex::upsert(std::vector<Row> rows) {
    if (rows.empty()) return;
    std::stable_sort(rows.begin(), rows.end(), docidLess);
    // Of equal docids keep the last, which the stable sort left last.
    std::vector<Row> added;
    added.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i + 1 < rows.size() && rows[i + 1].docid == rows[i].docid) continue;
        added.push_back(std::move(rows[i]));
    }
    if (added.size() == 1) {
        const int64_t docid = added.front().docid;
        const auto slot = std::lower_bound(docids_.begin(), docids_.end(), docid);
        const auto at = rows_.begin() + (slot - docids_.begin());
        const double modification = packedModification(added.front());
        const auto dateSlot = modificationDates_.begin() + (slot - docids_.begin());
        if (slot != docids_.end() && *slot == docid) {
            *at = std::move(added.front());
            *dateSlot = modification;
        } else {
            rows_.insert(at, std::move(added.front()));
            modificationDates_.insert(dateSlot, modification);
            docids_.insert(slot, docid);
        }
        return;
    }
    std::vector<Row> merged;
    merged.reserve(rows_.size() + added.size());
    auto old = rows_.begin();
    for (Row& row : added) {
        while (old != rows_.end() && old->docid < row.docid) merged.push_back(std::move(*old++));
        if (old != rows_.end() && old->docid == row.docid) ++old;
        merged.push_back(std::move(row));
    }
    while (old != rows_.end()) merged.push_back(std::move(*old++));
    rows_ = std::move(merged);
    rebuildColumns();
}

void FtsRowIndex::erase(int64_t docid) {
    const auto slot = std::lower_bound(docids_.begin(), docids_.end(), docid);
    if (slot == docids_.end() || *slot != docid) return;
    rows_.erase(rows_.begin() + (slot - docids_.begin()));
    modificationDates_.erase(modificationDates_.begin() + (slot - docids_.begin()));
    docids_.erase(slot);
}

size_t FtsRowIndex::find(int64_t docid, size_t& hint) const {
    const size_t size = docids_.size();
    if (hint >= size || docids_[hint] > docid) hint = 0;
    // Gallop forward from the hint, then search the bracketed range.
    size_t low = hint;
    size_t high = hint;
    for (size_t step = 1; high < size && docids_[high] < docid; step *= 2) {
        low = high + 1;
        high += step;
    }
    high = std::min(high + 1, size);
    const auto at = std::lower_bound(docids_.begin() + static_cast<std::ptrdiff_t>(low),
                                     docids_.begin() + static_cast<std::ptrdiff_t>(high), docid);
    hint = static_cast<size_t>(at - docids_.begin());
    return at != docids_.end() && *at == docid ? hint : npos;
}

double FtsRowIndex::orderKey(size_t position, SortOrders order) const {
    const double modification = modificationDates_[position];
    return orderKeyOf(modification != modification, modification, order);
}

bool inDateRange(const FtsRowIndex::Row& row, const FtsDateRange& range) {
    return (range.created && between((row.nulls & FtsRowIndex::nullCreation) != 0, row.creationDate, range)) ||
           (range.modified &&
            between((row.nulls & FtsRowIndex::nullModification) != 0, row.modificationDate, range)) ||
           (range.contentCreated &&
            between((row.nulls & FtsRowIndex::nullContentCreated) != 0, row.contentCreated, range));
}

bool sqlOrderLess(const FtsRowIndex::Row& a, const FtsRowIndex::Row& b, SortOrders order) {
    int c = 0;
    switch (order) {
        case SortOrders::a2z: c = compareNames(a, b); break;
        case SortOrders::z2a: c = -compareNames(a, b); break;
        case SortOrders::old2New:
            c = compareModification(a, b);
            if (c == 0) c = compareNames(a, b);
            break;
        case SortOrders::new2Old:
        case SortOrders::relevance:
            c = -compareModification(a, b);
            if (c == 0) c = compareNames(a, b);
            break;
    }
    return c != 0 ? c < 0 : a.docid < b.docid;
}

double sqlOrderKey(const FtsRowIndex::Row& row, SortOrders order) {
    return orderKeyOf((row.nulls & FtsRowIndex::nullModification) != 0, row.modificationDate, order);
}

}  // namespace lumidex::storage
