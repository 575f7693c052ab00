#include "mail/mail_apple_indexer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/mail_indexer.h"
#include "mail_store_fixture.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;
using lumidex::testing::EnvelopeIndexFixture;
using lumidex::testing::EnvelopeMessage;
using lumidex::testing::ScopedHome;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

std::string emlx(const std::string& message) { return std::to_string(message.size()) + "\n" + message + "<?xml?><plist/>"; }

std::string message(int64_t i) {
    return "From: Sender <s" + std::to_string(i) + "@example.org>\nSubject: Subject " + std::to_string(i) +
           "\nDate: Tue, 5 Mar 2024 08:15:00 +0100\n\nBody with marker" + std::to_string(i) + "x and common words.\n";
}

struct AppleMailIndexerTest : ::testing::Test {
    ScopedHome home;
    TempDir dir;
    fs::path mailRoot = dir / "Mail";
    EnvelopeIndexFixture envelope{mailRoot};
    SettingsStore settings{dir / "settings.json"};
    MailFtsSqlite fts{dir / "MailIndex/mail_fts_v9.sqlite", [](std::string_view) {}};
    int64_t inbox = envelope.addMailbox("imap://anna@example.org/INBOX");
    int64_t archive = envelope.addMailbox("imap://anna@example.org/Archive");
    std::vector<std::string> logLines;
    std::vector<std::chrono::milliseconds> sleeps;
    std::function<void()> onSleep;
    std::function<void()> onScan;
    std::atomic<bool> cancelled{false};

    fs::path messageFile(int64_t rowid) const {
        return mailRoot / "V10/ACCOUNT/INBOX.mbox/Data/Messages" / (std::to_string(rowid) + ".emlx");
    }

    // Messages 1..n (in one transaction), even rowids in the inbox; each with its message file.
    void addMessages(int64_t from, int64_t to) {
        envelope.exec("BEGIN");
        for (int64_t i = from; i <= to; ++i) {
            EnvelopeMessage m;
            m.rowid = i;
            m.documentId = "doc-" + std::to_string(i);
            m.subject = "Subject " + std::to_string(i);
            m.mailbox = i % 2 == 0 ? inbox : archive;
            m.dateReceived = int64_t{700'000'000} + i;
            envelope.addMessage(m);
            writeFile(messageFile(i), emlx(message(i)));
        }
        envelope.exec("COMMIT");
    }

    AppleMailSourceOptions options() {
        AppleMailSourceOptions o;
        o.mailRoot = mailRoot;
        o.busyTimeout = std::chrono::milliseconds(20);
        o.sleep = [this](std::chrono::milliseconds delay) {
            sleeps.push_back(delay);
            if (onSleep) onSleep();
        };
        o.log = [this](std::string_view line) { logLines.emplace_back(line); };
        o.scanReporter = [this](bool scanning) {
            if (scanning && onScan) onScan();
        };
        return o;
    }

    AppleMailRunReport run(bool force = false) {
        AppleMailIndexer indexer(fts, settings, options());
        return indexer.run(force, cancelled);
    }

    size_t hits(std::string_view query, bool inboxOnly = false) { return fts.search(query, 20'000, inboxOnly).size(); }

    bool logged(std::string_view start) const {
        for (const std::string& line : logLines) {
            if (line.starts_with(start)) return true;
        }
        return false;
    }
};

TEST_F(AppleMailIndexerTest, TenThousandMessagesAreIndexedSearchedByInboxAndThenSkippedByTheFastPath) {
    addMessages(1, 10'000);
    const auto started = std::chrono::steady_clock::now();
    const AppleMailRunReport first = run();
    const auto firstMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_FALSE(first.fastPath);
    EXPECT_EQ(first.processed, 10'000);
    EXPECT_EQ(first.success, 10'000);
    EXPECT_EQ(first.missing, 0);
    EXPECT_TRUE(first.ok()) << (first.errors.empty() ? "" : first.errors.front());
    EXPECT_EQ(first.streamEnd, "ended-empty-batches rowid>10000");
    EXPECT_EQ(settings.getInt(kMailIndexLastSeenRowidKey), 10'000);

    EXPECT_EQ(hits("marker4242x", true), 1u);
    EXPECT_EQ(hits("marker4243x", true), 0u);  // in the archive
    EXPECT_EQ(hits("marker4243x", false), 1u);
    EXPECT_EQ(hits("common", true), 5'000u);
    const auto found = fts.find("doc-4242");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->subject, "Subject 4242");
    EXPECT_EQ(found->mailbox, "imap://anna@example.org/INBOX");

    const auto again = std::chrono::steady_clock::now();
    const AppleMailRunReport second = run();
    const auto secondMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - again);
    EXPECT_TRUE(second.fastPath);
    EXPECT_EQ(second.processed, 0);
    std::cout << "10000 messages: first run " << firstMs.count() << " ms, fast path " << secondMs.count() << " ms\n";

    // The one-shot force flag makes exactly one run skip the fast path; nothing is read again.
    ASSERT_FALSE(settings.setBool(kMailIndexForceRunOnceKey, true));
    const AppleMailRunReport forced = run();
    EXPECT_FALSE(forced.fastPath);
    EXPECT_EQ(forced.processed, 0);
    EXPECT_FALSE(settings.contains(kMailIndexForceRunOnceKey));
    EXPECT_TRUE(run().fastPath);
}

TEST_F(AppleMailIndexerTest, DeletedAndMovedMessagesAreReconciledWhileLocalMessagesStay) {
    addMessages(1, 4);
    // A local Maildir message indexed into the same store (negative copy rowid).
    const fs::path maildir = dir / "Maildir";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir / sub);
    writeFile(maildir / "cur/1700000000.M1P1.host:2,S", "From: a@example.org\nSubject: local\n\nlocalmarker body\n");
    LocalMailIndexer local(fts);
    ASSERT_TRUE(local.runStore({MailStoreKind::maildir, maildir}).ok());
    ASSERT_EQ(hits("localmarker"), 1u);

    ASSERT_TRUE(run().ok());
    ASSERT_EQ(hits("common"), 4u);

    envelope.removeMessage(2);
    envelope.exec("UPDATE messages SET mailbox = " + std::to_string(inbox) + " WHERE ROWID = 3");
    const AppleMailRunReport report = run();
    EXPECT_FALSE(report.fastPath);
    EXPECT_EQ(report.processed, 0);  // a move is no reason to read the message again
    EXPECT_EQ(report.removed, 1);
    EXPECT_EQ(report.mailboxesSynced, 1);
    EXPECT_FALSE(fts.find("doc-2"));
    EXPECT_EQ(hits("marker2x"), 0u);
    EXPECT_EQ(hits("marker3x", true), 1u);
    EXPECT_EQ(hits("common"), 3u);
    EXPECT_EQ(hits("localmarker"), 1u);
    EXPECT_EQ(fts.statusCounts()["success"], 4);  // three of the mail client's, one local
    EXPECT_TRUE(local.runStore({MailStoreKind::maildir, maildir}).ok());
    EXPECT_EQ(hits("localmarker"), 1u);
    EXPECT_TRUE(run().fastPath);
}

TEST_F(AppleMailIndexerTest, TruncatedFileAndLockedIndexAreCountedFailuresWhileTheRestIsFound) {
    addMessages(1, 6);
    const std::string whole = message(3);
    writeFile(messageFile(3), std::to_string(whole.size()) + "\n" + whole.substr(0, whole.size() / 2));
    // Another writer holds the index from the moment the files are scanned until the second retry.
    onScan = [&] {
        envelope.exec("BEGIN EXCLUSIVE");
        onScan = nullptr;
    };
    onSleep = [&] {
        if (sleeps.size() == 2) envelope.exec("COMMIT");
    };
    const AppleMailRunReport report = run();
    EXPECT_EQ(report.readRetries, 2);
    EXPECT_EQ(report.readsFailed, 0);
    EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(200), std::chrono::milliseconds(500)}));
    EXPECT_EQ(report.extractFailed, 1);
    EXPECT_EQ(report.success, 5);
    EXPECT_TRUE(logged("AppleMailSource: catchup enumerate failed, retry 1/7 in 200ms: "));
    EXPECT_TRUE(logged("AppleMailIndexer extract error for doc-3: message file truncated"));
    EXPECT_EQ(hits("common"), 5u);
    EXPECT_EQ(fts.statusCounts()["failed"], 1);

    // The file complete again: the next run retries the failed message (no fast path while it is due).
    writeFile(messageFile(3), emlx(whole));
    const AppleMailRunReport retried = run();
    EXPECT_FALSE(retried.fastPath);
    EXPECT_EQ(retried.processed, 1);
    EXPECT_EQ(hits("marker3x"), 1u);
}

TEST_F(AppleMailIndexerTest, AnIndexLockedThroughoutEndsTheStreamAndTheNextRunCatchesUp) {
    addMessages(1, 3);
    // Messages 1 and 2 lie below the cursor: only the catch-up reads them.
    ASSERT_FALSE(settings.setInt(kMailIndexLastSeenRowidKey, 2));
    onScan = [&] {
        envelope.exec("BEGIN EXCLUSIVE");
        onScan = nullptr;
    };
    const AppleMailRunReport locked = run();
    EXPECT_EQ(locked.readsFailed, 2);  // the catch-up chunk and the stream's page
    EXPECT_EQ(locked.streamEnd, "ended-error-cap rowid>2");
    EXPECT_EQ(locked.missing, 3);
    EXPECT_EQ(locked.processed, 0);
    envelope.exec("COMMIT");

    const AppleMailRunReport next = run();
    EXPECT_FALSE(next.fastPath);
    EXPECT_EQ(next.success, 3);
    EXPECT_EQ(hits("common"), 3u);
}

TEST_F(AppleMailIndexerTest, AnEmptyIndexSkipsTheRunAndAMailboxChangeMovesOnlyTheLowFingerprint) {
    const AppleMailRunReport report = run();
    EXPECT_EQ(report.live, 0);
    EXPECT_TRUE(logged("AppleMailIndexer: pass-0 live rowids empty"));
    EXPECT_FALSE(fts.getIndexState());  // the store is not touched

    const auto a = envelopeFingerprint({3, 1, 2}, {{1, "imap://x/INBOX"}, {2, "imap://x/INBOX"}});
    const auto sameSetOtherOrder = envelopeFingerprint({2, 3, 1}, {{2, "imap://x/INBOX"}, {1, "imap://x/INBOX"}});
    const auto moved = envelopeFingerprint({1, 2, 3}, {{1, "imap://x/INBOX"}, {2, "imap://x/Archive"}});
    const auto deleted = envelopeFingerprint({1, 2}, {{1, "imap://x/INBOX"}, {2, "imap://x/INBOX"}});
    EXPECT_EQ(a, sameSetOtherOrder);
    EXPECT_EQ(moved.first, a.first);
    EXPECT_NE(moved.second, a.second);
    EXPECT_NE(deleted.first, a.first);
}

}  // namespace
}  // namespace lumidex::mail
