#include <gtest/gtest.h>

#include "search/search_text.h"

namespace lumidex::search {
namespace {

TEST(SearchText, WordsWithoutLettersOrDigitsAreTakenOut) {
    EXPECT_EQ(withoutIgnoredCharacters("🙂🙂🙂", false).searchText, "");
    EXPECT_TRUE(withoutIgnoredCharacters("🙂🙂🙂", false).ignoredSomething);
    EXPECT_EQ(withoutIgnoredCharacters("invoice 🙂 may", false).searchText, "invoice may");
    EXPECT_EQ(withoutIgnoredCharacters("invoice🙂", false).searchText, "invoice");
    EXPECT_EQ(withoutIgnoredCharacters("+++ invoice", false).searchText, "invoice");
    EXPECT_EQ(withoutIgnoredCharacters("§ 12", false).searchText, "12");
    EXPECT_EQ(withoutIgnoredCharacters("«🙂»", false).searchText, "");
    EXPECT_EQ(withoutIgnoredCharacters("''' \xE2\x80\x99\xE2\x80\x99 invoice", false).searchText, "invoice");
    EXPECT_EQ(withoutIgnoredCharacters("-🙂 invoice", false).searchText, "invoice");
}

TEST(SearchText, TextWithoutIgnoredWordsIsPassedUnchanged) {
    // Punctuation is no ignored symbol: the stores separate words at it, and an apostrophe belongs to its word.
    for (const char* text : {"rechnung -alt \"mai 2024\"", "Müller", "東京", "c++ code", "\"unclosed", "Привет",
                             "٣ dates", "e\xCC\x81t\xC3\xA9", "O\xE2\x80\x99" "Brien budget", "l\xE2\x80\x99\xC3\xA9t\xC3\xA9",
                             "word\xE2\x80\x94word", "«mot» ¿qué?"}) {
        const CleanedSearchText cleaned = withoutIgnoredCharacters(text, false);
        EXPECT_FALSE(cleaned.ignoredSomething) << text;
        EXPECT_EQ(cleaned.searchText, text);
    }
}

TEST(SearchText, PhrasesAndExclusionsKeepTheirMeaningWhenRebuilt) {
    EXPECT_EQ(withoutIgnoredCharacters("\"rechnung 🙂 mai\" -alt ✔", false).searchText, "\"rechnung mai\" -alt");
    EXPECT_EQ(withoutIgnoredCharacters("«a \"b\" c» 🙂", false).searchText, "\"a b c\"");
    // A piece cut off a word does not become an exclusion.
    EXPECT_EQ(withoutIgnoredCharacters("🙂-invoice", false).searchText, "invoice");
    EXPECT_EQ(withoutIgnoredCharacters("rechnung 🙂 mai", true).searchText, "rechnung mai");
    EXPECT_TRUE(withoutIgnoredCharacters("rechnung 🙂 mai", true).ignoredSomething);
}

TEST(SearchText, MinimumLengthCountsCharactersWithoutSpaces) {
    EXPECT_EQ(lengthWithoutSpaces("ab"), 2);
    EXPECT_EQ(lengthWithoutSpaces("a b c"), 3);
    EXPECT_EQ(lengthWithoutSpaces("   "), 0);
    EXPECT_EQ(lengthWithoutSpaces("äö"), 2);
    EXPECT_EQ(lengthWithoutSpaces("e\xCC\x81"), 1);  // e + combining acute is one character
    EXPECT_EQ(lengthWithoutSpaces("👩‍👩‍👧"), 1);
    EXPECT_EQ(lengthWithoutSpaces("東京"), 4);  // two characters of a script without spaces make a word
}

TEST(SearchText, ResultCountText) {
    EXPECT_EQ(resultCountText(0), "Found 0 results");
    EXPECT_EQ(resultCountText(250), "Found 250 results");
}

}  // namespace
}  // namespace lumidex::search
