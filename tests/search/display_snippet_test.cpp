#include <gtest/gtest.h>

#include <cctype>

#include "platform/unicode.h"
#include "search/display_snippet.h"
#include "storage/fts_tools.h"

namespace lumidex::search {
namespace {

// The passage for `search` in `text`, matched words in <>, or "<none>".
std::string shown(std::string_view text, std::string search, size_t words = 20) {
    SearchParameters parameters;
    parameters.searchText = std::move(search);
    const auto snippet = buildDisplaySnippet(text, displayQueryWords(parameters), words);
    return snippet ? renderDisplaySnippet(*snippet, "<", ">") : "<none>";
}

TEST(DisplaySnippet, ShowsTheDocumentsOwnWordsWhereMostSearchWordsMeetAndMarksThem) {
    // Umlauts and case: the folded search words find the original spelling.
    EXPECT_EQ(shown("Herr Müller kauft Äpfel.", "müller"), "Herr <Müller> kauft Äpfel.");
    EXPECT_EQ(shown("Herr Müller kauft Äpfel.", "MUELLER äpfel"), "Herr <Müller> kauft <Äpfel>.");
    EXPECT_EQ(shown("STRASSE und Straße", "strasse"), "<STRASSE> und <Straße>");
    // Prefixes, as the store matches them; a phrase marks each of its words.
    EXPECT_EQ(shown("Die Rechnungen für Mai", "rechnung"), "Die <Rechnungen> für Mai");
    EXPECT_EQ(shown("Die Rechnungen für Mai", "\"rechnungen für\""), "Die <Rechnungen> <für> Mai");
    // Punctuation stays as written and outside the marks; quotes and apostrophes do not split words.
    EXPECT_EQ(shown("„Straße“, sagte O'Brien; (Müller)", "strasse obrien müller"),
              "„<Straße>“, sagte <O'Brien>; (<Müller>)");
    EXPECT_EQ(shown("l’aubergine de O’Brien", "aubergine brien"), "<l’aubergine> de <O’Brien>");
    EXPECT_EQ(shown("Preis: 12,50 € netto", "12.50"), "Preis: <12>,<50> € netto");

    // The first run of words holding the most different search words wins over an earlier lone match;
    // the matches sit in its middle, cut ends get "…", and white space becomes single spaces.
    const std::string text =
        "Rechnung eins zwei drei vier fünf sechs sieben acht neun zehn\n\tRechnung elf zwölf Mai dreizehn vierzehn";
    EXPECT_EQ(shown(text, "rechnung mai", 6), "… zehn <Rechnung> elf zwölf <Mai> dreizehn …");
    EXPECT_EQ(shown(text, "rechnung", 3), "<Rechnung> eins zwei …");
    EXPECT_EQ(shown(text, "vierzehn", 3), "… Mai dreizehn <vierzehn>");  // at the end, words before fill it

    // A run of letters without a break is cut, not shown whole.
    const std::string shownData = shown("Anhang: Müller" + std::string(5000, 'x') + " Ende", "müller");
    EXPECT_LT(shownData.size(), 600u);
    EXPECT_TRUE(shownData.starts_with("Anhang: <Müllerxxx")) << shownData;
    EXPECT_TRUE(shownData.ends_with("x>…")) << shownData;

    // Terminal control sequences and invalid bytes in a document never reach the output as such.
    EXPECT_EQ(shown("Müller\x1b[31m r\xffot", "müller"), "<Müller> [31m r\xEF\xBF\xBDot");

    // No word of the text matches (found by its name, say): the caller falls back to the store's snippet.
    EXPECT_EQ(shown("Nur der Dateiname passt", "rechnung"), "<none>");
    EXPECT_EQ(shown("Muller ohne Umlaut", "müller"), "<none>");
    EXPECT_EQ(shown("", "müller"), "<none>");
}

// Whatever a word is made of (accented letters, ligatures, apostrophes, combining marks, other scripts),
// each word of its folded form finds it, as the store finds the document by it.
TEST(DisplaySnippet, EveryWordIsFoundByTheWordsOfItsFoldedForm) {
    std::u32string characters;
    for (char32_t c = 0x21; c < 0x7F; ++c) characters += c;
    for (char32_t c = 0xC0; c < 0x250; ++c) characters += c;
    characters += U"\u0308\u2019\u02BC\u00BD\u1E9E\u03A3\u0416\uFB01\uFB02\u2160\u00B2\u0301";
    for (char32_t c : characters) {
        for (std::u32string shape : {std::u32string{c} + U"ab", U"k" + std::u32string{c} + U"ab", U"ka" + std::u32string{c}}) {
            const std::string word = platform::encodeUtf8(shape);
            const std::string folded = storage::FtsTools::fold(word);
            for (size_t i = 0; i < folded.size();) {
                const auto letter = [&](size_t k) {
                    const auto b = static_cast<unsigned char>(folded[k]);
                    return b >= 0x80 || std::isalnum(b) != 0;
                };
                while (i < folded.size() && !letter(i)) ++i;
                size_t end = i;
                while (end < folded.size() && letter(end)) ++end;
                if (end > i) {
                    const auto snippet = buildDisplaySnippet(word, {folded.substr(i, end - i)});
                    EXPECT_TRUE(snippet && !snippet->marks.empty())
                        << "U+" << std::hex << static_cast<uint32_t>(c) << " in \"" << word << "\" by \"" << folded.substr(i, end - i) << '"';
                }
                i = end;
            }
        }
    }
}

// A text read as it is inflated comes in pieces that may end inside a word or a character: the
// passage is the one of the whole text.
TEST(DisplaySnippet, ATextReadInPiecesGivesThePassageOfTheWholeText) {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += "Abrechnungszeitraum für Müller’s Straßenbau, Einﬂuss O'Brien 12,50 € naïve Ka\u0308se 東京駅 ";
    }
    text += "Schlussvermerk jgzq7142.";
    for (const std::string search : {"rechnung", "jg", "mueller", "einfluss brien", "kase", "東京", "\"12 50\"", "stras"}) {
        SearchParameters parameters;
        parameters.searchText = search;
        const auto words = displayQueryWords(parameters);
        const auto whole = buildDisplaySnippet(text, words);
        // No more than asked for, so that every piece ends where the reader stopped.
        const auto pieces = buildDisplaySnippet([&text](size_t n) { return std::string_view(text).substr(0, n); }, words);
        ASSERT_EQ(whole.has_value(), pieces.has_value()) << search;
        if (whole) {
            EXPECT_EQ(renderDisplaySnippet(*pieces, "<", ">"), renderDisplaySnippet(*whole, "<", ">")) << search;
        }
    }
}

// Each character of a script without spaces is a word of the passage; a search word of such a script is
// marked where its characters stand together, not wherever one of them occurs.
TEST(DisplaySnippet, MarksWordsOfScriptsWithoutSpacesWhereTheirCharactersStandTogether) {
    EXPECT_EQ(shown("京都の東にある東京駅で待つ。", "東京"), "京都の東にある<東京>駅で待つ。");
    EXPECT_EQ(shown("新しいiPhone手机 发布会", "iphone手机 发布"), "新しい<iPhone手机> <发布>会");
    EXPECT_EQ(shown("一二三四五六七八九十东京", "东京", 4), "… 九十<东京>");
    EXPECT_EQ(shown("京东的东西", "东京"), "<none>");
}

}  // namespace
}  // namespace lumidex::search
