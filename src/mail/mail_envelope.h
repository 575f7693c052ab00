// Read-only access to the mail client's message index ("Envelope Index", an SQLite database the mail
// client owns and writes while we read it). Rows of its tables messages, subjects, addresses,
// mailboxes, summaries, recipients and attachments become MailRecord values; nothing is ever written.
//
// Ownership: one EnvelopeIndexReader holds one read-only connection. Callers open a fresh reader per
// run or per request and drop it afterwards, so no statement or snapshot outlives one task.
// Thread-safety: a reader is used by one thread at a time; different readers may run concurrently.
// Failure behaviour: nothing throws (except std::bad_alloc). Opening and every query return an
// EnvelopeIndexError whose message() is the German text shown to users and logged as it is; after a
// failed query the reader stays usable. Locks held by the mail client are waited for up to 30 seconds
// inside SQLite; the reader itself never retries.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace lumidex::platform {
class SqliteDatabase;
class SqliteStatement;
}

namespace lumidex::mail {

// One row of messages with its joins. Dates are ISO-8601 UTC texts ("2024-03-05T08:15:00Z").
// A column that is NULL or holds a value of another type gives an absent field.
struct MailRecord {
    int64_t rowid = 0;
    std::optional<std::string> messageId;  // the message's document id in the mail client
    std::optional<std::string> subject;
    std::optional<std::string> senderAddress;
    std::optional<std::string> senderName;
    std::optional<int64_t> mailboxRowid;
    std::optional<std::string> mailboxUrl;  // e.g. ".../INBOX"
    std::optional<std::string> dateSent;
    std::optional<std::string> dateReceived;
    std::optional<int64_t> flags;
    std::optional<bool> read;
    std::optional<std::string> summary;

    bool operator==(const MailRecord&) const = default;
};

// Same field names; absent fields are left out when encoding and may be missing when decoding.
void to_json(nlohmann::json& json, const MailRecord& record);
void from_json(const nlohmann::json& json, MailRecord& record);

struct EnvelopeIndexError {
    enum class Kind { databaseNotFound, permissionDenied, openFailed, queryFailed };

    Kind kind = Kind::openFailed;
    std::filesystem::path path;  // the database (all but queryFailed)
    std::string context;         // queryFailed: which query
    std::string underlying;      // permissionDenied, openFailed, queryFailed: the cause's text

    // The fixed German text, e.g. "Envelope Index nicht gefunden unter /x. Apple Mail installiert und
    // mindestens einmal gestartet?"
    std::string message() const;
};

template <typename T>
using EnvelopeResult = std::variant<T, EnvelopeIndexError>;

struct EnvelopeRecipient {
    std::string address;
    std::optional<std::string> comment;
    std::optional<int64_t> type;  // the mail client's kind (to, cc, bcc), passed through unchanged
};

// The diagnostic row of peek().
struct EnvelopePeekRow {
    int64_t rowid = 0;
    std::optional<std::string> documentId;
    std::optional<std::string> messageIdHeader;  // messages.message_id
    std::optional<int64_t> summaryRowid;
    std::optional<std::string> summaryText;
    std::optional<std::string> subject;
    std::optional<std::string> senderAddress;
};

struct EnvelopeMailbox {
    int64_t rowid = 0;
    std::optional<std::string> url;
    std::optional<int64_t> totalCount;
};

struct EnvelopeTable {
    std::string name;
    std::vector<std::string> columns;
};

class EnvelopeIndexReader {
public:
    // The index below the user's mail folder: <mailRoot>/V10/MailData/Envelope Index.
    static std::filesystem::path pathBelow(const std::filesystem::path& mailRoot);

    // Opens the database read-only (URI "file:<path>?mode=ro"); statements wait up to `busyTimeout` for
    // the mail client's locks. Fails with databaseNotFound, permissionDenied or openFailed.
    static constexpr std::chrono::milliseconds kBusyTimeout{30'000};
    static EnvelopeResult<std::unique_ptr<EnvelopeIndexReader>> open(const std::filesystem::path& dbPath,
                                                                     std::chrono::milliseconds busyTimeout = kBusyTimeout);

    ~EnvelopeIndexReader();
    EnvelopeIndexReader(const EnvelopeIndexReader&) = delete;
    EnvelopeIndexReader& operator=(const EnvelopeIndexReader&) = delete;

    const std::filesystem::path& dbPath() const { return dbPath_; }

    // Messages with a rowid above `afterRowid`, ascending; at most `limit` when given.
    EnvelopeResult<std::vector<MailRecord>> enumerate(int64_t afterRowid, std::optional<int64_t> limit);
    // Exactly these messages (those that exist), ascending. The caller keeps lists short (a few hundred):
    // every rowid is one bound parameter.
    EnvelopeResult<std::vector<MailRecord>> enumerate(const std::vector<int64_t>& rowids);
    EnvelopeResult<std::optional<MailRecord>> findByMessageId(std::string_view messageId);
    // Messages having an attachment whose name ends in one of the suffixes, ignoring case.
    EnvelopeResult<std::set<int64_t>> messageRowidsWithAttachments(const std::vector<std::string>& suffixes);
    EnvelopeResult<std::vector<EnvelopeRecipient>> recipients(int64_t rowid);
    EnvelopeResult<std::optional<EnvelopePeekRow>> peek(int64_t rowid);
    // Messages whose subject is LIKE the pattern: (rowid, subject).
    EnvelopeResult<std::vector<std::pair<int64_t, std::optional<std::string>>>> findRowids(std::string_view likePattern,
                                                                                           int64_t limit);
    EnvelopeResult<int64_t> messageCount();
    EnvelopeResult<std::vector<std::string>> messageColumns();
    EnvelopeResult<std::vector<EnvelopeTable>> schema();
    EnvelopeResult<std::vector<EnvelopeMailbox>> mailboxes();
    // (rowid, mailbox URL) of every message that has a mailbox with a URL.
    EnvelopeResult<std::vector<std::pair<int64_t, std::string>>> allRowidMailboxes();
    // (rowid, document id) of every message with a non-empty document id.
    EnvelopeResult<std::vector<std::pair<int64_t, std::string>>> allRowidDocumentIds();
    EnvelopeResult<std::vector<int64_t>> allRowids();

private:
    EnvelopeIndexReader(std::unique_ptr<platform::SqliteDatabase> db, std::filesystem::path dbPath);

    std::unique_ptr<platform::SqliteDatabase> db_;
    std::filesystem::path dbPath_;
};

}  // namespace lumidex::mail
