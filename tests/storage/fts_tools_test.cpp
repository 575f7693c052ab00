#include "storage/fts_tools.h"

#include <gtest/gtest.h>

#include <cstring>

namespace lumidex::storage {
namespace {

TEST(FtsFolding, GermanAndLatinLettersFoldAsUsersExpect) {
    EXPECT_EQ(FtsTools::fold("Straße"), "strasse");
    EXPECT_EQ(FtsTools::fold("Æther"), "aether");
    EXPECT_EQ(FtsTools::fold("MÜLLER Größe Öl"), "mueller groesse oel");
    EXPECT_EQ(FtsTools::fold("Œuvre Ørsted Łódź þorn ħ ı"), "oeuvre orsted lodz thorn h i");
    EXPECT_EQ(FtsTools::fold("Café Crème naïve"), "cafe creme naive");
    // A decomposed umlaut is not an umlaut letter: it loses its mark instead of becoming "ae".
    EXPECT_EQ(FtsTools::fold("Ba\xCC\x88r"), "bar");
    EXPECT_EQ(FtsTools::fold("Bär"), "baer");
    EXPECT_EQ(FtsTools::fold("ﬁnanz ﬂach Koﬀer eﬃzient ﬆil"),
              "finanz flach koffer effizient stil");
}

TEST(FtsFolding, PunctuationRules) {
    EXPECT_EQ(FtsTools::fold("\"Quote\" it's `x` \xC2\xB4" "a \xE2\x80\x9E" "b\xE2\x80\x9C \xE2\x80\x9D" "c"), "quote its x a b c");
    EXPECT_EQ(FtsTools::fold("1,5;2"), "1.5.2");
    EXPECT_EQ(FtsTools::fold("5€ $3 £2 ¥1"), "5   3  2  1");
}

TEST(FtsFolding, FastPathMatchesTheLibraryOnMixedScripts) {
    // Greek, Cyrillic, Turkish dotted I and combining marks go through the library.
    EXPECT_EQ(FtsTools::fold("ΑΘΗΝΑ Москва İstanbul"), "αθηνα москва istanbul");
    EXPECT_EQ(FtsTools::fold("e\xCC\x81t\xC3\xA9"), "ete");
    EXPECT_EQ(FtsTools::fold("ẞ"), "ss");
}

TEST(FtsFolding, InvalidUtf8NeverThrows) {
    const std::string bad = std::string("ab\xFF\xC3") + "c\xE2\x82";
    const std::string folded = FtsTools::fold(bad);
    EXPECT_EQ(folded.substr(0, 2), "ab");
    EXPECT_NE(folded.find("\xEF\xBF\xBD"), std::string::npos);
}

TEST(FtsFolding, LongMostlyNonAsciiTextIsDropped) {
    std::string cjk;
    for (int i = 0; i < 1001; ++i) cjk += "\xE4\xB8\xAD";  // 中
    EXPECT_EQ(FtsTools::fold(cjk), "");
    EXPECT_NE(FtsTools::fold(cjk.substr(0, 3 * 1000)), "");  // 1000 characters: still indexed
    // Mostly ASCII with umlauts stays.
    std::string german;
    for (int i = 0; i < 300; ++i) german += "Bär und Öl sind gut ";
    EXPECT_FALSE(FtsTools::fold(german).empty());
    // CR LF counts as one character on both sides of the comparison.
    std::string lines;
    for (int i = 0; i < 600; ++i) lines += "\xE4\xB8\xAD\r\n";
    EXPECT_EQ(FtsTools::fold(lines), "");
}

TEST(FtsSearchText, SplitsPhrasesExclusionsAndWords) {
    const SplitSearchText s = FtsTools::splitSearchText(
        "invoice \"Rechnung Mai\" -old -old „Zitat hier“ «fr» 'single' “curly” -new \"open");
    EXPECT_EQ(s.phrases, (std::vector<std::string>{"Rechnung Mai", "Zitat hier", "fr", "single", "curly"}));
    EXPECT_EQ(s.excludedWords, (std::vector<std::string>{"old", "new"}));
    EXPECT_EQ(s.includedWords, (std::vector<std::string>{"invoice"}));

    EXPECT_TRUE(FtsTools::splitSearchText("\"\" ''").phrases.empty());
    EXPECT_EQ(FtsTools::splitSearchText("„a b”").phrases, (std::vector<std::string>{"a b"}));
}

TEST(FtsSearchText, MatchExpressionFollowsTheRules) {
    FtsQuery q = FtsTools::buildQuery(FtsTools::splitSearchText("-old invoice"), 3);
    EXPECT_EQ(q.matchExpression, "invoice*");
    EXPECT_EQ(q.notLikePatterns, (std::vector<std::string>{"%old%"}));

    q = FtsTools::buildQuery(FtsTools::splitSearchText("\"Rechnung Mai\" Müller"), 3);
    EXPECT_EQ(q.matchExpression, "\"rechnung mai*\" mueller*");

    // Too short: a phrase and a word under the minimum vanish entirely.
    q = FtsTools::buildQuery(FtsTools::splitSearchText("\"ab\" xy -zz"), 3);
    EXPECT_EQ(q.matchExpression, "");
    EXPECT_TRUE(q.notLikePatterns.empty());

    q = FtsTools::buildQuery(FtsTools::splitSearchText("\"e-mail adresse\""), 3);
    EXPECT_EQ(q.matchExpression, "\"e mail adresse*\"");
}

TEST(FtsSearchText, HostileTextStillBuildsAValidExpression) {
    FtsQuery q = FtsTools::buildQuery(FtsTools::splitSearchText("urlPath:secret (a OR b) ^start *** ..."), 1);
    EXPECT_EQ(q.matchExpression, "\"urlpath secret*\" a* or* b* start*");
    q = FtsTools::buildQuery(FtsTools::splitSearchText("€€€ 😀😀"), 1);
    EXPECT_EQ(q.matchExpression, "😀😀*");
}

SearchParameters parameters(std::string text) {
    SearchParameters p;
    p.searchText = std::move(text);
    return p;
}

TEST(FtsSelect, AssemblesTheStatementInOrder) {
    SearchParameters p = parameters("-old invoice");
    p.sortOrder = SortOrders::relevance;
    auto s = FtsTools::buildSelect(p, 250, true, true);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->sql,
              "SELECT combinedHash, urlPath, fileName, creationDate, modificationDate, contentCreated, "
              "snippet(ftsVirtualTable, '', '', '...', 0, 80), matchinfo(ftsVirtualTable, 'x') FROM ftsVirtualTable "
              "WHERE content MATCH ? AND content NOT LIKE ? ORDER BY modificationDate DESC, fileName ASC LIMIT 250");
    EXPECT_EQ(s->textBindings, (std::vector<std::string>{"invoice*", "%old%"}));

    p.sortOrder = SortOrders::a2z;
    EXPECT_NE(FtsTools::buildSelect(p, 25, false, false)->sql.find(", NULL, NULL FROM"), std::string::npos);
    EXPECT_NE(FtsTools::buildSelect(p, 25, false, false)->sql.find(" ORDER BY fileName ASC LIMIT 25"), std::string::npos);
}

TEST(FtsSelect, NothingToMatchTouchesNothing) {
    EXPECT_FALSE(FtsTools::buildSelect(parameters("-only -exclusions"), 10, true, true));
    EXPECT_FALSE(FtsTools::buildSelect(parameters(""), 10, true, true));
    SearchParameters p = parameters("");
    p.startDate = dateFromSecondsSince1970(100);
    EXPECT_FALSE(FtsTools::buildSelect(p, 10, true, true));  // half a date range
}

TEST(FtsSelect, DateConditionStaysInsideItsParentheses) {
    SearchParameters p = parameters("invoice");
    p.startDate = dateFromSecondsSince1970(100);
    p.endDate = dateFromSecondsSince1970(200.5);
    p.dateSearchParameter.rawValue = DateSearchParameters::created | DateSearchParameters::contentCreated;
    auto s = FtsTools::buildSelect(p, 10, false, false);
    EXPECT_NE(s->sql.find("WHERE content MATCH ? AND ((creationDate >= 100.0 AND creationDate <= 200.5) OR "
                          "(contentCreated >= 100.0 AND contentCreated <= 200.5))"),
              std::string::npos)
        << s->sql;
    p.dateSearchParameter.rawValue = 0;
    s = FtsTools::buildSelect(p, 10, false, false);
    EXPECT_NE(s->sql.find("modificationDate >= 100.0"), std::string::npos);
    EXPECT_NE(s->sql.find("creationDate >= 100.0"), std::string::npos);
}

TEST(FtsMatchInfo, SumsColumnZeroOfEveryPhrase) {
    uint32_t blob[42] = {};
    blob[0] = 3;
    blob[1] = 99;  // hits in all rows: ignored
    blob[21] = 4;
    EXPECT_EQ(FtsTools::matchCount(reinterpret_cast<unsigned char*>(blob), sizeof blob), 7);
    std::memset(blob, 0, sizeof blob);
    EXPECT_EQ(FtsTools::matchCount(reinterpret_cast<unsigned char*>(blob), sizeof blob), 1);
    EXPECT_EQ(FtsTools::matchCount(nullptr, 0), 1);
}

TEST(FtsFolderRestriction, ComparesInNfcAndStopsAtNameBoundaries) {
    EXPECT_TRUE(FtsTools::isInsideFolder("/Docs/Tax/a.pdf", "/Docs/Tax"));
    EXPECT_TRUE(FtsTools::isInsideFolder("/Docs/Tax/a.pdf", "/Docs/Tax/"));
    EXPECT_FALSE(FtsTools::isInsideFolder("/Docs/Tax2023/a.pdf", "/Docs/Tax"));
    EXPECT_TRUE(FtsTools::isInsideFolder("/Docs/Bu\xCC\x88ro/a.pdf", "/Docs/Büro"));
}

}  // namespace
}  // namespace lumidex::storage

namespace lumidex::storage {
namespace {

TEST(FtsNumbers, KeepsDistinctTokensWithDigits) {
    EXPECT_EQ(FtsTools::numberTokens("rechnung nr. re-4711 vom 12.03.2023 betrag 1.234.56 re-4711"),
              "4711 12 03 2023 1 234 56");
    EXPECT_EQ(FtsTools::numberTokens("kein wert"), "");
    EXPECT_EQ(FtsTools::numberTokens("a1b2 ü3"), "a1b2 ü3");
}

}  // namespace
}  // namespace lumidex::storage
