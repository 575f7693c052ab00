// Statement helpers shared by the mail full-text store's source files. Internal to src/mail.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sqlite.h"

namespace lumidex::mail::fts_sql {

using Bind = std::function<bool(platform::SqliteStatement&)>;
using OnRow = std::function<void(const platform::SqliteStatement&)>;

inline bool noParameters(platform::SqliteStatement&) { return true; }

// Prepares, binds and steps `sql` to its end, handing each row to `onRow`. False (with SQLite's text in
// `error`) when any of that fails.
inline bool run(platform::SqliteDatabase& db, std::string_view sql, const Bind& bind, const OnRow& onRow,
                std::string& error) {
    auto statement = db.prepare(sql, error);
    if (!statement) return false;
    if (!bind(*statement)) {
        error = "cannot bind parameters: " + statement->errorMessage();
        return false;
    }
    for (;;) {
        switch (statement->step()) {
            case platform::SqliteStatement::Step::row:
                if (onRow) onRow(*statement);
                break;
            case platform::SqliteStatement::Step::done: return true;
            case platform::SqliteStatement::Step::error: error = statement->errorMessage(); return false;
        }
    }
}

inline bool run(platform::SqliteDatabase& db, std::string_view sql, const Bind& bind, std::string& error) {
    return run(db, sql, bind, OnRow{}, error);
}

inline bool bindOptional(platform::SqliteStatement& s, int index, const std::optional<std::string>& value) {
    return value ? s.bind(index, std::string_view(*value)) : s.bindNull(index);
}

}  // namespace lumidex::mail::fts_sql
