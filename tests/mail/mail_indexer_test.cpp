#include "mail/mail_indexer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mail/mail_fts.h"
#include "mail/mail_indexer_sources.h"
#include "platform/sqlite.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;
using lumidex::testing::readFile;
using lumidex::testing::ScopedHome;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

std::string message(int i, const std::string& subject, const std::string& body) {
    return "From: Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@example.org>\n"
           "To: anna@example.org\nDate: Tue, 5 Mar 2024 08:" + std::to_string(10 + i % 50) + ":00 +0100\n"
           "Subject: " + subject + "\n\n" + body + "\n";
}

// Every seventh message carries a Base64 PDF attachment named after it.
std::string withAttachment(int i, const std::string& body) {
    return "From: s" + std::to_string(i) + "@example.org\nSubject: attached " + std::to_string(i) +
           "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\n"
           "Content-Type: text/plain; charset=utf-8\n\n" + body +
           "\n--b1\nContent-Type: application/pdf\nContent-Disposition: attachment; filename=\"quarterly-" +
           std::to_string(i) + ".pdf\"\nContent-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n--b1--\n";
}

std::string body(int i) { return "Body text with marker" + std::to_string(i) + "x and more words."; }

std::string mboxEntry(int i) {
    return "From - Tue Mar  5 10:15:00 2024\n" + message(i, "mbox " + std::to_string(i), body(i)) + "\n";
}

struct MailFixture : ::testing::Test {
    ScopedHome home;
    TempDir dir;
    MailFtsSqlite fts{dir / "MailIndex/mail_fts_v9.sqlite", [](std::string_view) {}};
    fs::path maildir = dir / "Maildir";
    fs::path mbox = dir / "archive.mbox";

    // 150 Maildir messages (INBOX in cur/ and new/, and an Archive folder) and 150 mbox messages.
    void SetUp() override {
        for (const char* sub : {"cur", "new", "tmp", ".Archive/cur", ".Archive/new", ".Archive/tmp"}) {
            fs::create_directories(maildir / sub);
        }
        for (int i = 0; i < 150; ++i) {
            const std::string folder = i % 3 == 0 ? ".Archive/cur" : i % 3 == 1 ? "cur" : "new";
            const std::string name = "17000000" + std::to_string(i) + ".M1P1.host" + (folder == "new" ? "" : ":2,S");
            const std::string text = i % 7 == 0 ? withAttachment(i, body(i)) : message(i, "maildir " + std::to_string(i), body(i));
            writeFile(maildir / folder / name, text);
        }
        writeFile(maildir / "cur/1700009999.M1P1.host:2,S",
                  message(9999, "=?ISO-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?=", "Der Dom."));
        std::string all;
        for (int i = 1000; i < 1150; ++i) all += mboxEntry(i);
        writeFile(mbox, all);
    }

    MailIndexReport indexBoth(size_t* progressTotal = nullptr) {
        LocalMailIndexer indexer(fts);
        const LocalMailSource source("test", {{MailStoreKind::maildir, maildir}, {MailStoreKind::mbox, mbox}});
        return indexer.run(source, [&](const fs::path&, size_t, size_t total) {
            if (progressTotal) *progressTotal += total == 0 ? 0 : 1;
        });
    }

    std::vector<MailSearchHit> find(const std::string& query, bool inboxOnly = false) {
        return fts.search(query, 50, inboxOnly);
    }
};

TEST_F(MailFixture, IndexesBothStoresThenReadsOnlyWhatMovedWasAddedOrRemoved) {
    MailIndexReport first = indexBoth();
    EXPECT_TRUE(first.ok()) << (first.errors.empty() ? "" : first.errors.front());
    EXPECT_EQ(first.messagesRead, 301);
    EXPECT_EQ(first.messagesWritten, 301);

    // A body word, an attachment name, a subject in encoded words, a sender; each exactly once.
    ASSERT_EQ(find("marker4x").size(), 1u);
    EXPECT_EQ(find("marker1004x").size(), 1u);
    ASSERT_EQ(find("quarterly-14").size(), 1u);
    EXPECT_EQ(find("quarterly-14").front().subject.value_or(""), "attached 14");
    ASSERT_EQ(find("Köln").size(), 1u);
    EXPECT_EQ(find("Grüße").front().subject.value_or(""), "Grüße aus Köln");
    EXPECT_EQ(find("s1004@example.org").size(), 1u);
    // Message 3 lies in the Archive folder, 4 in the inbox.
    EXPECT_TRUE(find("marker3x", true).empty());
    EXPECT_EQ(find("marker4x", true).size(), 1u);
    EXPECT_EQ(find("marker4x").front().dateSent, parseMailDate("Tue, 5 Mar 2024 08:14:00 +0100"));

    const MailIndexReport unchanged = indexBoth();
    EXPECT_EQ(unchanged.storesUnchanged, 2);
    EXPECT_EQ(unchanged.messagesRead, 0);

    // Message 4 moves to the archive (and is marked replied), 5 is deleted, one message is appended to
    // the mbox and a flag changes on 1 without a move.
    fs::rename(maildir / "cur/170000004.M1P1.host:2,S", maildir / ".Archive/cur/170000004.M1P1.host:2,RS");
    fs::remove(maildir / "new/170000005.M1P1.host");
    fs::rename(maildir / "cur/170000001.M1P1.host:2,S", maildir / "cur/170000001.M1P1.host:2,FS");
    writeFile(mbox, readFile(mbox) + mboxEntry(2000));
    size_t progressCalls = 0;
    const MailIndexReport third = indexBoth(&progressCalls);
    EXPECT_TRUE(third.ok());
    EXPECT_EQ(third.messagesRead, 1);
    EXPECT_EQ(progressCalls, 1u);
    EXPECT_EQ(third.messagesMoved, 1);
    EXPECT_EQ(third.messagesRemoved, 1);
    EXPECT_TRUE(find("marker4x", true).empty());
    ASSERT_EQ(find("marker4x").size(), 1u);
    EXPECT_TRUE(find("marker4x").front().mailbox.value_or("").ends_with("/Archive"));
    EXPECT_TRUE(find("marker5x").empty());
    EXPECT_EQ(find("marker2000x").size(), 1u);
    EXPECT_EQ(find("marker1x").size(), 1u);
}

TEST_F(MailFixture, FailedWriteIsRetriedByTheNextRunAndADamagedListingIsRebuiltWithoutRereading) {
    ASSERT_TRUE(fts.ensureOpen());
    std::string error;
    auto db = platform::SqliteDatabase::open(fts.databasePath(), error);
    ASSERT_TRUE(db) << error;
    ASSERT_TRUE(db->exec("CREATE TRIGGER refuse BEFORE INSERT ON mailFtsCopies BEGIN SELECT RAISE(ABORT, 'disk full'); END;",
                         error))
        << error;
    const MailIndexReport refused = indexBoth();
    EXPECT_FALSE(refused.ok());
    EXPECT_GT(refused.writesFailed, 0);
    LocalMailIndexer indexer(fts);
    EXPECT_FALSE(fs::exists(indexer.listingPath({MailStoreKind::maildir, maildir})));

    ASSERT_TRUE(db->exec("DROP TRIGGER refuse;", error)) << error;
    const MailIndexReport retried = indexBoth();
    EXPECT_TRUE(retried.ok());
    EXPECT_EQ(retried.messagesRead, 301);
    EXPECT_EQ(find("marker8x").size(), 1u);
    EXPECT_EQ(find("marker8x", true).size(), 1u);

    // A damaged listing: the store is walked again, but what the index holds as listed is not re-read;
    // what vanished or moved meanwhile is still seen.
    writeFile(indexer.listingPath({MailStoreKind::maildir, maildir}), "{\"kind\": ");
    fs::remove(maildir / "cur/170000007.M1P1.host:2,S");
    fs::rename(maildir / "cur/1700000013.M1P1.host:2,S", maildir / ".Archive/cur/1700000013.M1P1.host:2,S");
    const MailIndexReport rebuilt = indexBoth();
    EXPECT_TRUE(rebuilt.ok());
    EXPECT_EQ(rebuilt.messagesRead, 0);
    EXPECT_EQ(rebuilt.messagesRemoved, 1);
    EXPECT_EQ(rebuilt.messagesMoved, 1);
    EXPECT_TRUE(find("marker7x").empty());
    EXPECT_TRUE(find("marker13x", true).empty());
    EXPECT_EQ(find("marker13x").size(), 1u);
    EXPECT_EQ(find("marker8x").size(), 1u);
    EXPECT_EQ(fts.deduplicateByExternalId().value_or(-1), 0);
}

TEST_F(MailFixture, ForgettingAStoreRemovesOnlyItsMessagesAndItsListing) {
    ASSERT_TRUE(indexBoth().ok());
    LocalMailIndexer indexer(fts);
    EXPECT_TRUE(indexer.forgetStore({MailStoreKind::maildir, maildir}));
    EXPECT_TRUE(find("marker4x").empty());
    EXPECT_EQ(find("marker1004x").size(), 1u);
    EXPECT_EQ(indexBoth().messagesRead, 151) << "the forgotten store is read again when it comes back";
}

TEST(MailDate, ReadsTheFormsMailProgramsWriteAndRefusesOthers) {
    EXPECT_EQ(parseMailDate("Tue, 5 Mar 2024 08:15:00 +0100"), parseIso8601("2024-03-05T07:15:00Z"));
    EXPECT_EQ(parseMailDate("5 Mar 24 08:15 EST"), parseIso8601("2024-03-05T13:15:00Z"));
    EXPECT_EQ(parseMailDate("Fri, 29 Feb 2008 23:59:59 -0000 (UTC)"), parseIso8601("2008-02-29T23:59:59Z"));
    EXPECT_EQ(parseMailDate("  Mon,\n 1 Jan 1990 00:00:00 +0000"), parseIso8601("1990-01-01T00:00:00Z"));
    for (const char* bad : {"", "yesterday", "31 Feb 2024 10:00:00 +0000", "5 Foo 2024 10:00 +0000", "5 Mar 2024 25:00 +0000"}) {
        EXPECT_FALSE(parseMailDate(bad)) << bad;
    }
}

TEST(MailSources, DetectsStoresKeepsTheListAndReportsDamage) {
    ScopedHome home;
    TempDir dir;
    fs::create_directories(dir / "profile/Mail/Local Folders");
    writeFile(dir / "profile/Mail/Local Folders/Inbox", mboxEntry(1));
    fs::create_directories(dir / "md/cur");
    writeFile(dir / "notes.txt", "hello");
    EXPECT_EQ(detectMailSource(dir / "profile").value_or(ConfiguredMailSource{}).type, "thunderbird");
    EXPECT_EQ(storesOf(*detectMailSource(dir / "profile")).size(), 1u);
    EXPECT_EQ(detectMailSource(dir / "md/").value_or(ConfiguredMailSource{}).path, dir / "md");
    EXPECT_FALSE(detectMailSource(dir / "notes.txt"));
    EXPECT_FALSE(detectMailSource(dir / "missing"));

    MailSourceList list(dir / "config/mail_sources.json");
    EXPECT_FALSE(list.load());
    EXPECT_TRUE(list.add(*detectMailSource(dir / "md")));
    EXPECT_FALSE(list.add(*detectMailSource(dir / "md")));
    ASSERT_FALSE(list.save());
    MailSourceList again(dir / "config/mail_sources.json");
    EXPECT_FALSE(again.load());
    EXPECT_EQ(again.sources(), list.sources());
    EXPECT_TRUE(again.remove(dir / "md"));
    EXPECT_FALSE(again.remove(dir / "md"));

    writeFile(dir / "config/mail_sources.json", "{\"sources\": [{\"path\": 3}]}");
    EXPECT_TRUE(again.load());
    EXPECT_TRUE(again.sources().empty());
}

}  // namespace
}  // namespace lumidex::mail
