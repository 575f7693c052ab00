// Builds a mail client's message index for tests: an SQLite "Envelope Index" with the tables and
// columns the reader relies on (messages, subjects, addresses, mailboxes, summaries, recipients,
// attachments), below a mail folder laid out as the client keeps it (<root>/V10/MailData/...).
//
// The fixture owns a read-write connection for as long as it lives; the code under test opens its own.
// Every helper fails the running test (ADD_FAILURE) when SQLite refuses a statement.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace lumidex::platform {
class SqliteDatabase;
}

namespace lumidex::testing {

// A value for one of the two date columns, stored with its own SQLite type.
using EnvelopeDate = std::variant<std::monostate, int64_t, double, std::string>;

struct EnvelopeMessage {
    std::optional<int64_t> rowid;  // chosen by SQLite when absent
    std::optional<std::string> documentId;
    std::optional<std::string> messageIdHeader;
    std::optional<std::string> subject;        // a subjects row is added when given
    std::optional<std::string> senderAddress;  // an addresses row is added when given
    std::optional<std::string> senderName;
    std::optional<int64_t> mailbox;  // a mailboxes rowid (see addMailbox)
    EnvelopeDate dateSent;
    EnvelopeDate dateReceived;
    std::optional<int64_t> flags;
    std::optional<int64_t> read;
    std::optional<std::string> summary;  // a summaries row is added when given
};

class EnvelopeIndexFixture {
public:
    // Creates <mailRoot>/V10/MailData/Envelope Index (and its folders) with empty tables.
    explicit EnvelopeIndexFixture(const std::filesystem::path& mailRoot);
    ~EnvelopeIndexFixture();
    EnvelopeIndexFixture(const EnvelopeIndexFixture&) = delete;
    EnvelopeIndexFixture& operator=(const EnvelopeIndexFixture&) = delete;

    const std::filesystem::path& mailRoot() const { return mailRoot_; }
    const std::filesystem::path& databasePath() const { return databasePath_; }
    platform::SqliteDatabase& database() { return *db_; }

    int64_t addMailbox(std::string_view url, int64_t totalCount = 0);
    int64_t addAddress(std::string_view address, std::optional<std::string_view> comment = std::nullopt);
    // Returns the message's rowid.
    int64_t addMessage(const EnvelopeMessage& message);
    void addRecipient(int64_t messageRowid, int64_t addressRowid, int64_t type, int64_t position);
    void addAttachment(int64_t messageRowid, std::string_view name);
    void removeMessage(int64_t rowid);
    void exec(std::string_view sql);

private:
    std::filesystem::path mailRoot_;
    std::filesystem::path databasePath_;
    std::unique_ptr<platform::SqliteDatabase> db_;
};

}  // namespace lumidex::testing
