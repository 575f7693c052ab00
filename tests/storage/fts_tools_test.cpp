#include "storage/fts_tools.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

namespace lumidex::storage {
namespace {

TEST(FtsFolding, GermanAndLatinLettersFoldAsUsersExpect) {
    EXPECT_EQ(FtsTools::fold("Straße"), "strasse");
    EXPECT_EQ(FtsTools::fold("Æther"), "aether");
    EXPECT_EQ(FtsTools::fold("MÜLLER Größe Öl"), "mueller groesse oel");
    EXPECT_EQ(FtsTools::fold("Œuvre Ørsted Łódź þorn ħ ı"), "oeuvre orsted lodz thorn h i");
    EXPECT_EQ(FtsTools::fold("Café Crème naïve"), "cafe creme naive");
    EXPECT_EQ(FtsTools::fold("Bär"), "baer");
    EXPECT_EQ(FtsTools::fold("ﬁnanz ﬂach Koﬀer eﬃzient ﬆil"),
              "finanz flach koffer effizient stil");
}

// An umlaut is an umlaut however the document draws it: composed, as "a" + combining diaeresis, or
// (common in PDF text) as a diaeresis glyph of its own before or after the letter.
TEST(FtsFolding, UmlautsAndAccentsInAnyDrawingFoldAlike) {
    EXPECT_EQ(FtsTools::fold("Mindestla\xCC\x88nge"), "mindestlaenge");
    EXPECT_EQ(FtsTools::fold("Mindestla\xC2\xA8nge B\xC2\xA8uro"), "mindestlaenge buero");
    EXPECT_EQ(FtsTools::fold("\xC2\xA8" "Offnung Gro\xC2\xA8" "\xC3\x9F" "e"), "oeffnung groesse");
    // Between two vowels the side follows the clear cases of the same text; alone, the letter before.
    EXPECT_EQ(FtsTools::fold("f\xC2\xA8ur ge\xC2\xA8offnet na\xC2\xA8\xC4\xB1ve"), "fuer geoeffnet naive");
    EXPECT_EQ(FtsTools::fold("geo\xC2\xA8" "ffnet Ba\xC2\xA8ume"), "geoeffnet baeume");
    EXPECT_EQ(FtsTools::fold("he\xCC\x81" "brai\xCC\x88ques \xC2\xB4" "Etudes Franc\xC2\xB8" "ais ho\xCB\x86tel"),
              "hebraiques etudes francais hotel");
    // An accent with no letter beside it is just a separator.
    EXPECT_EQ(FtsTools::fold("x \xC2\xA8 5\xCB\x9C" "7"), "x   5 7");
}

// What the tokenizer makes of a folded text: it splits at every ASCII character that is not a letter
// or digit and keeps every other byte inside a token.
std::vector<std::string> tokens(std::string_view folded) {
    std::vector<std::string> out;
    std::string current;
    for (char c : folded) {
        if (static_cast<unsigned char>(c) >= 0x80 || std::isalnum(static_cast<unsigned char>(c))) {
            current.push_back(c);
        } else if (!current.empty()) {
            out.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

TEST(FtsFolding, PunctuationRules) {
    EXPECT_EQ(tokens(FtsTools::fold("\"Quote\" `x` \xE2\x80\x9E" "b\xE2\x80\x9C \xE2\x80\x9D" "c")),
              (std::vector<std::string>{"quote", "x", "b", "c"}));
    EXPECT_EQ(FtsTools::fold("1,5;2"), "1.5.2");
    EXPECT_EQ(FtsTools::fold("5€ $3 £2 ¥1"), "5   3  2  1");
    // Punctuation, spaces and symbols beyond ASCII separate words like ASCII punctuation does.
    EXPECT_EQ(tokens(FtsTools::fold("«Mot» word\xE2\x80\x94word \xE2\x9F\xA8name\xE2\x9F\xA9 a\xC2\xA0" "b "
                                    "\xE2\x80\x98" "consolidation\xE2\x80\x99 x\xC2\xB7y \xE3\x80\x8C\xE6\x9D\xB1\xE3\x80\x8D "
                                    "Mindest\xC2\xAD" "la\xCC\x88nge 😀ok")),
              (std::vector<std::string>{"mot", "word", "word", "name", "a", "b", "consolidation", "x", "y",
                                        "\xE6\x9D\xB1", "mindestlaenge", "ok"}));
}

// A word with an apostrophe inside is stored split and joined, whichever apostrophe it is drawn with,
// so each of its forms finds it; the query side looks words up joined.
TEST(FtsFolding, ApostrophesInsideWordsKeepEveryForm) {
    EXPECT_EQ(FtsTools::fold("l'aubergine"), "l aubergine laubergine");
    EXPECT_EQ(FtsTools::fold("O\xE2\x80\x99" "Brien"), "o brien obrien");
    EXPECT_EQ(FtsTools::fold("«mot»"), " mot ");
    EXPECT_EQ(FtsTools::fold("Mindesta\xCC\x88nge"), "mindestaenge");
    EXPECT_EQ(tokens(FtsTools::fold("don\xCA\xBCt l\xE2\x80\xB2" "\xC3\xA9t\xC3\xA9, rock'n'roll 'quoted' students' 1'000")),
              (std::vector<std::string>{"don", "t", "dont", "l", "ete", "lete", "rock", "n", "roll", "rocknroll",
                                        "quoted", "students", "1", "000", "1000"}));
    for (const char* word : {"O'Brien", "o\xE2\x80\x99" "brien", "OBrien"}) EXPECT_EQ(FtsTools::foldQueryWord(word), "obrien");
    EXPECT_EQ(FtsTools::foldQueryWord("l\xE2\x80\x98\xC3\xA9t\xC3\xA9"), "lete");
    EXPECT_EQ(FtsTools::foldQueryWord("students\xE2\x80\x99"), "students");
    // The refold at start-up relies on this: folded text folds to itself.
    const std::string folded = FtsTools::fold("l'été «O’Brien» a¨ 5€ rock'n'roll ﬁnanz Mindesta\xCC\x88nge");
    EXPECT_EQ(FtsTools::fold(folded), folded);
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

// Texts of any length and script are kept; scripts without spaces between words keep each character
// apart so that a word can be looked up as the phrase of its characters.
TEST(FtsFolding, EveryScriptIsKeptAndUnspacedCharactersStandApart) {
    std::string arabic;
    for (int i = 0; i < 300; ++i) arabic += "\u0643\u062A\u0627\u0628 \u0627\u0644\u062F\u0644\u064A\u0644 ";  // كتاب الدليل
    EXPECT_EQ(FtsTools::fold(arabic), arabic);
    EXPECT_EQ(FtsTools::fold("\u0540\u0531\u0545\u0535\u0550\u0535\u0546 \u0391\u0398\u0397\u039D\u0391 \u041C\u041E\u0421\u041A\u0412\u0410"),
              "\u0570\u0561\u0575\u0565\u0580\u0565\u0576 \u03B1\u03B8\u03B7\u03BD\u03B1 \u043C\u043E\u0441\u043A\u0432\u0430");  // ՀԱՅԵՐԵՆ ΑΘΗΝΑ МОСКВА

    EXPECT_EQ(FtsTools::fold("東京都は2024年、iPhoneを発表"), "東 京 都 は 2024 年 iphone を 発 表");
    // The voicing mark is a diacritic to the rule: が folds to か, in stored text and query alike.
    EXPECT_EQ(FtsTools::fold("カタカナ ひらがな"), "カ タ カ ナ ひ ら か な");
    EXPECT_EQ(FtsTools::fold("ภาษาไทย"), "ภ า ษ า ไ ท ย");
    EXPECT_EQ(FtsTools::fold("한국어 문서"), "한국어 문서");  // Hangul separates its words
    std::string cjk;
    for (int i = 0; i < 3000; ++i) cjk += "中";
    const std::string folded = FtsTools::fold(cjk);
    EXPECT_EQ(folded.size(), 3000u * 4 - 1);
    EXPECT_EQ(FtsTools::fold(folded), folded);
    const std::string mixed = FtsTools::fold("東京abc «中文» l'été 1,5");
    EXPECT_EQ(FtsTools::fold(mixed), mixed);

    // A word of such a script is looked up as the phrase of its characters, and counts twice toward
    // the minimum length of a search.
    EXPECT_EQ(FtsTools::buildQuery(FtsTools::splitSearchText("東京 \"日本 首都\" -大阪"), 3).matchExpression,
              "\"日 本 首 都*\" \"東 京*\"");
    EXPECT_EQ(FtsTools::buildQuery(FtsTools::splitSearchText("-大阪 東京"), 3).notLikePatterns,
              (std::vector<std::string>{"%大 阪%"}));
    EXPECT_EQ(FtsTools::searchLength("東京"), 4);
    EXPECT_EQ(FtsTools::searchLength("Müller"), 6);
}

TEST(FtsSearchText, SplitsPhrasesExclusionsAndWords) {
    const SplitSearchText s = FtsTools::splitSearchText(
        "invoice \"Rechnung Mai\" -old -old „Zitat hier“ «fr» “curly” -new");
    EXPECT_EQ(s.phrases, (std::vector<std::string>{"Rechnung Mai", "Zitat hier", "fr", "curly"}));
    EXPECT_EQ(s.excludedWords, (std::vector<std::string>{"old", "new"}));
    EXPECT_EQ(s.includedWords, (std::vector<std::string>{"invoice"}));

    EXPECT_TRUE(FtsTools::splitSearchText("\"\"").phrases.empty());
    EXPECT_EQ(FtsTools::splitSearchText("„a b”").phrases, (std::vector<std::string>{"a b"}));
    // An apostrophe never opens a phrase: it belongs to its word.
    const SplitSearchText names = FtsTools::splitSearchText("O'Brien budget l\xE2\x80\x99\xC3\xA9t\xC3\xA9 'single' \"don't stop\"");
    EXPECT_EQ(names.phrases, (std::vector<std::string>{"don't stop"}));
    EXPECT_EQ(names.includedWords,
              (std::vector<std::string>{"O'Brien", "budget", "l\xE2\x80\x99\xC3\xA9t\xC3\xA9", "'single'"}));
    // The words of a phrase that never closes are plain words.
    const SplitSearchText unclosed = FtsTools::splitSearchText("invoice \"open -old words");
    EXPECT_TRUE(unclosed.phrases.empty());
    EXPECT_EQ(unclosed.includedWords, (std::vector<std::string>{"invoice", "open", "words"}));
    EXPECT_EQ(unclosed.excludedWords, (std::vector<std::string>{"old"}));
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

    // Words are looked up joined; a phrase folds like the stored text, so it matches word for word.
    q = FtsTools::buildQuery(FtsTools::splitSearchText("O'Brien l\xE2\x80\x99\xC3\xA9t\xC3\xA9 don't \"l'aubergine est\" -l'ancien -alt\xE2\x80\x94"), 3);
    EXPECT_EQ(q.matchExpression, "\"l aubergine laubergine est*\" obrien* lete* dont*");
    EXPECT_EQ(q.notLikePatterns, (std::vector<std::string>{"%lancien%", "%alt%"}));
    EXPECT_EQ(FtsTools::buildQuery(FtsTools::splitSearchText("''' \xE2\x80\x99\xE2\x80\x99\xE2\x80\x99"), 1).matchExpression, "");
    EXPECT_EQ(FtsTools::buildQuery(FtsTools::splitSearchText("word\xE2\x80\x94word"), 3).matchExpression, "\"word word*\"");
}

TEST(FtsSearchText, HostileTextStillBuildsAValidExpression) {
    FtsQuery q = FtsTools::buildQuery(FtsTools::splitSearchText("urlPath:secret (a OR b) ^start *** ..."), 1);
    EXPECT_EQ(q.matchExpression, "\"urlpath secret*\" a* or* b* start*");
    q = FtsTools::buildQuery(FtsTools::splitSearchText("€€€ 😀😀"), 1);
    EXPECT_EQ(q.matchExpression, "");
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
