#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "core/app_log.h"
#include "core/settings/settings.h"
#include "platform/paths.h"
#include "search/search_engine.h"
#include "search_test_support.h"
#include "storage/shard_layout.h"

namespace lumidex::search {
namespace {

using testing::DocumentFixture;
using testing::FakeMailSource;
using testing::FolderRegistry;
using testing::StorageFolderIndex;

SearchParameters query(std::string text, SortOrders order = SortOrders::new2Old) {
    SearchParameters p;
    p.searchText = std::move(text);
    p.sortOrder = order;
    return p;
}

SearchOutcome runSearch(const SearchEngine& engine, const SearchParameters& p, SearchRunOptions options = {}) {
    return engine.run(p, options, CancellationToken());
}

std::vector<std::string> names(const SearchOutcome& outcome) {
    std::vector<std::string> out;
    for (const SearchHit& hit : outcome.hits) out.push_back(hit.item.fileName);
    return out;
}

struct TwoFolders : ::testing::Test {
    std::shared_ptr<StorageFolderIndex> office = std::make_shared<StorageFolderIndex>("Office");
    std::shared_ptr<StorageFolderIndex> home = std::make_shared<StorageFolderIndex>("Home");
    FolderRegistry registry;
    SearchEngine engine{registry.function()};

    void SetUp() override {
        registry.add(office);
        registry.add(home);
    }
};

TEST_F(TwoFolders, FindsDocumentsOfEveryFolderAsItemsWithSnippetAndMatchCount) {
    const NanItem invoice = office->add({"2024/invoice-may.pdf", "Rechnung Mai. Die Rechnung ist bezahlt.", 2000, 3});
    home->add({"letter.txt", "Eine Rechnung vom Handwerker", 1000});
    office->add({"notes.txt", "nothing relevant here", 3000});

    const SearchOutcome outcome = runSearch(engine, query("rechnung"));
    ASSERT_FALSE(outcome.cancelled);
    EXPECT_EQ(names(outcome), (std::vector<std::string>{"invoice-may.pdf", "letter.txt"}));  // newest first
    EXPECT_EQ(outcome.countBeforeLimit, 2u);

    const SearchHit& hit = outcome.hits[0];
    EXPECT_EQ(hit.item, invoice);
    EXPECT_EQ(hit.item.combinedHash, invoice.combinedHash);
    EXPECT_EQ(hit.item.type, NanItemTypes::file);
    EXPECT_EQ(hit.item.searchResultType, SearchResultTypes::normal);
    EXPECT_EQ(hit.item.rootFolderUrl, office->rootPath());
    EXPECT_EQ(hit.item.totalPageCount, 3);
    EXPECT_EQ(hit.item.fileModifiedDate, dateFromSecondsSince1970(2000));
    EXPECT_EQ(hit.item.fileCreatedDate, dateFromSecondsSince1970(1900));
    EXPECT_EQ(hit.item.fileContentCreatedDate, dateFromSecondsSince1970(1950));
    EXPECT_EQ(hit.matchCount, 2);
    ASSERT_TRUE(hit.snippet.has_value());
    EXPECT_NE(hit.snippet->find("rechnung"), std::string::npos);
    EXPECT_EQ(outcome.matchCounts().at(invoice.combinedHash), 2);

    SearchRunOptions noSnippets;
    noSnippets.withSnippets = false;
    EXPECT_FALSE(runSearch(engine, query("rechnung"), noSnippets).hits[0].snippet.has_value());
}

TEST_F(TwoFolders, DisplaySnippetsAreTheDocumentsOwnWordsAndTheFoldedSnippetStays) {
    office->add({"obst.txt", "Bestellung: Müller Äpfel, 3 Kisten", 2000});
    SearchRunOptions display;
    display.withDisplaySnippets = true;
    for (const char* text : {"Müller", "mueller", "MÜLLER äpf"}) {
        const SearchOutcome outcome = runSearch(engine, query(text), display);
        ASSERT_EQ(outcome.hits.size(), 1u) << text;
        ASSERT_TRUE(outcome.hits[0].displaySnippet.has_value()) << text;
        const std::string expected = std::string(text) == "MÜLLER äpf" ? "Bestellung: <Müller> <Äpfel>, 3 Kisten"
                                                                        : "Bestellung: <Müller> Äpfel, 3 Kisten";
        EXPECT_EQ(renderDisplaySnippet(*outcome.hits[0].displaySnippet, "<", ">"), expected);
        ASSERT_TRUE(outcome.hits[0].snippet.has_value());
        EXPECT_NE(outcome.hits[0].snippet->find("mueller aepfel"), std::string::npos) << *outcome.hits[0].snippet;
    }
    EXPECT_TRUE(runSearch(engine, query("muller"), display).hits.empty());  // ü folds to ue, not u

    // Found by its file name only: no passage holds the word, the folded snippet is all there is.
    const SearchOutcome byName = runSearch(engine, query("obst"), display);
    ASSERT_EQ(byName.hits.size(), 1u);
    EXPECT_FALSE(byName.hits[0].displaySnippet.has_value());
    EXPECT_TRUE(byName.hits[0].snippet.has_value());
    EXPECT_FALSE(runSearch(engine, query("Müller")).hits[0].displaySnippet.has_value());  // not asked for

    // Readers who see one form only: the folded snippet is made only where no passage is.
    display.displayReplacesFolded = true;
    const SearchOutcome one = runSearch(engine, query("Müller"), display);
    EXPECT_TRUE(one.hits[0].displaySnippet.has_value());
    EXPECT_FALSE(one.hits[0].snippet.has_value());
    EXPECT_TRUE(runSearch(engine, query("obst"), display).hits[0].snippet.has_value());
}

TEST_F(TwoFolders, SnippetsOfRowsBeyondTheFirstAreReadOnRequestAsTheSearchWouldHaveGivenThem) {
    office->add({"a.txt", "Die Rechnung für Müller", 3000});
    home->add({"b.txt", "Zweite Rechnung, Müller zahlt", 2000});
    office->add({"c.txt", "Dritte Rechnung", 1000});
    SearchRunOptions options;
    options.withDisplaySnippets = true;
    const SearchOutcome whole = runSearch(engine, query("rechnung"), options);
    ASSERT_EQ(names(whole), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));

    options.snippetRows = 1;
    const SearchOutcome first = runSearch(engine, query("rechnung"), options);
    ASSERT_EQ(names(first), names(whole)) << "the rows do not depend on how many get snippets";
    EXPECT_TRUE(first.hits[0].snippet && first.hits[0].displaySnippet);
    EXPECT_FALSE(first.hits[1].snippet || first.hits[1].displaySnippet || first.hits[2].snippet);

    // Asked for later, in any order and across folders: the same as the whole search gave.
    NanItem elsewhere = whole.hits[0].item;
    elsewhere.rootFolderUrl = "/not/searched";
    const std::vector<NanItem> wanted{whole.hits[2].item, whole.hits[1].item, elsewhere};
    const auto later = engine.snippets(query("rechnung"), wanted, options, CancellationToken());
    ASSERT_EQ(later.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        const SearchHit& expected = whole.hits[2 - i];
        EXPECT_EQ(later[i].item, expected.item);
        EXPECT_EQ(later[i].snippet, expected.snippet);
        ASSERT_EQ(later[i].displaySnippet.has_value(), expected.displaySnippet.has_value());
        if (expected.displaySnippet) {
            EXPECT_EQ(renderDisplaySnippet(*later[i].displaySnippet, "<", ">"),
                      renderDisplaySnippet(*expected.displaySnippet, "<", ">"));
        }
    }
    EXPECT_FALSE(later[2].snippet || later[2].displaySnippet) << "a folder no longer searched gives none";

    CancellationToken cancelled;
    cancelled.cancel();
    EXPECT_TRUE(engine.snippets(query("rechnung"), wanted, options, cancelled).empty());
}

TEST_F(TwoFolders, SearchesOnlyTheSelectedFoldersAndTheInsideFolder) {
    office->add({"a/report-one.txt", "quarterly report", 1000});
    office->add({"b/report-two.txt", "quarterly report", 1001});
    home->add({"report-three.txt", "quarterly report", 1002});

    SearchParameters p = query("quarterly");
    p.rootFolderUrlStrings = {home->rootPath() + "/"};  // a trailing slash names the same folder
    EXPECT_EQ(names(runSearch(engine, p)), (std::vector<std::string>{"report-three.txt"}));

    p.rootFolderUrlStrings = {};
    EXPECT_EQ(runSearch(engine, p).hits.size(), 3u) << "no selection means every folder";

    p.rootFolderUrlStrings = {"/not/a/configured/folder"};
    EXPECT_TRUE(runSearch(engine, p).hits.empty());

    p.rootFolderUrlStrings = {office->rootPath(), home->rootPath()};
    p.searchInsideUrl = office->rootPath() + "/b";
    EXPECT_EQ(names(runSearch(engine, p)), (std::vector<std::string>{"report-two.txt"}));
    EXPECT_EQ(engine.selectedFolders(p).size(), 1u);
}

TEST_F(TwoFolders, RelevanceOrdersByMatchCountAcrossFoldersNewestFirstOnTies) {
    office->add({"once-old.txt", "alpha", 1000});
    home->add({"thrice.txt", "alpha alpha alpha", 500});
    office->add({"twice.txt", "alpha alpha", 3000});
    home->add({"once-new.txt", "alpha", 2000});

    const SearchOutcome outcome = runSearch(engine, query("alpha", SortOrders::relevance));
    EXPECT_EQ(names(outcome), (std::vector<std::string>{"thrice.txt", "twice.txt", "once-new.txt", "once-old.txt"}));
    EXPECT_EQ(outcome.hits[0].matchCount, 3);

    EXPECT_EQ(names(runSearch(engine, query("alpha", SortOrders::a2z))),
              (std::vector<std::string>{"once-new.txt", "once-old.txt", "thrice.txt", "twice.txt"}));
    EXPECT_EQ(names(runSearch(engine, query("alpha", SortOrders::old2New))),
              (std::vector<std::string>{"thrice.txt", "once-old.txt", "once-new.txt", "twice.txt"}));
}

TEST_F(TwoFolders, ResultLimitKeepsTheFirstHitsAndLogsTheCut) {
    std::vector<DocumentFixture> fixtures;
    for (int i = 0; i < 600; ++i) fixtures.push_back({"doc" + std::to_string(i) + ".txt", "budget plan", 1000.0 + i, 1, 0, false});
    office->addAll(fixtures);
    SearchRunOptions options;
    options.resultLimit = resultLimitForChoice(2);
    const SearchOutcome limited = runSearch(engine, query("budget"), options);
    EXPECT_EQ(limited.hits.size(), 250u);
    EXPECT_EQ(limited.countBeforeLimit, 600u);
    EXPECT_EQ(limited.hits.front().item.fileName, "doc599.txt");  // newest first survives the cut
    EXPECT_TRUE(limited.hits.back().snippet.has_value());

    flushAppLog();
    std::ifstream log(platform::userDirectories().appDocuments / "app_debug.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("Info performance loss search items 600 / 250 e28hhzt"), std::string::npos);

    options.resultLimit = resultLimitForChoice(5);
    EXPECT_EQ(runSearch(engine, query("budget"), options).hits.size(), 600u);
}

TEST_F(TwoFolders, DateRangeAloneSearchesAndShortWordsAlone) {
    office->add({"old.txt", "january", 1000});
    office->add({"new.txt", "march", 5000});

    SearchParameters p = query("");
    p.startDate = dateFromSecondsSince1970(4000);
    p.endDate = dateFromSecondsSince1970(6000);
    p.dateSearchParameter.rawValue = DateSearchParameters::modified;
    EXPECT_EQ(names(runSearch(engine, p)), (std::vector<std::string>{"new.txt"}));

    EXPECT_TRUE(runSearch(engine, query("a b c")).hits.empty()) << "each word is below the minimum";
}

TEST_F(TwoFolders, FullTextRowsOfForgottenDocumentsAreNotShown) {
    const NanItem gone = office->add({"gone.txt", "phoenix", 1000});
    office->add({"kept.txt", "phoenix", 1000});
    office->forgetItem(gone);
    EXPECT_EQ(names(runSearch(engine, query("phoenix"))), (std::vector<std::string>{"kept.txt"}));
}

TEST_F(TwoFolders, IndexStillBeingBuiltIsReported) {
    office->add({"a.txt", "zeppelin", 1000});
    EXPECT_FALSE(runSearch(engine, query("zeppelin")).indexBeingBuilt);
    home->indexing = true;
    const SearchOutcome outcome = runSearch(engine, query("zeppelin"));
    EXPECT_TRUE(outcome.indexBeingBuilt);
    EXPECT_EQ(outcome.hits.size(), 1u) << "results found so far are still shown";
}

TEST_F(TwoFolders, FolderRemovedDuringTheSearchContributesNothing) {
    office->add({"office.txt", "walrus", 1000});
    home->add({"home.txt", "walrus", 1000});
    home->onWait = [&] { registry.remove(home.get()); };
    EXPECT_EQ(names(runSearch(engine, query("walrus"))), (std::vector<std::string>{"office.txt"}));

    home->onWait = nullptr;
    registry.add(home);
    home->removed = true;  // the coordinator was cancelled but is still listed
    EXPECT_EQ(names(runSearch(engine, query("walrus"))), (std::vector<std::string>{"office.txt"}));
}

TEST_F(TwoFolders, FolderThatFailsContributesNothing) {
    office->add({"office.txt", "walrus", 1000});
    home->add({"home.txt", "walrus", 1000});
    home->throwOnLookup = true;
    EXPECT_EQ(names(runSearch(engine, query("walrus"))), (std::vector<std::string>{"office.txt"}));
}

TEST_F(TwoFolders, DamagedShardContributesNothing) {
    std::vector<DocumentFixture> fixtures;
    for (int i = 0; i < 200; ++i) fixtures.push_back({"doc" + std::to_string(i) + ".txt", "marmalade", 1000.0 + i, 1, 0, false});
    std::map<uint32_t, NanItem> byShard;
    for (const NanItem& item : office->addAll(fixtures)) byShard.emplace(storage::balancerId(item.combinedHash), item);
    ASSERT_EQ(byShard.size(), storage::loadBalancerCount);
    const size_t all = runSearch(engine, query("marmalade")).hits.size();

    // Shard 7's file is overwritten with garbage while no store has it open.
    office->reopenStores();
    const auto shard = storage::shardPath(office->dataDirectory(), storage::StoreKind::fullText, 7);
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(shard.string() + suffix);
    lumidex::testing::writeFile(shard, std::string(8192, 'x'));

    const SearchOutcome outcome = runSearch(engine, query("marmalade"));
    EXPECT_FALSE(outcome.hits.empty());
    EXPECT_LT(outcome.hits.size(), all);
    for (const SearchHit& hit : outcome.hits) EXPECT_NE(storage::balancerId(hit.item.combinedHash), 7u);
}

TEST_F(TwoFolders, MailHitsJoinOnlyWhenEnabledAndASourceExists) {
    office->add({"a.txt", "meeting agenda", 1000});
    auto mail = std::make_shared<FakeMailSource>();
    mail->hits = {{"ABC-1", "", "INBOX", dateFromSecondsSince1970(5000), std::string("the meeting"), 4},
                  {"lumidex-internal:rowid=7", "Meeting notes", "Archive", dateFromSecondsSince1970(10), {}, 1}};
    const SearchEngine withMail(registry.function(), mail);

    SearchRunOptions options;
    EXPECT_EQ(runSearch(withMail, query("meeting"), options).hits.size(), 1u);
    EXPECT_EQ(mail->calls.load(), 0);

    options.includeMail = true;
    const SearchOutcome outcome = runSearch(withMail, query("meeting"), options);
    ASSERT_EQ(outcome.hits.size(), 3u);
    const NanItem& first = outcome.hits[0].item;  // newest first across files and mail
    EXPECT_EQ(first.type, NanItemTypes::emailMessage);
    EXPECT_EQ(first.urlString, "mail:ABC-1");
    EXPECT_EQ(first.fileName, "(no subject)");
    EXPECT_EQ(first.mailbox, std::optional<std::string>("INBOX"));
    EXPECT_EQ(first.rootFolderUrl, "###appleMailSourceIdentifier###");
    EXPECT_EQ(outcome.hits[0].snippet, std::optional<std::string>("the meeting"));
    EXPECT_EQ(outcome.hits[2].item.urlString, "mail:lumidex-internal:rowid=7");
    EXPECT_NE(first.combinedHash, outcome.hits[2].item.combinedHash);

    EXPECT_EQ(runSearch(engine, query("meeting"), options).hits.size(), 1u) << "no source: no mail";
}

TEST_F(TwoFolders, CancelledSearchReturnsNothing) {
    office->add({"a.txt", "walrus", 1000});
    CancellationToken token;
    token.cancel();
    const SearchOutcome outcome = engine.run(query("walrus"), {}, token);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_TRUE(outcome.hits.empty());
}

TEST_F(TwoFolders, OtherScriptsAreFoundCaseInsensitively) {
    office->add({"ru.txt", "Привет мир", 1000});
    office->add({"de.txt", "Grüße aus Köln", 1000});
    office->add({"ja.txt", "東京 の 会議室", 1000});
    EXPECT_EQ(names(runSearch(engine, query("ПРИВЕТ"))), (std::vector<std::string>{"ru.txt"}));
    EXPECT_EQ(names(runSearch(engine, query("grüsse koeln"))), (std::vector<std::string>{"de.txt"}));
    EXPECT_EQ(names(runSearch(engine, query("会議室"))), (std::vector<std::string>{"ja.txt"}));
}

TEST_F(TwoFolders, IgnoredCharactersLeaveTheRestOfTheQuery) {
    office->add({"a.txt", "invoice from the plumber", 1000});
    const SearchOutcome glued = runSearch(engine, query("invoice🙂"));
    EXPECT_TRUE(glued.ignoredCharacters);
    EXPECT_EQ(names(glued), (std::vector<std::string>{"a.txt"}));
    EXPECT_EQ(names(runSearch(engine, query("🎉 plumber ✔️"))), (std::vector<std::string>{"a.txt"}));
    const SearchOutcome only = runSearch(engine, query("🙂🙂🙂"));
    EXPECT_TRUE(only.ignoredCharacters);
    EXPECT_TRUE(only.hits.empty());
}

// Any text a user can type gives results or nothing: never an exception, never a stuck search.
TEST_F(TwoFolders, AnySearchTextGivesResultsOrNothing) {
    office->add({"a.txt", "Rechnung (Kopie) für \"Müller\" - 100% erledigt", 1000});
    home->add({"b.txt", "plain words only", 1000});

    std::vector<std::string> texts = {
        "\"rechnung",           "rechnung \"mai",         "'single",        "«unclosed",    "„half",
        "-rechnung",            "-rechnung -plain",       "--",             "-",            "\"\"",
        "🙂🙂🙂",               "👩‍👩‍👧 ❤️",                "***",            "(((",          ")",
        "rech* OR plain",       "NEAR/3 plain",           "col:umn",        "^start",       "a:b:c",
        "100%",                 "%_%",                    "\\",             "'; DROP TABLE ftsVirtualTable; --",
        "\x80\xFF invalid",     std::string("nul\0byte", 8), "\t\n\r",      "Ωμέγα",        "مرحبا بالعالم",
        "שלום",                 "नमस्ते",                  "ＲＥＣＨＮＵＮＧ",  "e\xCC\x81te",
    };
    texts.push_back(std::string(10000, 'a'));
    texts.push_back(std::string(10000, '"'));
    std::string manyWords;
    while (manyWords.size() < 10000) manyWords += "rechnung ";
    texts.push_back(manyWords);
    std::string mixed;
    for (int i = 0; mixed.size() < 10000; ++i) mixed += (i % 3 == 0 ? "\"ab " : i % 3 == 1 ? "-xyz🙂 " : "(mü) ");
    texts.push_back(mixed);
    std::string cyrillic;
    while (cyrillic.size() < 10000) cyrillic += "Привет";
    texts.push_back(cyrillic);

    for (const std::string& text : texts) {
        for (SortOrders order : {SortOrders::new2Old, SortOrders::relevance}) {
            SearchParameters p = query(text, order);
            SearchOutcome outcome;
            ASSERT_NO_THROW(outcome = runSearch(engine, p)) << text.substr(0, 40);
            EXPECT_FALSE(outcome.cancelled);
            p.searchWithQuotes = true;
            ASSERT_NO_THROW(outcome = runSearch(engine, p)) << text.substr(0, 40);
        }
    }
    EXPECT_EQ(runSearch(engine, query("\"rechnung")).hits.size(), 1u) << "an unclosed quote's words are plain words";
    EXPECT_EQ(runSearch(engine, query("rechnung \"mai")).hits.size(), 0u);
    EXPECT_TRUE(runSearch(engine, query("'''")).hits.empty());
    EXPECT_EQ(runSearch(engine, query("-rechnung")).hits.size(), 0u) << "exclusions alone start no query";
}

}  // namespace
}  // namespace lumidex::search
