#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "mail/mail_envelope.h"
#include "mail_store_fixture.h"
#include "platform/sqlite.h"
#include "support/temp_home.h"

namespace lumidex::mail {

// Failure messages show records as JSON instead of raw bytes.
void PrintTo(const MailRecord& record, std::ostream* os) { *os << nlohmann::json(record).dump(); }

namespace {

using testing::EnvelopeIndexFixture;
using testing::EnvelopeMessage;

std::unique_ptr<EnvelopeIndexReader> openReader(const std::filesystem::path& path) {
    auto opened = EnvelopeIndexReader::open(path);
    if (auto* error = std::get_if<EnvelopeIndexError>(&opened)) {
        ADD_FAILURE() << error->message();
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<EnvelopeIndexReader>>(opened));
}

template <typename T>
T valueOf(EnvelopeResult<T> result) {
    if (auto* error = std::get_if<EnvelopeIndexError>(&result)) {
        ADD_FAILURE() << error->message();
        return T{};
    }
    return std::move(std::get<T>(result));
}

template <typename T>
EnvelopeIndexError errorOf(EnvelopeResult<T> result) {
    if (auto* error = std::get_if<EnvelopeIndexError>(&result)) return *error;
    ADD_FAILURE() << "expected an error";
    return {};
}

TEST(EnvelopeIndexReaderOpen, MissingOrUnreadableIndexGivesTheGermanHints) {
    testing::TempDir dir;
    const auto missing = EnvelopeIndexReader::pathBelow(dir.path());
    const EnvelopeIndexError notFound = errorOf(EnvelopeIndexReader::open(missing));
    EXPECT_EQ(notFound.kind, EnvelopeIndexError::Kind::databaseNotFound);
    EXPECT_EQ(notFound.message(), "Envelope Index nicht gefunden unter " + missing.string() +
                                      ". Apple Mail installiert und mindestens einmal gestartet?");

    EnvelopeIndexFixture fixture(dir.path());
    std::filesystem::permissions(fixture.databasePath(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto expectDenied = [&] {
        const EnvelopeIndexError denied = errorOf(EnvelopeIndexReader::open(fixture.databasePath()));
        const std::string text = denied.message();
        return denied.kind == EnvelopeIndexError::Kind::permissionDenied &&
               text.starts_with("Zugriff verweigert auf " + fixture.databasePath().string() +
                                ".\nWahrscheinlich fehlt Full Disk Access. Systemeinstellungen \u2192 Datenschutz") &&
               text.find("\nUnderlying: Permission denied") != std::string::npos;
    };
    if (::geteuid() != 0) {
        std::filesystem::permissions(fixture.databasePath(), std::filesystem::perms::none);
        EXPECT_TRUE(expectDenied());
        return;
    }
    // Root reads every file: look at it as an unprivileged user, in a child process.
    for (auto folder = fixture.databasePath().parent_path(); folder != dir.path().parent_path(); folder = folder.parent_path()) {
        std::filesystem::permissions(folder, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
    }
    EXPECT_EXIT(
        {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(2);
            std::_Exit(expectDenied() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(EnvelopeIndexReaderOpen, OpensPathsWithUriCharactersReadOnly) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir / "Mail 100% #2?x=1");
    fixture.addMessage({});
    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);
    EXPECT_EQ(valueOf(reader->messageCount()), 1);

    std::string error;
    int code = 0;
    EXPECT_FALSE(platform::SqliteDatabase::openReadOnlyUri("file:" + dir.path().string() + "/nothing?mode=ro", error, &code));
    EXPECT_EQ(code, 14);  // "cannot open", which the reader reports as a permission problem
    EXPECT_FALSE(std::filesystem::exists(dir / "nothing"));
}

TEST(EnvelopeIndexReaderRecords, MapsJoinedColumnsAndLeavesMissingOnesAbsent) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir.path());
    const int64_t inbox = fixture.addMailbox("imap://anna@example.org/INBOX", 12);
    EnvelopeMessage full;
    full.documentId = "DOC-1";
    full.subject = "Rechnung März";
    full.senderAddress = "anna@example.org";
    full.senderName = "Anna Müller";
    full.mailbox = inbox;
    full.dateSent = int64_t{700'000'000};
    full.dateReceived = int64_t{1'700'000'000};
    full.flags = 8590195713;
    full.read = 1;
    full.summary = "Anbei die Rechnung";
    const int64_t first = fixture.addMessage(full);
    EnvelopeMessage bare;
    bare.read = 0;
    bare.flags = std::nullopt;
    const int64_t second = fixture.addMessage(bare);
    // Values of another type than the column's read as absent, not as converted values or errors.
    fixture.exec("INSERT INTO messages (document_id, mailbox, flags, read) VALUES (X'4142', 'x', 'many', 2.5)");

    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);
    const auto records = valueOf(reader->enumerate(0, 500));
    ASSERT_EQ(records.size(), 3u);

    MailRecord expected;
    expected.rowid = first;
    expected.messageId = "DOC-1";
    expected.subject = "Rechnung März";
    expected.senderAddress = "anna@example.org";
    expected.senderName = "Anna Müller";
    expected.mailboxRowid = inbox;
    expected.mailboxUrl = "imap://anna@example.org/INBOX";
    expected.dateSent = "2023-03-08T20:26:40Z";
    expected.dateReceived = "2023-11-14T22:13:20Z";
    expected.flags = 8590195713;
    expected.read = true;
    expected.summary = "Anbei die Rechnung";
    EXPECT_EQ(records[0], expected);

    MailRecord unread;
    unread.rowid = second;
    unread.read = false;
    EXPECT_EQ(records[1], unread);
    MailRecord mistyped;
    mistyped.rowid = records[2].rowid;
    EXPECT_EQ(records[2], mistyped);

    // JSON keeps the field names and drops absent fields; it reads back the same.
    const nlohmann::json json = records[1];
    EXPECT_EQ(json, nlohmann::json::parse(R"({"rowid":)" + std::to_string(second) + R"(,"read":false})"));
    EXPECT_EQ(nlohmann::json(expected).get<MailRecord>(), expected);

    EXPECT_EQ(valueOf(reader->findByMessageId("DOC-1")), expected);
    EXPECT_FALSE(valueOf(reader->findByMessageId("DOC-404")).has_value());
}

TEST(EnvelopeIndexReaderRecords, PagesByRowidAndReadsChosenRowids) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir.path());
    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);
    EXPECT_TRUE(valueOf(reader->enumerate(0, 500)).empty());

    for (int64_t rowid : {3, 5, 9, 10, 20}) {
        EnvelopeMessage m;
        m.rowid = rowid;
        fixture.addMessage(m);
    }
    const auto rowidsOf = [](const std::vector<MailRecord>& records) {
        std::vector<int64_t> out;
        for (const MailRecord& r : records) out.push_back(r.rowid);
        return out;
    };
    EXPECT_EQ(rowidsOf(valueOf(reader->enumerate(3, 2))), (std::vector<int64_t>{5, 9}));
    EXPECT_EQ(rowidsOf(valueOf(reader->enumerate(9, std::nullopt))), (std::vector<int64_t>{10, 20}));
    EXPECT_TRUE(valueOf(reader->enumerate(20, 500)).empty());
    EXPECT_EQ(rowidsOf(valueOf(reader->enumerate(std::vector<int64_t>{20, 4, 3}))), (std::vector<int64_t>{3, 20}));
    EXPECT_TRUE(valueOf(reader->enumerate(std::vector<int64_t>{})).empty());
    EXPECT_EQ(valueOf(reader->allRowids()), (std::vector<int64_t>{3, 5, 9, 10, 20}));
}

// Integers below the 2001 reference offset count from 2001, larger ones from 1970; reals likewise.
TEST(EnvelopeIndexReaderRecords, ConvertsDatesAtTheEdgesOfBothEpochs) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir.path());
    const std::vector<std::pair<testing::EnvelopeDate, std::optional<std::string>>> cases = {
        {std::monostate{}, std::nullopt},
        {int64_t{0}, std::nullopt},
        {int64_t{-86400}, std::nullopt},
        {int64_t{1}, "2001-01-01T00:00:01Z"},
        {int64_t{978'307'199}, "2032-01-01T23:59:59Z"},
        {int64_t{978'307'200}, "2001-01-01T00:00:00Z"},
        {int64_t{1'700'000'000}, "2023-11-14T22:13:20Z"},
        {0.0, std::nullopt},
        {-1.5, std::nullopt},
        {0.5, "2001-01-01T00:00:00Z"},
        {700'000'000.75, "2023-03-08T20:26:40Z"},
        {1'700'000'000.25, "2023-11-14T22:13:20Z"},
        {std::string("2023-11-14"), std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        EnvelopeMessage m;
        m.dateSent = value;
        m.dateReceived = value;
        fixture.addMessage(m);
    }

    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);
    const auto records = valueOf(reader->enumerate(0, std::nullopt));
    ASSERT_EQ(records.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(records[i].dateSent, cases[i].second) << "case " << i;
        EXPECT_EQ(records[i].dateReceived, cases[i].second) << "case " << i;
    }
}

TEST(EnvelopeIndexReaderLookups, AttachmentsRecipientsMailboxesAndDiagnostics) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir.path());
    const int64_t inbox = fixture.addMailbox("imap://a@x/INBOX", 2);
    const int64_t archive = fixture.addMailbox("imap://a@x/Archive", 1);
    const auto message = [&](std::optional<std::string> documentId, std::string subject, std::optional<int64_t> mailbox) {
        EnvelopeMessage m;
        m.documentId = std::move(documentId);
        m.subject = std::move(subject);
        m.mailbox = mailbox;
        return fixture.addMessage(m);
    };
    const int64_t m1 = message("D1", "Report Q1", inbox);
    const int64_t m2 = message("", "Foto", archive);
    const int64_t m3 = message(std::nullopt, "Reporting", std::nullopt);
    fixture.addAttachment(m1, "Report.PDF");
    fixture.addAttachment(m1, "scan.pdf");
    fixture.addAttachment(m2, "IMG_1.HEIC");
    fixture.addAttachment(m3, "pdf.txt");
    const int64_t bob = fixture.addAddress("bob@x", "Bob");
    const int64_t cara = fixture.addAddress("cara@x");
    fixture.addRecipient(m1, cara, 2, 1);
    fixture.addRecipient(m1, bob, 1, 0);

    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);
    EXPECT_EQ(valueOf(reader->messageRowidsWithAttachments({".pdf"})), (std::set<int64_t>{m1}));
    EXPECT_EQ(valueOf(reader->messageRowidsWithAttachments({".png", ".jpg", ".jpeg", ".heic", ".tiff"})),
              (std::set<int64_t>{m2}));
    EXPECT_TRUE(valueOf(reader->messageRowidsWithAttachments({})).empty());

    const auto recipients = valueOf(reader->recipients(m1));
    ASSERT_EQ(recipients.size(), 2u);
    EXPECT_EQ(recipients[0].address, "bob@x");
    EXPECT_EQ(recipients[0].comment, "Bob");
    EXPECT_EQ(recipients[0].type, 1);
    EXPECT_EQ(recipients[1].address, "cara@x");
    EXPECT_FALSE(recipients[1].comment);

    EXPECT_EQ(valueOf(reader->allRowidMailboxes()),
              (std::vector<std::pair<int64_t, std::string>>{{m1, "imap://a@x/INBOX"}, {m2, "imap://a@x/Archive"}}));
    EXPECT_EQ(valueOf(reader->allRowidDocumentIds()), (std::vector<std::pair<int64_t, std::string>>{{m1, "D1"}}));
    const auto boxes = valueOf(reader->mailboxes());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].url, "imap://a@x/Archive");
    EXPECT_EQ(boxes[1].totalCount, 1);

    const auto found = valueOf(reader->findRowids("Report%", 10));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1], (std::pair<int64_t, std::optional<std::string>>{m3, "Reporting"}));
    const auto peeked = valueOf(reader->peek(m3));
    ASSERT_TRUE(peeked);
    EXPECT_EQ(peeked->subject, "Reporting");
    EXPECT_FALSE(peeked->documentId);
    EXPECT_FALSE(valueOf(reader->peek(999)));

    EXPECT_EQ(valueOf(reader->messageCount()), 3);
    const auto columns = valueOf(reader->messageColumns());
    EXPECT_NE(std::find(columns.begin(), columns.end(), "document_id"), columns.end());
    const auto tables = valueOf(reader->schema());
    ASSERT_EQ(tables.size(), 8u);  // the seven tables and sqlite_sequence
    EXPECT_EQ(tables[0].name, "addresses");
    EXPECT_EQ(tables[0].columns, (std::vector<std::string>{"ROWID", "address", "comment"}));
}

TEST(EnvelopeIndexReaderFailures, QueryFailuresNameTheirContextAndLeaveTheReaderUsable) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir.path());
    fixture.addMessage({});
    fixture.exec("DROP TABLE attachments; DROP TABLE subjects");
    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);

    const auto attachments = errorOf(reader->messageRowidsWithAttachments({".pdf"}));
    EXPECT_EQ(attachments.kind, EnvelopeIndexError::Kind::queryFailed);
    EXPECT_EQ(attachments.message(), "Query fehlgeschlagen (attachments-multi-suffix): no such table: attachments");
    EXPECT_EQ(errorOf(reader->enumerate(0, 500)).message(),
              "Query fehlgeschlagen (SELECT\n    m.ROWID,\n    m.document_id,\n    s.subject,\n    a.address,\n"
              "    a.comme...): no such table: subjects");
    EXPECT_EQ(errorOf(reader->enumerate(std::vector<int64_t>{1})).context, "enumerate(rowids:) failed");
    EXPECT_EQ(valueOf(reader->allRowids()), std::vector<int64_t>{1});

    // A file that is no database opens (SQLite reads lazily) and fails on the first query.
    testing::writeFile(dir / "junk", std::string(4096, 'x'));
    auto junk = openReader(dir / "junk");
    ASSERT_TRUE(junk);
    EXPECT_EQ(errorOf(junk->allRowids()).message(), "Query fehlgeschlagen (allRowids): file is not a database");
}

// The mail client writes while we read: a reader waits for its lock instead of failing at once.
TEST(EnvelopeIndexReaderFailures, WaitsForTheWritersLock) {
    testing::TempDir dir;
    EnvelopeIndexFixture fixture(dir.path());
    fixture.addMessage({});
    auto reader = openReader(fixture.databasePath());
    ASSERT_TRUE(reader);

    fixture.exec("BEGIN EXCLUSIVE; INSERT INTO messages (document_id) VALUES ('late')");
    const auto started = std::chrono::steady_clock::now();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fixture.exec("COMMIT");
    });
    const auto count = reader->messageCount();
    writer.join();
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250));
    EXPECT_EQ(valueOf(count), 2);
}

}  // namespace
}  // namespace lumidex::mail
