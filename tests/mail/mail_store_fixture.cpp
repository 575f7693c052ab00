#include "mail_store_fixture.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/sqlite.h"

namespace lumidex::testing {

using platform::SqliteStatement;

namespace {

// Only the columns the reader names, with the types the mail client gives them.
constexpr const char* kSchema = R"(
PRAGMA synchronous=OFF;
CREATE TABLE messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER, document_id TEXT,
    subject INTEGER, sender INTEGER, mailbox INTEGER, date_sent INTEGER, date_received INTEGER,
    flags INTEGER, read INTEGER, summary INTEGER);
CREATE TABLE subjects (ROWID INTEGER PRIMARY KEY, subject TEXT);
CREATE TABLE addresses (ROWID INTEGER PRIMARY KEY, address TEXT, comment TEXT);
CREATE TABLE mailboxes (ROWID INTEGER PRIMARY KEY, url TEXT, total_count INTEGER);
CREATE TABLE summaries (ROWID INTEGER PRIMARY KEY, summary TEXT);
CREATE TABLE recipients (ROWID INTEGER PRIMARY KEY, message INTEGER, address INTEGER, type INTEGER,
    position INTEGER);
CREATE TABLE attachments (ROWID INTEGER PRIMARY KEY, message INTEGER, name TEXT);
)";

void bindOptional(SqliteStatement& s, int index, const std::optional<int64_t>& value) {
    if (value) s.bind(index, *value);
    else s.bindNull(index);
}

void bindDate(SqliteStatement& s, int index, const EnvelopeDate& value) {
    if (const auto* i = std::get_if<int64_t>(&value)) s.bind(index, *i);
    else if (const auto* d = std::get_if<double>(&value)) s.bind(index, *d);
    else if (const auto* t = std::get_if<std::string>(&value)) s.bind(index, std::string_view(*t));
    else s.bindNull(index);
}

}  // namespace

EnvelopeIndexFixture::EnvelopeIndexFixture(const std::filesystem::path& mailRoot)
    : mailRoot_(mailRoot), databasePath_(mailRoot / "V10" / "MailData" / "Envelope Index") {
    std::filesystem::create_directories(databasePath_.parent_path());
    std::string error;
    db_ = platform::SqliteDatabase::open(databasePath_, error);
    if (!db_) {
        ADD_FAILURE() << "cannot create " << databasePath_ << ": " << error;
        return;
    }
    exec(kSchema);
}

EnvelopeIndexFixture::~EnvelopeIndexFixture() = default;

void EnvelopeIndexFixture::exec(std::string_view sql) {
    std::string error;
    if (!db_->exec(sql, error)) ADD_FAILURE() << error << " in " << sql;
}

namespace {

int64_t insert(platform::SqliteDatabase& db, std::string_view sql, const std::function<void(SqliteStatement&)>& bind) {
    std::string error;
    auto s = db.prepare(sql, error);
    if (!s) {
        ADD_FAILURE() << error << " in " << sql;
        return 0;
    }
    bind(*s);
    if (!s->run()) ADD_FAILURE() << s->errorMessage() << " in " << sql;
    return db.lastInsertRowId();
}

}  // namespace

int64_t EnvelopeIndexFixture::addMailbox(std::string_view url, int64_t totalCount) {
    return insert(*db_, "INSERT INTO mailboxes (url, total_count) VALUES (?, ?)", [&](SqliteStatement& s) {
        s.bind(1, url);
        s.bind(2, totalCount);
    });
}

int64_t EnvelopeIndexFixture::addAddress(std::string_view address, std::optional<std::string_view> comment) {
    return insert(*db_, "INSERT INTO addresses (address, comment) VALUES (?, ?)", [&](SqliteStatement& s) {
        s.bind(1, address);
        if (comment) s.bind(2, *comment);
    });
}

int64_t EnvelopeIndexFixture::addMessage(const EnvelopeMessage& m) {
    std::optional<int64_t> subject;
    std::optional<int64_t> sender;
    std::optional<int64_t> summary;
    if (m.subject) {
        subject = insert(*db_, "INSERT INTO subjects (subject) VALUES (?)",
                         [&](SqliteStatement& s) { s.bind(1, std::string_view(*m.subject)); });
    }
    if (m.senderAddress) {
        sender = addAddress(*m.senderAddress,
                            m.senderName ? std::optional<std::string_view>(*m.senderName) : std::nullopt);
    }
    if (m.summary) {
        summary = insert(*db_, "INSERT INTO summaries (summary) VALUES (?)",
                         [&](SqliteStatement& s) { s.bind(1, std::string_view(*m.summary)); });
    }
    return insert(*db_,
                  "INSERT INTO messages (ROWID, document_id, message_id, subject, sender, mailbox, date_sent, "
                  "date_received, flags, read, summary) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                  [&](SqliteStatement& s) {
                      bindOptional(s, 1, m.rowid);
                      if (m.documentId) s.bind(2, std::string_view(*m.documentId));
                      if (m.messageIdHeader) s.bind(3, std::string_view(*m.messageIdHeader));
                      bindOptional(s, 4, subject);
                      bindOptional(s, 5, sender);
                      bindOptional(s, 6, m.mailbox);
                      bindDate(s, 7, m.dateSent);
                      bindDate(s, 8, m.dateReceived);
                      bindOptional(s, 9, m.flags);
                      bindOptional(s, 10, m.read);
                      bindOptional(s, 11, summary);
                  });
}

void EnvelopeIndexFixture::addRecipient(int64_t messageRowid, int64_t addressRowid, int64_t type, int64_t position) {
    insert(*db_, "INSERT INTO recipients (message, address, type, position) VALUES (?, ?, ?, ?)",
           [&](SqliteStatement& s) {
               s.bind(1, messageRowid);
               s.bind(2, addressRowid);
               s.bind(3, type);
               s.bind(4, position);
           });
}

void EnvelopeIndexFixture::addAttachment(int64_t messageRowid, std::string_view name) {
    insert(*db_, "INSERT INTO attachments (message, name) VALUES (?, ?)", [&](SqliteStatement& s) {
        s.bind(1, messageRowid);
        s.bind(2, name);
    });
}

void EnvelopeIndexFixture::removeMessage(int64_t rowid) {
    insert(*db_, "DELETE FROM messages WHERE ROWID = ?", [&](SqliteStatement& s) { s.bind(1, rowid); });
}

}  // namespace lumidex::testing
