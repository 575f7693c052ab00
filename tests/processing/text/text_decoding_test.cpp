#include "processing/text/text_decoding.h"

#include <gtest/gtest.h>

#include <string>

namespace lumidex::processing {
namespace {

std::string utf16le(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    }
    return out;
}

std::string utf16be(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) {
        out += static_cast<char>(unit >> 8);
        out += static_cast<char>(unit & 0xFF);
    }
    return out;
}

TEST(TextDecoding, ByteOrderMarksDecideAndAreRemoved) {
    DecodedText d = decodePlainText("\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(d.encoding, "UTF-8");
    EXPECT_EQ(d.text, "Gr\u00fc\u00dfe");

    d = decodePlainText("\xFF\xFE" + utf16le(u"K\u00f6ln \U0001F600"));
    EXPECT_EQ(d.encoding, "UTF-16LE");
    EXPECT_EQ(d.text, "K\u00f6ln \U0001F600");

    d = decodePlainText("\xFE\xFF" + utf16be(u"Stra\u00dfe"));
    EXPECT_EQ(d.encoding, "UTF-16BE");
    EXPECT_EQ(d.text, "Stra\u00dfe");

    d = decodePlainText(std::string("\xFF\xFE\x00\x00" "A\x00\x00\x00\xE4\x00\x00\x00", 12));
    EXPECT_EQ(d.encoding, "UTF-32LE");
    EXPECT_EQ(d.text, "A\u00e4");
    EXPECT_FALSE(d.error);
}

TEST(TextDecoding, WellFormedUtf8IsTakenAsIs) {
    const std::string text = "// Swift\nlet gruss = \"Gr\xC3\xBC\xC3\x9F" "e\" \xE2\x82\xAC\n";
    const DecodedText d = decodePlainText(text);
    EXPECT_EQ(d.encoding, "UTF-8");
    EXPECT_EQ(d.text, text);
    EXPECT_EQ(decodePlainText("").text, "");
    EXPECT_FALSE(decodePlainText("").error);
}

TEST(TextDecoding, LegacyEightBitTextIsDetected) {
    // German in windows-1252, with curly quotes and a euro sign from the 0x80-0x9F range.
    const std::string german =
        "Sehr geehrte Damen und Herren, anbei die Rechnung f\xFCr M\xE4rz. Der Betrag von 120 \x80 ist "
        "f\xE4llig. \x84Vielen Dank\x93 und freundliche Gr\xFC\xDF" "e aus K\xF6ln und M\xFCnchen.\n";
    DecodedText d = decodePlainText(german);
    EXPECT_EQ(d.encoding, "windows-1252");
    EXPECT_NE(d.text.find("f\u00fcr M\u00e4rz"), std::string::npos);
    EXPECT_NE(d.text.find("120 \u20ac"), std::string::npos);
    EXPECT_NE(d.text.find("\u201eVielen Dank\u201c"), std::string::npos);

    // Latin-1 guesses are read as windows-1252 (its superset).
    d = decodePlainText("Caf\xE9 cr\xE8me br\xFBl\xE9" "e, na\xEFve fa\xE7" "ade, d\xE9j\xE0 vu, \xE0 la carte.");
    EXPECT_EQ(d.encoding, "windows-1252");
    EXPECT_EQ(d.text, "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9" "e, na\u00efve fa\u00e7" "ade, d\u00e9j\u00e0 vu, \u00e0 la carte.");

    // A clear Central European guess is kept.
    d = decodePlainText("Za\xbf\xf3\xb3\xe6 g\xea\xb6l\xb1 ja\xbc\xf1. Polski tekst w kodowaniu ISO-8859-2 jest tutaj, "
                        "\xbf\xf3\xb3w i \xb6wi\xea" "ty.");
    EXPECT_EQ(d.encoding, "ISO-8859-2");
    EXPECT_EQ(d.text.substr(0, 12), "Za\u017c\u00f3\u0142\u0107 g");

    // Cyrillic in windows-1251.
    d = decodePlainText("\xcf\xf0\xe8\xe2\xe5\xf2 \xec\xe8\xf0, \xea\xe0\xea \xe4\xe5\xeb\xe0? \xdd\xf2\xee \xf2\xe5\xea"
                        "\xf1\xf2 \xed\xe0 \xf0\xf3\xf1\xf1\xea\xee\xec \xff\xe7\xfb\xea\xe5.");
    EXPECT_EQ(d.encoding, "windows-1251");
    EXPECT_EQ(d.text.substr(0, 12), "\u041f\u0440\u0438\u0432\u0435\u0442");
}

TEST(TextDecoding, Utf16WithoutMarkIsDetected) {
    const DecodedText d = decodePlainText(utf16le(u"Hello world, this is a plain text note."));
    EXPECT_EQ(d.encoding, "UTF-16LE");
    EXPECT_EQ(d.text, "Hello world, this is a plain text note.");
}

TEST(TextDecoding, BinaryContentIsAnError) {
    std::string binary("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x01\x00", 20);
    for (int i = 0; i < 200; ++i) binary += static_cast<char>((i * 37) % 256);
    const DecodedText d = decodePlainText(binary);
    ASSERT_TRUE(d.error.has_value());
    EXPECT_NE(d.error->find("binary"), std::string::npos);
    EXPECT_TRUE(d.text.empty());
    // NUL bytes in otherwise valid UTF-8 too.
    EXPECT_TRUE(decodePlainText(std::string("abc\0def", 7)).error.has_value());
}

}  // namespace
}  // namespace lumidex::processing
