#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "storage/fts_balancer.h"
#include "storage/fts_tools.h"
#include "platform/sqlite.h"
#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

FtsDocument document(uint32_t hash, std::string name, std::string text, double modified = 1000) {
    FtsDocument d;
    d.combinedHash = hash;
    d.fileName = name;
    d.urlPath = "/Users/anna/Docs/" + name;
    d.foldedText = FtsTools::fold(text);
    d.creationDate = dateFromSecondsSince1970(modified - 10);
    d.modificationDate = dateFromSecondsSince1970(modified);
    d.contentCreated = dateFromSecondsSince1970(modified - 5);
    return d;
}

SearchParameters query(std::string text) {
    SearchParameters p;
    p.searchText = std::move(text);
    return p;
}

TEST(FtsStore, FindsFoldedWordsPathWordsAndCountsMatches) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    ASSERT_TRUE(fts.write(document(41, "brief.pdf", "Herr Müller zahlt die Rechnung. Müller dankt.", 2000)));
    ASSERT_TRUE(fts.write(document(4, "notiz.txt", "Frau Muller ohne Umlaut", 1000)));

    auto hits = fts.search(query("Müller"), 100, true, true);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].combinedHash, 41u);
    EXPECT_EQ(hits[0].matchCount, 2);
    ASSERT_TRUE(hits[0].snippet);
    EXPECT_NE(hits[0].snippet->find("mueller"), std::string::npos);

    EXPECT_EQ(fts.search(query("Mueller"), 100, false, false).size(), 1u);
    EXPECT_EQ(fts.search(query("notiz"), 100, false, false).size(), 1u);  // file name words are content
    EXPECT_EQ(fts.search(query("\"zahlt die\""), 100, false, false).size(), 1u);
    EXPECT_EQ(fts.search(query("rechnung -dankt"), 100, false, false).size(), 0u);
}

// Words beside punctuation, apostrophes and detached accents, as PDF text carries them, are found by
// what a reader types.
TEST(FtsStore, FindsWordsBesidePunctuationApostrophesAndDetachedAccents) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    ASSERT_TRUE(fts.write(document(
        7, "brief.pdf",
        "Mindestla\xCC\x88nge B\xC2\xA8uro Ku\xC2\xA8" "che; l'aubergine O\xE2\x80\x99" "Brien don\xCA\xBC" "t "
        "l\xE2\x80\x99\xC3\xA9t\xC3\xA9 «mot» \xE2\x80\x98" "consolidation\xE2\x80\x99 word\xE2\x80\x94" "dash "
        "\xE2\x9F\xA8" "name\xE2\x9F\xA9 net\xC2\xA0" "price")));
    ASSERT_TRUE(fts.write(document(8, "other.pdf", "Mindestlange Buro Kuche aubergine")));

    for (const char* text : {"Mindestlänge", "Büro", "Küche", "aubergine l'aubergine", "laubergine", "obrien", "o'brien",
                             "O\xE2\x80\x99" "Brien", "don't", "dont", "été", "l'été", "mot", "consolidation", "dash",
                             "name", "price", "\"o'brien don't\"", "\"l'aubergine o’brien\"", "\"word dash\"",
                             "\"net price"}) {
        const auto hits = fts.search(query(text), 10, true, true);
        ASSERT_EQ(hits.size(), 1u) << text;
        EXPECT_EQ(hits[0].combinedHash, 7u) << text;
    }
    // The split and joined forms of one word count as one match of a word.
    EXPECT_EQ(fts.search(query("aubergine -mindestlange"), 10, false, true).at(0).matchCount, 1);
    EXPECT_TRUE(fts.search(query("'''"), 10, true, true).empty());
}

std::string repeated(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Long documents in any script are stored with their text; a word of a script written without spaces is
// found where its characters stand side by side, and only there.
TEST(FtsStore, FindsWordsOfEveryScriptInsideLongTexts) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    const std::string arabic = repeated("هذا الدليل يشرح استخدام البرنامج. ", 200);
    ASSERT_TRUE(fts.write(document(1, "manual.txt", arabic + "المكتبة الوطنية " + arabic)));
    const std::string armenian = repeated("Այս տեքստը գրված է հայերեն լեզվով։ ", 100);
    ASSERT_TRUE(fts.write(document(2, "hy.txt", armenian + "ՀԱՅԱՍՏԱՆ " + armenian)));
    const std::string greek = repeated("Το κείμενο είναι γραμμένο στα ελληνικά. ", 60);
    ASSERT_TRUE(fts.write(document(3, "el.txt", greek + "ΑΘΗΝΑ и МОСКВА " + repeated("Текст на русском языке. ", 60))));
    const std::string filler = repeated("的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工也能下过子说产种面而方后多定行学法所民得经十三之进着等部度家电力里如水化高自二理起小物现实加量都两体制机当使点从业本去把性好应开它合还因由其些然前外天政四日那社义事平形相全表间样与关各重新线内数正心反你明看原又么利比或但质气第向道命此变条只没结解问意建月公无系军很情者最立代想已通并提直题党程展五果料象员革位入常文总次品式活设及管特件长求老头基资边流路级少图山统接知较将组见计别她手角期根论运农指几九区强放决西被干做必战先回则任取据处队南给色光门即保治北造百规热领七海口东导器压志世金增争济阶油思术极交受联什认六共权收证改清己美再采转更单风切打白教速花带安场身车例真务具万每目至达走积示议声报斗完类八离华名确才科张信马节话米整空元况今集温传土许步群广石记需段研界拉林律叫且究观越织装影算低持音众书布复容儿须际商非验连断深难近矿千周委素技备半办青省列习响约支般史感劳便团往酸历市克何除消构府称太准精值号率族维划选标写存候毛亲快效斯院查江型眼王按格养易置派层片始却专状育厂京识适属圆包火住调满县局照参红细引听该铁价严", 1);
    std::string apart;  // 东 and 京 both occur, never side by side
    while (apart.size() < 3 * 3000) apart += filler;
    ASSERT_TRUE(fts.write(document(4, "zh-apart.tex", apart)));
    ASSERT_TRUE(fts.write(document(5, "zh.tex", apart.substr(0, 3 * 1500) + "东京" + apart.substr(3 * 1500))));
    const std::string japanese = repeated("この文書は日本語で書かれています。", 100);
    ASSERT_TRUE(fts.write(document(6, "ja.txt", japanese + "コンピュータ" + japanese)));

    const std::vector<std::pair<std::string, uint32_t>> found = {
        {"المكتبة", 1}, {"հայաստան", 2}, {"Հայաստան", 2}, {"լեզվով", 2}, {"αθηνα", 3}, {"Αθήνα", 3}, {"москва", 3}, {"Москва", 3},
        {"东京", 5}, {"\"东京\"", 5}, {"コンピュータ", 6}, {"書かれて", 6}};
    for (const auto& [text, hash] : found) {
        const auto hits = fts.search(query(text), 10, true, true);
        ASSERT_EQ(hits.size(), 1u) << text;
        EXPECT_EQ(hits[0].combinedHash, hash) << text;
    }
    EXPECT_EQ(fts.search(query("京东"), 10, false, false).size(), 0u);
    EXPECT_EQ(fts.search(query("这中"), 10, false, false).size(), 2u);
    EXPECT_EQ(fts.search(query("东京 -京东"), 10, false, false).size(), 1u);
}

TEST(FtsStore, WriteReplacesAndDeleteRemovesOnlyThatDocument) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    fts.write(document(20, "a.txt", "alpha"));
    fts.write(document(40, "b.txt", "alpha"));  // same shard as 20
    fts.write(document(20, "a.txt", "beta"));
    EXPECT_EQ(fts.store(0)->rowCount(), 2);
    EXPECT_EQ(fts.search(query("alpha"), 10, false, false).size(), 1u);
    fts.remove(40);
    EXPECT_EQ(fts.search(query("alpha"), 10, false, false).size(), 0u);
    EXPECT_EQ(fts.search(query("beta"), 10, false, false).size(), 1u);
}

// Segments per level of shard 0's index, read beside the store.
std::map<int64_t, int> segmentsPerLevel(const std::filesystem::path& folderDataDirectory) {
    std::string error;
    auto db = platform::SqliteDatabase::openExisting(shardPath(folderDataDirectory, StoreKind::fullText, 0), error);
    std::map<int64_t, int> levels;
    auto rows = db ? db->prepare("SELECT level FROM ftsVirtualTable_segdir", error) : nullptr;
    while (rows && rows->step() == platform::SqliteStatement::Step::row) ++levels[rows->int64At(0)];
    return levels;
}

// Documents written one by one leave a segment each; after compaction no level holds two, and every
// search finds what it found before, also after a later write and deletion.
TEST(FtsStore, CompactionLeavesOneSegmentPerLevelAndTheSameHits) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    for (uint32_t k = 1; k <= 40; ++k) {
        ASSERT_TRUE(fts.write(document(20 * k, "d" + std::to_string(k) + ".txt",
                                       k % 3 == 0 ? "Rechnung Nummer " + std::to_string(k) : "Brief " + std::to_string(k))));
    }
    const auto hashesOf = [&](const std::string& text) {
        std::vector<uint32_t> hashes;
        for (const FtsSearchResult& r : fts.search(query(text), -1, false, true)) hashes.push_back(r.combinedHash);
        std::sort(hashes.begin(), hashes.end());
        return hashes;
    };
    const auto before = hashesOf("rechnung"), briefe = hashesOf("brie");
    const auto most = [](const std::map<int64_t, int>& levels) {
        int n = 0;
        for (const auto& [level, count] : levels) n = std::max(n, count);
        return n;
    };
    ASSERT_GT(most(segmentsPerLevel(dir.path())), 1);
    EXPECT_TRUE(fts.compactSegments());
    EXPECT_EQ(most(segmentsPerLevel(dir.path())), 1);
    EXPECT_EQ(hashesOf("rechnung"), before);
    EXPECT_EQ(hashesOf("brie"), briefe);
    EXPECT_EQ(before.size(), 13u);

    ASSERT_TRUE(fts.remove(20 * 3));
    ASSERT_TRUE(fts.write(document(20 * 41, "neu.txt", "Rechnung neu")));
    EXPECT_TRUE(fts.compactSegments());
    EXPECT_EQ(most(segmentsPerLevel(dir.path())), 1);
    auto after = before;
    std::erase(after, 20u * 3);
    after.push_back(20 * 41);
    EXPECT_EQ(hashesOf("rechnung"), after);
    // A stop asked for before the first step leaves the store as it is and says so.
    ASSERT_TRUE(fts.write(document(20 * 42, "x.txt", "x")));
    EXPECT_FALSE(fts.compactSegments([] { return true; }));
}

TEST(FtsStore, SortsLimitsAndRestrictsToASubFolder) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    FtsDocument inside = document(3, "b.txt", "steuer", 3000);
    inside.urlPath = "/Users/anna/Docs/Steuer/b.txt";
    fts.write(inside);
    FtsDocument sibling = document(23, "a.txt", "steuer", 1000);
    sibling.urlPath = "/Users/anna/Docs/Steuer2023/a.txt";
    fts.write(sibling);

    SearchParameters p = query("steuer");
    p.sortOrder = SortOrders::old2New;
    auto hits = fts.store(3)->search(p, 10, false, false);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].combinedHash, 23u);
    EXPECT_EQ(fts.store(3)->search(p, 1, false, false).size(), 1u);

    p.searchInsideUrl = "/Users/anna/Docs/Steuer";
    hits = fts.search(p, 10, false, false);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].combinedHash, 3u);
}

// Snippets and match counts are read in batches of row ids; a shard with more hits than one batch
// must give every row its snippet, not only the first batch's.
TEST(FtsStore, EveryHitOfALargeShardGetsItsSnippetAndCount) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    constexpr uint32_t rows = 4200;  // above one batch, all in shard 3
    std::vector<FtsDocument> documents;
    for (uint32_t i = 0; i < rows; ++i) {
        documents.push_back(document(3 + 20 * i, "d" + std::to_string(i) + ".txt", "quartal quartal bericht " + std::to_string(i)));
    }
    ASSERT_TRUE(fts.write(documents));
    const auto hits = fts.search(query("quartal"), rows + 10, true, true);
    ASSERT_EQ(hits.size(), rows);
    for (const auto& hit : hits) {
        ASSERT_TRUE(hit.snippet) << hit.combinedHash;
        const std::string number = " " + std::to_string((hit.combinedHash - 3) / 20);
        EXPECT_NE(hit.snippet->find("quartal"), std::string::npos) << hit.combinedHash;
        EXPECT_NE(hit.snippet->find(number), std::string::npos) << "snippet of another row: " << *hit.snippet;
        EXPECT_EQ(hit.matchCount, 2) << hit.combinedHash;
    }
}

TEST(FtsStore, AnySearchTextIsSafe) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    fts.write(document(1, "x.txt", "harmless text"));
    const std::vector<std::string> texts = {"\"open quote", "'; DROP TABLE ftsVirtualTable; --", "(((", "NEAR/3 OR AND",
                                   "😀😀😀", "*", "-", "content:harmless", std::string(10000, 'a'),
                                   std::string("ab\xFF\xFE")};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_NO_THROW(fts.search(query(text), 10, true, true));
    }
    EXPECT_EQ(fts.search(query("harmless"), 10, false, false).size(), 1u);
}

TEST(FtsStore, ConcurrentFirstUsesOpenTheShardOnce) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    std::vector<std::shared_ptr<FtsSqlite>> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = fts.store(7); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "balanced_db_fts_v9" / "7.sqlite"));
}

TEST(FtsStore, CorruptShardAnswersEmptyAndLeavesTheOthersAlone) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "balanced_db_fts_v9" / "5.sqlite", std::string(8192, 'x'));
    SqliteFtsDatabaseBalancer fts(dir.path());
    fts.write(document(5, "lost.txt", "findme"));
    fts.write(document(6, "kept.txt", "findme"));
    auto hits = fts.search(query("findme"), 10, false, false);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].combinedHash, 6u);
    EXPECT_EQ(testing::readFile(dir.path() / "balanced_db_fts_v9" / "5.sqlite"), std::string(8192, 'x'));
}

TEST(FtsStore, MatchesWithoutRowsAreTheSearchesHitsAndCountsOrNothingWhenRowsAreNeeded) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    for (uint32_t hash = 1; hash <= 45; ++hash) {
        const std::string text = hash % 3 == 0 ? "invoice invoice paid" : hash % 3 == 1 ? "invoice open" : "receipt";
        ASSERT_TRUE(fts.write(document(hash, "doc" + std::to_string(hash) + ".txt", text, 1000 + hash)));
    }
    std::vector<FtsMatch> expected;
    for (const FtsSearchResult& row : fts.search(query("invoice"), -1, false, true)) {
        expected.push_back({row.combinedHash, row.matchCount});
    }
    ASSERT_EQ(expected.size(), 30u);
    const auto byHash = [](const FtsMatch& a, const FtsMatch& b) { return a.combinedHash < b.combinedHash; };
    std::sort(expected.begin(), expected.end(), byHash);
    for (ShardUse use : {ShardUse::lasting, ShardUse::oneCommand}) {
        SqliteFtsDatabaseBalancer reader(dir.path(), StoreKind::fullText, use);
        auto found = reader.matches(query("invoice"), true);
        ASSERT_TRUE(found);
        std::sort(found->begin(), found->end(), byHash);
        EXPECT_EQ(*found, expected);
        reader.closeStores();
    }

    SearchParameters dated = query("invoice");
    dated.startDate = dateFromSecondsSince1970(0);
    dated.endDate = dateFromSecondsSince1970(5000);
    SearchParameters inside = query("invoice");
    inside.searchInsideUrl = "/Users/anna/Docs";
    for (const SearchParameters& p : {dated, inside, query("invoice -paid")}) {
        EXPECT_FALSE(fts.matches(p, true)) << p.searchText;
    }
    EXPECT_TRUE(fts.matches(query("nothing"), true)->empty());
}

// Whether a connection of its own could read the shard right now, without waiting.
bool readableWithoutWaiting(const std::filesystem::path& shard) {
    std::string error;
    auto db = platform::SqliteDatabase::open(shard, error);
    return db && db->exec("SELECT count(*) FROM sqlite_master", error);
}

TEST(FtsStore, OneCommandStoresHoldAFreeShardAloneUntilClosedAndShareABusyOne) {
    testing::TempDir dir;
    const auto shard = shardPath(dir.path(), StoreKind::fullText, 5);
    {
        SqliteFtsDatabaseBalancer writer(dir.path());
        ASSERT_TRUE(writer.write(document(5, "a.txt", "findme")));
        ASSERT_TRUE(writer.write(document(25, "b.txt", "findme too")));
    }
    SqliteFtsDatabaseBalancer oneCommand(dir.path(), StoreKind::fullText, ShardUse::oneCommand);
    EXPECT_EQ(oneCommand.search(query("findme"), 10, true, true).size(), 2u);
    EXPECT_FALSE(readableWithoutWaiting(shard));
    EXPECT_FALSE(std::filesystem::exists(shardPath(dir.path(), StoreKind::fullText, 6)));  // nothing created

    // A writer that comes meanwhile waits for the command, and writes once it lets go.
    std::atomic<bool> written{false};
    std::thread later([&] {
        SqliteFtsDatabaseBalancer writer(dir.path());
        written = writer.write(document(45, "c.txt", "findme again"));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    oneCommand.closeStores();
    later.join();
    EXPECT_TRUE(written);
    EXPECT_TRUE(readableWithoutWaiting(shard));

    // With a lasting connection open, a command shares the shard and sees its latest rows.
    SqliteFtsDatabaseBalancer lasting(dir.path());
    ASSERT_TRUE(lasting.write(document(65, "d.txt", "findme last")));
    EXPECT_EQ(oneCommand.search(query("findme"), 10, false, true).size(), 4u);
    EXPECT_TRUE(readableWithoutWaiting(shard));
}

TEST(FtsStore, OriginalTextComesAndGoesWithItsRow) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    const auto original = [&fts](uint32_t hash) {
        auto texts = fts.storeFor(hash)->originalTexts({hash});
        if (texts.empty()) return std::string("<none>");
        const std::string text(texts[0].second.prefix(texts[0].second.size()));
        return texts[0].second.damaged() ? std::string("<damaged>") : text;
    };
    FtsDocument a = document(20, "a.txt", "Müller Äpfel");
    a.originalText = "Müller Äpfel";
    FtsDocument b = document(40, "b.txt", "Birnen");  // same shard
    b.originalText = "Birnen";
    std::string large;
    for (int i = 0; large.size() < 300000; ++i) large += "Zeile " + std::to_string(i) + ": Grüße aus Köln\n";
    FtsDocument c = document(60, "c.txt", large);
    c.originalText = large;
    ASSERT_TRUE(fts.write(std::vector<FtsDocument>{a, b, c}));
    EXPECT_EQ(original(20), "Müller Äpfel");
    EXPECT_EQ(original(60), large);

    // A rewrite that only adds recognised words keeps it; a new version replaces it; none removes it.
    ASSERT_TRUE(fts.write(document(20, "a.txt", "Müller Äpfel Kisten")));
    EXPECT_EQ(original(20), "Müller Äpfel");
    a.originalText = "Müller Äpfel und Birnen";
    ASSERT_TRUE(fts.write(a));
    EXPECT_EQ(original(20), "Müller Äpfel und Birnen");
    c.originalText = "";
    ASSERT_TRUE(fts.write(c));
    EXPECT_EQ(original(60), "<none>");
    ASSERT_TRUE(fts.remove(20));
    EXPECT_EQ(original(20), "<none>");
    EXPECT_EQ(original(40), "Birnen");

    // A write whose original text cannot be stored fails whole: no row without its text.
    std::string error;
    auto raw = platform::SqliteDatabase::open(shardPath(dir.path(), StoreKind::fullText, 0), error);
    ASSERT_TRUE(raw) << error;
    ASSERT_TRUE(raw->exec("CREATE TRIGGER refuse BEFORE INSERT ON originalTextTable BEGIN SELECT RAISE(ABORT, 'disk "
                          "full'); END",
                          error))
        << error;
    FtsDocument d = document(80, "d.txt", "Kirschen");
    d.originalText = "Kirschen";
    EXPECT_FALSE(fts.write(d));
    EXPECT_TRUE(fts.search(query("kirschen"), 10, false, false).empty());
    // A text whose stored size does not fit it, or that is impossible, is reported damaged.
    ASSERT_TRUE(raw->exec("UPDATE originalTextTable SET textSize = textSize + 1 WHERE combinedHash = 40", error));
    EXPECT_EQ(original(40), "<damaged>");
    ASSERT_TRUE(raw->exec("UPDATE originalTextTable SET textSize = textSize - 2 WHERE combinedHash = 40", error));
    EXPECT_EQ(original(40), "<damaged>");
    ASSERT_TRUE(raw->exec("UPDATE originalTextTable SET textSize = -1 WHERE combinedHash = 40", error));
    EXPECT_EQ(original(40), "<none>");

    // A shard written before the table existed: a one-command search finds its rows, with no originals.
    ASSERT_TRUE(raw->exec("DROP TABLE originalTextTable", error)) << error;
    raw.reset();
    fts.closeStores();
    FtsSqlite oneCommand(dir.path(), StoreKind::fullText, 0, ShardUse::oneCommand);
    EXPECT_EQ(oneCommand.search(query("birnen"), 10, false, false).size(), 1u);
    EXPECT_TRUE(oneCommand.originalTexts({40}).empty());
}

TEST(FtsStore, RefoldRewritesOnlyRowsThatChange) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir.path());
    FtsDocument raw = document(2, "x.txt", "");
    raw.foldedText = "Straße";  // written before folding existed
    fts.write(raw);
    fts.write(document(22, "y.txt", "already folded"));
    EXPECT_EQ(fts.refoldContent(), 1);
    EXPECT_EQ(fts.refoldContent(), 0);
    EXPECT_EQ(fts.search(query("strasse"), 10, false, false).size(), 1u);
}

TEST(NumbersStore, LivesInItsOwnFiles) {
    testing::TempDir dir;
    SqliteNumbersDatabaseBalancer numbers(dir.path());
    numbers.write(document(9, "r.pdf", "4711 2023"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "balanced_db_numbers_v9" / "9.sqlite"));
    EXPECT_EQ(numbers.search(query("4711"), 10, false, false).size(), 1u);
}

}  // namespace
}  // namespace lumidex::storage

#include "core/settings/settings.h"
#include "storage/ocr_rects_balancer.h"
#include "storage/search_index_migration.h"

namespace lumidex::storage {
namespace {

TEST(SearchIndexMigration, RefoldsOnceAndRecordsTheVersion) {
    testing::TempDir dir;
    SettingsStore store(dir / "settings.json");
    SqliteFtsDatabaseBalancer fts(dir / "data");
    SqliteOcrRectsDatabaseBalancer rects(dir / "data");
    FtsDocument raw = document(2, "x.txt", "");
    raw.foldedText = "Größe";
    fts.write(raw);
    FtsDocument ligature = document(3, "y.txt", "");
    ligature.foldedText = "\xEF\xAC\x81nanz";  // "finanz" with the fi ligature, as version 1 stored it
    fts.write(ligature);
    // As versions 1 and 2 stored typographic apostrophes, guillemets and a detached diaeresis.
    FtsDocument punctuation = document(4, "z.txt", "");
    punctuation.foldedText = "l\xE2\x80\x99" "extension «mot» mindestla\xC2\xA8nge";
    fts.write(punctuation);
    // As version 3 stored a short Chinese text (one token), and a long one (nothing).
    FtsDocument chinese = document(5, "short.txt", "");
    chinese.foldedText = "东京大学";
    fts.write(chinese);
    fts.write(document(6, "\xD5\xA5\xD6\x80\xD5\xA5\xD6\x82\xD5\xA1\xD5\xB6 Guide.pdf", ""));
    store.setInt("searchIndexFoldingVersion_/root", 1);

    // Until the documents stored without text are marked to be read again, the version stays.
    std::vector<uint32_t> readAgain;
    auto counts = migrateSearchIndexFolding(Settings(store), "/root", fts, rects, [](const auto&) { return false; });
    EXPECT_EQ(store.getInt("searchIndexFoldingVersion_/root"), 1);
    counts = migrateSearchIndexFolding(Settings(store), "/root", fts, rects, [&](const std::vector<uint32_t>& hashes) {
        readAgain = hashes;
        return true;
    });
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->fullTextRows, 0);  // refolded by the first call already
    EXPECT_EQ(counts->ocrLines, 0);
    EXPECT_EQ(readAgain, (std::vector<uint32_t>{6}));
    EXPECT_EQ(store.getInt("searchIndexFoldingVersion_/root"), currentFoldingVersion);
    EXPECT_FALSE(migrateSearchIndexFolding(Settings(store), "/root", fts, rects));
    EXPECT_EQ(fts.search(query("东京"), 10, false, false).size(), 1u);
    EXPECT_EQ(fts.search(query("groesse"), 10, false, false).size(), 1u);
    EXPECT_EQ(fts.search(query("finanz"), 10, false, false).size(), 1u);
    for (const char* word : {"extension", "l'extension", "mot", "Mindestlänge"}) {
        EXPECT_EQ(fts.search(query(word), 10, false, false).size(), 1u) << word;
    }
}

}  // namespace
}  // namespace lumidex::storage
