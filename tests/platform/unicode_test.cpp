#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace lumidex::platform {
namespace {

const std::string kComposedA = "\xC3\xA4";     // ä
const std::string kDecomposedA = "a\xCC\x88";  // a + U+0308

TEST(Unicode, NormalisationForms) {
    EXPECT_EQ(toNfc("Ma" + kDecomposedA + "rchen"), "Ma" + kComposedA + "rchen");
    EXPECT_EQ(toNfd("Ma" + kComposedA + "rchen"), "Ma" + kDecomposedA + "rchen");
    EXPECT_EQ(toNfc("plain ascii"), "plain ascii");
    EXPECT_EQ(toNfc(""), "");
    // Not UTF-8 (a Latin-1 file name): left alone so it still names its file.
    EXPECT_EQ(toNfc("caf\xE9"), "caf\xE9");
    EXPECT_EQ(toNfd("caf\xE9"), "caf\xE9");
}

TEST(Unicode, LowerCasingUsesRootRules) {
    EXPECT_EQ(toLowerCase("HELLO World"), "hello world");
    EXPECT_EQ(toLowerCase("\xC3\x84RGER \xC3\x9C" "BER STRA\xC3\x9F" "E"), "\xC3\xA4rger \xC3\xBC" "ber stra\xC3\x9F" "e");
    // Capital I stays i (no Turkish dotless ı); İ lower-cases to i + combining dot above.
    EXPECT_EQ(toLowerCase("I"), "i");
    EXPECT_EQ(toLowerCase("\xC4\xB0"), "i\xCC\x87");
    // Final sigma in context.
    EXPECT_EQ(toLowerCase("\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCF\x82");
    EXPECT_EQ(toLowerCase("A\xFF"), "a\xEF\xBF\xBD");
}

TEST(Unicode, RemoveDiacritics) {
    EXPECT_EQ(removeDiacritics("M" + kComposedA + "dchen f\xC3\xBCr Cr\xC3\xA8me"), "Madchen fur Creme");
    EXPECT_EQ(removeDiacritics("M" + kDecomposedA + "dchen"), "Madchen");
    // No decomposition, nothing to drop.
    EXPECT_EQ(removeDiacritics("stra\xC3\x9F" "e \xC3\xB8"), "stra\xC3\x9F" "e \xC3\xB8");
    // The result is composed again.
    EXPECT_EQ(removeDiacritics("\xE1\x84\x80\xE1\x85\xA1"), "\xEA\xB0\x80");  // Hangul jamo -> 가
    EXPECT_EQ(removeDiacritics("ascii only"), "ascii only");
}

TEST(Unicode, CharacterCountIsGraphemeClusters) {
    EXPECT_EQ(characterCount(""), 0u);
    EXPECT_EQ(characterCount("abc"), 3u);
    EXPECT_EQ(characterCount("a\r\nb"), 3u);
    EXPECT_EQ(characterCount("\r\r\n\n"), 3u);
    EXPECT_EQ(characterCount(kDecomposedA + kComposedA), 2u);
    EXPECT_EQ(characterCount("x\r\n" + kComposedA), 3u);
    EXPECT_EQ(characterCount("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u);  // thumbs up + skin tone
    EXPECT_EQ(characterCount("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"), 1u);  // flag DE
    EXPECT_EQ(characterCount("a\xFF\xFE"), 3u);
    EXPECT_EQ(characterCount("\xE4\xB8\xAD\xE6\x96\x87"), 2u);          // CJK
    EXPECT_EQ(characterCount("\xC2\x85" "a"), 2u);                          // NEL is a control
    EXPECT_EQ(characterCount("\xE1\x84\x80\xE1\x85\xA1"), 1u);          // Hangul L + V jamo
    EXPECT_EQ(characterCount("\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7"), 1u);  // conjunct KA+VIRAMA+SSA
}

TEST(Unicode, CharacterCountShortcutAgreesWithFullRules) {
    // Precomposed text is counted without the segmentation rules; one decomposed letter at the end
    // sends the whole text through them. Both must agree on the shared part.
    std::string text;
    for (int i = 0; i < 200; ++i) text += "Gr\xC3\xBC\xC3\x9F" "e, \xCE\xB1\xCE\xB2 \xD0\xB4\xD0\xB0\r\n\t\xC2\xA0\xE2\x82\xAC";
    EXPECT_EQ(characterCount(text + kDecomposedA), characterCount(text) + 1);
    EXPECT_EQ(characterCount(text), 200u * 16u);
}

TEST(Unicode, LettersAndMarks) {
    EXPECT_TRUE(isLetter(U'a'));
    EXPECT_TRUE(isLetter(U'\u00E4'));
    EXPECT_TRUE(isLetter(U'\u4E2D'));
    EXPECT_FALSE(isLetter(U'1'));
    EXPECT_FALSE(isLetter(U'_'));
    EXPECT_FALSE(isLetter(U'\''));
    EXPECT_FALSE(isLetter(U'\u0308'));
    EXPECT_TRUE(isMark(U'\u0308'));
    EXPECT_FALSE(isMark(U'a'));
    EXPECT_FALSE(isLetter(char32_t{0x110000}));
    EXPECT_FALSE(isMark(char32_t{0xFFFFFFFF}));
}

TEST(Unicode, DecodeReplacesEachMaximalIllFormedSubsequence) {
    EXPECT_EQ(decodeUtf8("a" + kComposedA + "\xE2\x82\xAC\xF0\x9F\x98\x80"), U"a\u00E4\u20AC\U0001F600");
    EXPECT_EQ(decodeUtf8("\xFF"), U"\uFFFD");
    EXPECT_EQ(decodeUtf8("\xE2\x82"), U"\uFFFD");         // truncated sequence: one replacement
    EXPECT_EQ(decodeUtf8("\xE2\x82x"), U"\uFFFDx");
    EXPECT_EQ(decodeUtf8("\xC0\xAF"), U"\uFFFD\uFFFD");   // overlong: two
    EXPECT_EQ(decodeUtf8("\xED\xA0\x80"), U"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(decodeUtf8(std::string("a\0b", 3)), std::u32string(U"a\0b", 3));
}

TEST(Unicode, EncodeReplacesNonScalars) {
    EXPECT_EQ(encodeUtf8(U"a\u00E4\u20AC\U0001F600"), "a" + kComposedA + "\xE2\x82\xAC\xF0\x9F\x98\x80");
    const char32_t bad[] = {0xD800, 0x110000, U'z'};
    EXPECT_EQ(encodeUtf8(std::u32string_view(bad, 3)), "\xEF\xBF\xBD\xEF\xBF\xBDz");
}

}  // namespace
}  // namespace lumidex::platform
