#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "mail/mail_fts.h"
#include "platform/sqlite.h"
#include "support/log_lines.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

MailUpsertItem item(std::string id, std::string content, double received = 0, std::optional<std::string> mailbox = {}) {
    MailUpsertItem i;
    i.externalId = std::move(id);
    i.subject = "Betreff " + i.externalId;
    i.sender = "anna@example.org";
    i.mailbox = std::move(mailbox);
    if (received != 0) i.dateReceived = dateFromSecondsSince1970(received);
    i.content = std::move(content);
    return i;
}

std::vector<std::string> idsOf(const std::vector<MailSearchHit>& hits) {
    std::vector<std::string> ids;
    for (const auto& h : hits) ids.push_back(h.externalId);
    return ids;
}

MailCopy copy(int64_t rowid, std::string id, std::string mailbox, bool resolved) {
    return MailCopy{rowid, std::move(id), std::move(mailbox), resolved};
}

// A store in a fresh folder, logging into `lines`, with a side connection for looking at or
// tampering with the file directly.
class MailFtsTest : public ::testing::Test {
protected:
    std::filesystem::path path() const { return dir_.path() / "MailIndex" / "mail_fts_v9.sqlite"; }
    MailFtsSqlite& store() {
        if (!store_) store_ = std::make_unique<MailFtsSqlite>(path(), lines_.sink());
        return *store_;
    }
    void reopenStore() { store_.reset(); }
    platform::SqliteDatabase& side() {
        if (!side_) {
            std::string error;
            side_ = platform::SqliteDatabase::open(path(), error);
            EXPECT_TRUE(side_) << error;
        }
        return *side_;
    }
    void sideExec(const std::string& sql) {
        std::string error;
        ASSERT_TRUE(side().exec(sql, error)) << error;
    }
    double sideDouble(const std::string& sql) {
        std::string error;
        auto s = side().prepare(sql, error);
        EXPECT_TRUE(s) << error;
        if (!s || s->step() != platform::SqliteStatement::Step::row) return -1;
        return s->doubleAt(0);
    }
    std::string sideText(const std::string& sql) {
        std::string error;
        auto s = side().prepare(sql, error);
        EXPECT_TRUE(s) << error;
        if (!s || s->step() != platform::SqliteStatement::Step::row) return "<none>";
        return s->textAt(0);
    }
    std::optional<MailMetaRecord> meta(const std::string& id) {
        for (auto& m : store().loadAllMeta()) {
            if (m.externalId == id) return m;
        }
        return std::nullopt;
    }

    testing::TempDir dir_;
    testing::LogLines lines_;
    std::unique_ptr<MailFtsSqlite> store_;
    std::unique_ptr<platform::SqliteDatabase> side_;
};

TEST_F(MailFtsTest, CreatesTheStoreInWalModeAndDefaultsBelowApplicationSupport) {
    testing::ScopedHome home;
    EXPECT_EQ(MailFtsSqlite::defaultDatabasePath(), home.dataHome() / "Lumidex" / "MailIndex" / "mail_fts_v9.sqlite");

    EXPECT_FALSE(std::filesystem::exists(path()));  // nothing happens before the first use
    ASSERT_TRUE(store().ensureOpen());
    std::string error;
    auto s = side().prepare("PRAGMA journal_mode", error);
    ASSERT_TRUE(s && s->step() == platform::SqliteStatement::Step::row);
    EXPECT_EQ(s->textAt(0), "wal");
    EXPECT_EQ(store().statusCounts(), (std::map<std::string, int64_t>{{"empty", 0}, {"failed", 0}, {"pending", 0},
                                                                      {"success", 0}}));
}

// A damaged file is reported and left for inspection: never replaced, never written.
TEST_F(MailFtsTest, DamagedFileKeepsTheStoreClosedAndUntouched) {
    const std::string junk(8192, 'j');
    std::filesystem::create_directories(path().parent_path());
    testing::writeFile(path(), junk);

    EXPECT_FALSE(store().ensureOpen());
    EXPECT_EQ(store().openError(), "file is not a database");
    EXPECT_TRUE(lines_.contains("MailFtsSqlite init failed: file is not a database"));
    EXPECT_EQ(store().upsertBatch({item("m1", "text")}), 0);
    EXPECT_FALSE(store().upsertMeta("m1", MailIndexStatus::success, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_FALSE(store().deleteMessageIdsWithNoCopies(10));
    EXPECT_TRUE(store().search("text", 10, false).empty());
    EXPECT_FALSE(store().find("m1"));
    EXPECT_TRUE(lines_.contains("MailFtsSqlite.find: connection war nil \u2014 reopen f\u00fcr externalId=m1"));
    EXPECT_EQ(testing::readFile(path()), junk);
}

TEST_F(MailFtsTest, SearchMatchesWordsPrefixesUmlautsAndHyphenatedWords) {
    ASSERT_EQ(store().upsertBatch({
                  item("m1", "Herr Müller schickt die Rechnung per E-Mail", 3000),
                  item("m2", "Frau Muller schreibt eine email wegen Rechnungen", 2000),
                  item("m3", "Nichts davon; 2024-01 Bericht", 1000),
              }),
              3);

    EXPECT_EQ(idsOf(store().search("müller", 10, false)), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(idsOf(store().search("e-mail", 10, false)), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(idsOf(store().search("rech müll", 10, false)), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(idsOf(store().search("rech müll", 1, false)), (std::vector<std::string>{"m1"}));  // newest first
    EXPECT_EQ(idsOf(store().search("2024-01", 10, false)), (std::vector<std::string>{"m3"}));
    // Quotes, operators and parentheses of the user's do not make a broken full-text query.
    EXPECT_EQ(idsOf(store().search("\"Rechnung\" (OR) NOT", 10, false)), std::vector<std::string>{});
    EXPECT_FALSE(lines_.contains("search error"));

    const auto hits = store().search("schickt", 10, false);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].subject, "Betreff m1");
    EXPECT_EQ(hits[0].sender, "anna@example.org");
    EXPECT_FALSE(hits[0].dateSent);  // stored as 0
    EXPECT_EQ(hits[0].dateReceived, dateFromSecondsSince1970(3000));
    EXPECT_EQ(hits[0].snippet, "Herr Müller schickt die Rechnung per E-Mail");
}

TEST_F(MailFtsTest, SubstringFallbackOnlyForLongerQueriesThatMatchNoWord) {
    const std::string longBody = "Zahlungserinnerung " + std::string(300, 'x');
    ASSERT_EQ(store().upsertBatch({item("m1", longBody, 10), item("m2", "100%%% sicher", 20),
                                   item("m3", "ohne Prozent", 30)}),
              3);

    // "erinnerung" starts no word, so only the substring search finds it; its snippet is the text's head.
    const auto hits = store().search("erinnerung", 10, false);
    ASSERT_EQ(idsOf(hits), std::vector<std::string>{"m1"});
    EXPECT_EQ(hits[0].snippet, longBody.substr(0, 200));
    EXPECT_TRUE(store().search("un", 10, false).empty());
    EXPECT_EQ(idsOf(store().search("ung", 10, false)), std::vector<std::string>{"m1"});
    // LIKE wildcards in the query are literal characters.
    EXPECT_EQ(idsOf(store().search("%%%", 10, false)), std::vector<std::string>{"m2"});
    EXPECT_TRUE(store().search("o_ne", 10, false).empty());
}

TEST_F(MailFtsTest, InboxOnlyAndMailboxesFollowTheResolvedCopies) {
    ASSERT_EQ(store().upsertBatch({item("inbox", "Angebot eins", 3, "stored/INBOX"),
                                   item("archive", "Angebot zwei", 2, "stored/Archive"),
                                   item("unresolved", "Angebot drei", 1, "stored/INBOX")}),
              3);
    ASSERT_TRUE(store().recordCopiesBatch({copy(7, "inbox", "imap://a/Archive", true),
                                           copy(5, "inbox", "imap://a/INBOX", true),
                                           copy(6, "archive", "imap://a/Archive", true),
                                           copy(8, "unresolved", "imap://a/INBOX", false)}));

    EXPECT_EQ(idsOf(store().search("angebot", 10, true)), std::vector<std::string>{"inbox"});
    const auto all = store().search("angebot", 10, false);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].mailbox, "imap://a/INBOX");  // the lowest resolved copy
    EXPECT_EQ(all[2].mailbox, "stored/INBOX");    // no resolved copy: the stored one
    EXPECT_EQ(idsOf(store().search("ebo", 10, true)), std::vector<std::string>{"inbox"});  // fallback too

    EXPECT_EQ(idsOf(store().mailsInMailbox("%/Archive", 10)), (std::vector<std::string>{"inbox", "archive"}));
    EXPECT_EQ(store().mailsInMailbox("%/Archive", 10)[0].mailbox, "imap://a/Archive");
    EXPECT_EQ(idsOf(store().recent(2)), (std::vector<std::string>{"inbox", "archive"}));
    EXPECT_EQ(store().canonicalRowids(), (std::map<std::string, int64_t>{{"archive", 6}, {"inbox", 5}}));
    EXPECT_EQ(store().coveredEnvelopeRowids(), (std::set<int64_t>{5, 6, 7}));
}

TEST_F(MailFtsTest, MetaAttemptsCountFailuresAndKeepKnownValues) {
    auto& s = store();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(s.upsertMeta("m", MailIndexStatus::empty, 111.0, 42, "ignored"));
    auto m = meta("m");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->attemptCount, 3);
    EXPECT_FALSE(m->errorReason);  // reasons are kept for failures only

    ASSERT_TRUE(s.upsertMeta("m", MailIndexStatus::failed, std::nullopt, std::nullopt, "upsert failed"));
    m = meta("m");
    EXPECT_EQ(m->attemptCount, 4);
    EXPECT_EQ(m->errorReason, "upsert failed");
    EXPECT_EQ(m->emlxMtime, 111.0);
    EXPECT_EQ(m->envelopeRowid, 42);
    EXPECT_EQ(s.incompleteRecords(MailIndexStatus::failed, 10).size(), 1u);
    EXPECT_EQ(s.actionableIncompleteCount(), 1);

    ASSERT_TRUE(s.upsertMeta("m", MailIndexStatus::success, 222.0, std::nullopt, std::nullopt));
    m = meta("m");
    EXPECT_EQ(m->indexStatus, MailIndexStatus::success);
    EXPECT_EQ(m->attemptCount, 0);
    EXPECT_FALSE(m->errorReason);
    EXPECT_EQ(m->emlxMtime, 222.0);
    EXPECT_EQ(s.envelopeRowid("m"), 42);
    EXPECT_TRUE(s.incompleteRecords(std::nullopt, 10).empty());

    // Five attempts without text: the rowid counts as covered and no longer as work to do.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(s.upsertMeta("e", MailIndexStatus::empty, std::nullopt, 9, std::nullopt));
    EXPECT_EQ(s.stalledPlaceholderRowids(), std::set<int64_t>{9});
    EXPECT_EQ(s.actionableIncompleteCount(), 0);
    EXPECT_EQ(s.statusCounts()["empty"], 1);
    EXPECT_EQ(s.resetIncomplete(), 1);
    EXPECT_EQ(meta("e")->indexStatus, MailIndexStatus::pending);
    EXPECT_EQ(meta("e")->attemptCount, 0);
}

TEST_F(MailFtsTest, CopiesNeverLoseAResolvedMappingAndArePrunedInChunks) {
    auto& s = store();
    ASSERT_TRUE(s.recordCopiesBatch({copy(1, "doc-1", "imap://a/INBOX", true),
                                     copy(2, "lumidex-internal:rowid=2", "imap://a/INBOX", false)}));
    sideExec("UPDATE mailFtsCopies SET lastSeenAt = 5");
    ASSERT_TRUE(s.recordCopiesBatch({copy(1, "lumidex-internal:rowid=1", "imap://a/Trash", false),
                                     copy(2, "doc-2", "imap://a/Sent", true)}));
    EXPECT_EQ(s.canonicalRowids(), (std::map<std::string, int64_t>{{"doc-1", 1}, {"doc-2", 2}}));
    EXPECT_EQ(sideText("SELECT mailbox FROM mailFtsCopies WHERE envelopeRowid = 1"), "imap://a/INBOX");
    EXPECT_EQ(sideText("SELECT mailbox FROM mailFtsCopies WHERE envelopeRowid = 2"), "imap://a/Sent");
    EXPECT_GT(sideDouble("SELECT lastSeenAt FROM mailFtsCopies WHERE envelopeRowid = 1"), 5);

    std::vector<MailCopy> many;
    for (int64_t r = 100; r < 1300; ++r) many.push_back(copy(r, "doc-" + std::to_string(r), "imap://a/INBOX", true));
    ASSERT_TRUE(s.recordCopiesBatch(many));
    std::set<int64_t> live = {1};
    for (int64_t r = 100; r < 200; ++r) live.insert(r);
    EXPECT_EQ(s.pruneCopies(live), 1101);
    EXPECT_EQ(s.coveredEnvelopeRowids(), live);
}

TEST_F(MailFtsTest, DeletesMessagesWhoseCopiesAreGoneButNotWhenNoCopyIsKnown) {
    auto& s = store();
    ASSERT_EQ(s.upsertBatch({item("kept", "eins"), item("gone", "zwei")}), 2);
    ASSERT_TRUE(s.upsertMeta("kept", MailIndexStatus::success, std::nullopt, 1, std::nullopt));
    ASSERT_TRUE(s.upsertMeta("gone", MailIndexStatus::success, std::nullopt, 2, std::nullopt));
    EXPECT_EQ(s.deleteMessageIdsWithNoCopies(100), 0);  // an empty copy table is no evidence
    EXPECT_EQ(s.loadAllMeta().size(), 2u);

    // A local message whose read failed has no copy either: it is not the mail client's to remove.
    ASSERT_TRUE(s.upsertMeta("maildir:abc:1", MailIndexStatus::failed, std::nullopt, std::nullopt, "unreadable"));
    ASSERT_TRUE(s.recordCopiesBatch({copy(1, "kept", "imap://a/INBOX", true)}));
    EXPECT_EQ(s.deleteMessageIdsWithNoCopies(100), 1);
    EXPECT_TRUE(s.search("zwei", 10, false).empty());
    EXPECT_FALSE(meta("gone"));
    EXPECT_TRUE(meta("kept"));
    EXPECT_TRUE(meta("maildir:abc:1"));
}

TEST_F(MailFtsTest, CleanupRemovesOnlyStaleEmptyAndFailedRows) {
    auto& s = store();
    for (const char* id : {"empty10", "empty9", "failed89", "failed91", "emptyRecent"}) {
        const auto status = std::string(id).starts_with("failed") ? MailIndexStatus::failed : MailIndexStatus::empty;
        ASSERT_TRUE(s.upsertMeta(id, status, std::nullopt, std::nullopt, "x"));
    }
    const double t = secondsSince1970(now());
    const auto set = [&](const std::string& id, int attempts, double daysAgo) {
        sideExec("UPDATE mailFtsMeta SET attemptCount = " + std::to_string(attempts) +
                 ", lastAttemptedAt = " + std::to_string(t - daysAgo * 86400) + " WHERE externalId = '" + id + "'");
    };
    set("empty10", 10, 31);
    set("empty9", 9, 31);
    set("failed89", 1, 89);
    set("failed91", 1, 91);
    set("emptyRecent", 10, 29);
    EXPECT_EQ(s.cleanupStaleMeta(), 2);
    std::vector<std::string> left;
    for (const auto& m : s.loadAllMeta()) left.push_back(m.externalId);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"empty9", "emptyRecent", "failed89"}));
}

TEST_F(MailFtsTest, ReindexingPlaceholdersAndDuplicatesLeaveOneRowPerMessage) {
    auto& s = store();
    const std::string placeholder = "lumidex-internal:rowid=7";
    ASSERT_EQ(s.upsertBatch({item(placeholder, "Vertrag alt")}), 1);
    ASSERT_TRUE(s.upsertMeta(placeholder, MailIndexStatus::success, std::nullopt, 7, std::nullopt));
    ASSERT_TRUE(s.recordCopiesBatch({copy(7, placeholder, "imap://a/INBOX", false)}));
    // The document id appears later: the message is indexed under it, and the placeholder goes.
    ASSERT_EQ(s.upsertBatch({item("doc-7", "Vertrag neu")}), 1);
    ASSERT_TRUE(s.upsertMeta("doc-7", MailIndexStatus::success, std::nullopt, 7, std::nullopt));
    EXPECT_EQ(s.purgeOrphanPlaceholders(), 1);
    EXPECT_EQ(idsOf(s.search("vertrag", 10, false)), std::vector<std::string>{"doc-7"});
    EXPECT_FALSE(meta(placeholder));

    // Writing a message twice leaves two rows until they are deduplicated; the later one stays.
    ASSERT_EQ(s.upsertBatch({item("doc-7", "Vertrag final")}), 1);
    EXPECT_EQ(s.search("vertrag", 10, false).size(), 2u);
    EXPECT_EQ(s.deduplicateByExternalId(), 1);
    EXPECT_EQ(s.find("doc-7")->content, "Vertrag final");

    ASSERT_TRUE(s.appendContent("doc-7", "\nAnhang: Preisliste"));
    EXPECT_EQ(idsOf(s.search("preisliste", 10, false)), std::vector<std::string>{"doc-7"});
    EXPECT_FALSE(s.appendContent("doc-404", "nowhere"));
    ASSERT_TRUE(s.updateMailbox("doc-7", "imap://a/Archive"));
    EXPECT_EQ(s.ftsMailboxes().at("doc-7"), "imap://a/Archive");

    ASSERT_TRUE(s.deleteByExternalId("doc-7"));
    EXPECT_FALSE(s.find("doc-7"));
    EXPECT_FALSE(meta("doc-7"));
}

TEST_F(MailFtsTest, OpeningBackfillsLedgerRowsAndClearAllEmptiesEverything) {
    ASSERT_EQ(store().upsertBatch({item("a", "eins"), item("b", "zwei")}), 2);
    ASSERT_TRUE(store().upsertMeta("a", MailIndexStatus::failed, std::nullopt, std::nullopt, "x"));
    reopenStore();
    ASSERT_TRUE(store().ensureOpen());
    EXPECT_TRUE(lines_.contains("MailFtsSqlite: backfilled 1 meta entries from FTS"));
    EXPECT_EQ(meta("b")->indexStatus, MailIndexStatus::success);
    EXPECT_EQ(meta("a")->indexStatus, MailIndexStatus::failed);

    ASSERT_TRUE(store().setIndexState({-5, 6, true, "v9"}));
    const auto state = store().getIndexState();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->fingerprintHi, -5);
    EXPECT_TRUE(state->fullyCovered);
    ASSERT_TRUE(store().setIndexState({1, 2, false, "v9"}));
    EXPECT_FALSE(store().getIndexState()->fullyCovered);

    ASSERT_TRUE(store().clearAll());
    EXPECT_TRUE(store().loadAllMeta().empty());
    EXPECT_FALSE(store().getIndexState());
    EXPECT_TRUE(store().recent(10).empty());
}

// Writes that SQLite refuses are reported to the caller and logged, never taken as done.
TEST_F(MailFtsTest, RefusedWritesAreReportedAndLogged) {
    ASSERT_TRUE(store().ensureOpen());
    sideExec("DROP TABLE mailFtsMeta; DROP TABLE mailFtsVirtualTable");
    EXPECT_FALSE(store().upsertMeta("m", MailIndexStatus::success, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_TRUE(lines_.contains("MailFtsSqlite.upsertMeta failed for m: no such table: mailFtsMeta"));
    EXPECT_EQ(store().upsertBatch({item("m", "text")}), 0);
    EXPECT_TRUE(lines_.contains("MailFtsSqlite batch transaction failed: no such table: mailFtsVirtualTable"));
    EXPECT_FALSE(store().cleanupStaleMeta());
    EXPECT_FALSE(store().clearAll());
    EXPECT_TRUE(lines_.contains("MailFtsSqlite clearAll error: "));
    EXPECT_TRUE(store().search("text", 10, false).empty());
    EXPECT_TRUE(lines_.contains("MailFtsSqlite search error: "));
}

// Ten thousand short messages written in indexer-sized batches while another thread searches.
// The time is printed for the record, not asserted.
TEST_F(MailFtsTest, TenThousandMessagesWithConcurrentSearches) {
    ASSERT_TRUE(store().ensureOpen());
    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> writing = true;
    std::atomic<int> searches = 0;
    std::thread reader([&] {
        while (writing) {
            (void)store().search("rechnung", 20, false);
            ++searches;
        }
    });
    int64_t written = 0;
    for (int batch = 0; batch < 20; ++batch) {
        std::vector<MailUpsertItem> items;
        for (int i = 0; i < 500; ++i) {
            const int n = batch * 500 + i;
            items.push_back(item("doc-" + std::to_string(n),
                                 "Rechnung Nummer " + std::to_string(n) + " von Kunde" + std::to_string(n % 97) +
                                     " \u00fcber Lieferung und Montage",
                                 1'700'000'000.0 + n));
        }
        written += store().upsertBatch(items);
    }
    writing = false;
    reader.join();
    const auto wroteAt = std::chrono::steady_clock::now();
    const auto hits = store().search("kunde42 montage", 1000, false);
    const auto fallback = store().search("unde4", 20, false);
    const auto done = std::chrono::steady_clock::now();

    EXPECT_EQ(written, 10'000);
    EXPECT_EQ(hits.size(), 103u);  // n % 97 == 42 for n < 10000, plus kunde42* prefixes: none other
    EXPECT_EQ(fallback.size(), 20u);
    EXPECT_EQ(hits.front().externalId, "doc-9936");
    using ms = std::chrono::milliseconds;
    std::cout << "[ timing   ] 10000 messages written in "
              << std::chrono::duration_cast<ms>(wroteAt - started).count() << " ms (" << searches
              << " searches meanwhile), two searches in " << std::chrono::duration_cast<ms>(done - wroteAt).count()
              << " ms\n";
}

TEST_F(MailFtsTest, ReplacingAMessageChangesItsRowLedgerAndCopyTogetherOrNotAtAll) {
    auto& s = store();
    const auto replacement = [](std::string id, std::optional<std::string> text, int64_t rowid) {
        MailReplacement m;
        m.externalId = id;
        if (text) m.item = item(id, *text);
        m.status = text ? MailIndexStatus::success : MailIndexStatus::failed;
        m.errorReason = "unreadable";
        m.envelopeRowid = rowid;
        m.copy = copy(rowid, id, "imap://a/INBOX", true);
        return m;
    };
    ASSERT_EQ(s.replaceMessages({replacement("kept", "alterText", 1), replacement("refused", "alterText", 2)}),
              (std::vector<bool>{true, true}));
    // The ledger refuses one message from now on: its new row must not appear without its entry.
    sideExec("CREATE TRIGGER refuse BEFORE UPDATE ON mailFtsMeta WHEN NEW.externalId = 'refused' "
             "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    EXPECT_EQ(s.replaceMessages({replacement("kept", "neuerText", 1), replacement("refused", "neuerText", 2)}),
              (std::vector<bool>{true, false}));
    EXPECT_EQ(s.replaceMessages({replacement("kept", std::nullopt, 1)}), std::vector<bool>{true});
    EXPECT_EQ(idsOf(s.search("neuerText", 10, false)), std::vector<std::string>{"kept"});
    EXPECT_EQ(idsOf(s.search("alterText", 10, false)), std::vector<std::string>{"refused"});
    EXPECT_EQ(meta("refused")->indexStatus, MailIndexStatus::success);
    // A message that could not be read keeps its text; its ledger says why.
    EXPECT_EQ(meta("kept")->indexStatus, MailIndexStatus::failed);
    EXPECT_EQ(sideDouble("SELECT COUNT(*) FROM mailFtsVirtualTable WHERE externalId = 'kept'"), 1);
    // Its ledger row collected as stale (text and copy stay), it is read again: still one row.
    sideExec("DELETE FROM mailFtsMeta WHERE externalId = 'kept'");
    EXPECT_EQ(s.replaceMessages({replacement("kept", "dritterText", 1)}), std::vector<bool>{true});
    EXPECT_EQ(sideDouble("SELECT COUNT(*) FROM mailFtsVirtualTable WHERE externalId = 'kept'"), 1);
    EXPECT_EQ(s.metaWithPrefix("kep").size(), 1u);
    EXPECT_EQ(s.metaWithPrefix("refused").size(), 1u);
    EXPECT_TRUE(s.metaWithPrefix("refusee").empty());
}

}  // namespace
}  // namespace lumidex::mail
