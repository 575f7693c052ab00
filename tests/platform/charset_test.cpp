#include "platform/charset.h"

#include <gtest/gtest.h>

#include <string>

namespace lumidex::platform {
namespace {

TEST(Charset, DecodesLegacyCharsetsToUtf8) {
    EXPECT_EQ(decodeCharset("Gr\xFC\xDF" "e \x80 \x93x\x94", "windows-1252"), "Gr\u00fc\u00dfe \u20ac \u201cx\u201d");
    EXPECT_EQ(decodeCharset("\x8A", "macintosh"), "\u00e4");
    EXPECT_EQ(decodeCharset("\x93\xFA\x96\x7B", "windows-31j"), "\u65e5\u672c");
    EXPECT_FALSE(decodeCharset("x", "no-such-charset"));
    EXPECT_FALSE(openCharsetDecoder(""));
}

TEST(Charset, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(decodeCharset("a\xC3(b", "UTF-8"), "a\uFFFD(b");
    EXPECT_EQ(decodeCharset("\x82", "windows-31j"), "\uFFFD");  // lead byte without trail byte
    // Lone surrogates in UTF-16 input, also across the converter's internal buffer boundary.
    EXPECT_EQ(decodeCharset(std::string("\x00\xD8" "A\x00", 4), "UTF-16LE"), "\uFFFD" "A");
    std::string big;
    for (int i = 0; i < 5000; ++i) big += std::string("\x3D\xD8\x00\xDE", 4);  // U+1F600 in UTF-16LE
    std::string expected;
    for (int i = 0; i < 5000; ++i) expected += "\U0001F600";
    EXPECT_EQ(decodeCharset(big, "UTF-16LE"), expected);
}

TEST(Charset, DecoderIsReusableWithoutCarriedState) {
    auto decoder = openCharsetDecoder("windows-31j");
    ASSERT_TRUE(decoder);
    EXPECT_FALSE(decoder->canonicalName().empty());
    EXPECT_EQ(decoder->decode("\x93"), "\uFFFD");  // a dangling lead byte is not kept for the next call
    EXPECT_EQ(decoder->decode("\xFA"), "\uFFFD");
    EXPECT_EQ(decoder->decode("A"), "A");
}

TEST(Charset, CodePageNames) {
    EXPECT_EQ(charsetNameForCodePage(1252), "windows-1252");
    EXPECT_EQ(charsetNameForCodePage(10000), "macintosh");
    EXPECT_EQ(charsetNameForCodePage(932), "windows-31j");
    const auto dos = charsetNameForCodePage(437);
    ASSERT_TRUE(dos);
    EXPECT_EQ(decodeCharset("\x84", *dos), "\u00e4");
    EXPECT_EQ(charsetNameForCodePage(65001), "UTF-8");
    EXPECT_FALSE(charsetNameForCodePage(0));
    EXPECT_FALSE(charsetNameForCodePage(99999));
    EXPECT_FALSE(charsetNameForCodePage(12345));
    EXPECT_FALSE(charsetNameForCodePage(1214));  // the converter library's alias of a Unicode compression
}

TEST(Charset, DetectionAndUtf8Validation) {
    const auto guesses = detectCharsets("Sehr geehrte Damen und Herren, die Rechnung f\xFCr M\xE4rz ist f\xE4llig. Gr\xFC\xDF" "e");
    ASSERT_FALSE(guesses.empty());
    EXPECT_TRUE(guesses[0].name == "ISO-8859-1" || guesses[0].name == "windows-1252") << guesses[0].name;
    EXPECT_TRUE(detectCharsets("").empty());

    EXPECT_TRUE(isValidUtf8("plain \xC3\xA4 \xF0\x9F\x98\x80"));
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("ok \xE2\x82"));       // truncated
}

}  // namespace
}  // namespace lumidex::platform
