#include <gtest/gtest.h>

#include <limits>

#include "core/hashing.h"

namespace lumidex {
namespace {

TEST(Hashing, Fnv1aKnownVectors) {
    EXPECT_EQ(fnv1a32(""), 2166136261u);
    EXPECT_EQ(fnv1a32("a"), 0xE40C292Cu);
    EXPECT_EQ(fnv1a32("foobar"), 0xBF9CF968u);
    EXPECT_EQ(fnv1a32("\xC3\xA4"), fnv1a32(std::string("\xC3\xA4")));
}

TEST(Hashing, Djb2OverBytesAndScalars) {
    EXPECT_EQ(djb2(""), 5381u);
    EXPECT_EQ(djb2("a"), 5381u * 33u + 97u);
    EXPECT_EQ(djb2Scalars("/a/b"), djb2("/a/b"));
    // ä, € and an astral scalar each count once, with their scalar value.
    EXPECT_EQ(djb2Scalars("/a/\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"), 2088795924u);
    EXPECT_NE(djb2Scalars("\xC3\xA4"), djb2("\xC3\xA4"));
}

TEST(Hashing, ContentHashNeedsOneHundredCharacters) {
    EXPECT_EQ(contentHash(""), 0u);
    EXPECT_EQ(contentHash(std::string(99, 'a')), 0u);
    EXPECT_EQ(contentHash(std::string(100, 'a')), 168538585u);
    EXPECT_EQ(contentHash(std::string(100, 'a')), fnv1a32(std::string(100, 'a')));
    // Non-letters count as one character each (CR LF is two, not one cluster).
    const std::string mixed = std::string(49, 'a') + std::string(25, '1') + std::string(13, '\r') + std::string(13, '\n');
    EXPECT_EQ(mixed.size(), 100u);
    EXPECT_EQ(contentHash(mixed), fnv1a32(mixed));
    std::string crlf;
    for (int i = 0; i < 50; ++i) crlf += "\r\n";
    EXPECT_EQ(contentHash(crlf), fnv1a32(crlf));
}

TEST(Hashing, ContentHashCountsCharactersNotBytes) {
    std::string umlauts;
    for (int i = 0; i < 99; ++i) umlauts += "\xC3\xA4";
    EXPECT_EQ(contentHash(umlauts), 0u);  // 198 bytes, 99 characters
    umlauts += "a\xCC\x88";               // decomposed ä: one more character
    EXPECT_EQ(contentHash(umlauts), fnv1a32(umlauts));

    // An emoji is a non-letter: each of its scalars becomes one space.
    std::string emoji;
    for (int i = 0; i < 50; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
    EXPECT_EQ(contentHash(emoji), fnv1a32(emoji));

    // Long texts are decided on a prefix; the hash still covers every byte.
    std::string longText(5000, 'x');
    const uint32_t before = contentHash(longText);
    longText.back() = 'y';
    EXPECT_NE(contentHash(longText), before);
    std::string stacked = "a";
    for (int i = 0; i < 2000; ++i) stacked += "\xCC\x88";  // one letter carrying 2000 marks
    EXPECT_EQ(contentHash(stacked), 0u);
}

TEST(Hashing, FileUrlString) {
    EXPECT_EQ(fileUrlString("/home/a/My Docs/\xC3\x84rger.pdf"), "file:///home/a/My%20Docs/%C3%84rger.pdf");
    EXPECT_EQ(fileUrlString("/home/a/A\xCC\x88rger.pdf"), "file:///home/a/%C3%84rger.pdf");  // NFC first
    EXPECT_EQ(fileUrlString("/a/b#1?x%y"), "file:///a/b%231%3Fx%25y");
    EXPECT_EQ(fileUrlString("/a/(x)+y,z;=@~!$&'*:_-.txt"), "file:///a/(x)+y,z;=@~!$&'*:_-.txt");
    EXPECT_EQ(fileUrlString("/a/Doc.rtfd/"), fileUrlString("/a/Doc.rtfd"));
    EXPECT_EQ(fileUrlString("/"), "file:///");
}

TEST(Hashing, CombinedHash) {
    const std::string path = "/home/a/My Docs/\xC3\x84rger.pdf";
    EXPECT_EQ(combinedHash(path, dateFromSecondsSince1970(1700000000.75)), 4036583453u);
    // Composed and decomposed spellings of one path are one document.
    EXPECT_EQ(combinedHash("/home/a/My Docs/A\xCC\x88rger.pdf", dateFromSecondsSince1970(1700000000)), 4036583453u);
    EXPECT_NE(combinedHash(path, dateFromSecondsSince1970(1700000001)), 4036583453u);
    EXPECT_NE(combinedHash("/home/a/My Docs/Aerger.pdf", dateFromSecondsSince1970(1700000000)), 4036583453u);
    // The shortcut for paths in NFC already gives the same keys, trailing slashes and escapes included.
    for (const char* nfc : {"/home/a/My Docs/\xC3\x84rger.pdf", "/a/b#1?x%y", "/a/Doc.rtfd/", "/", "/a/(x)+y,z;=@~!$&'*:_-.txt"}) {
        const Date date = dateFromSecondsSince1970(1700000000.5);
        EXPECT_EQ(combinedHashOfNfcPath(nfc, date), combinedHash(nfc, date)) << nfc;
        EXPECT_EQ(combinedHashOfNfcPath(nfc, date), djb2(fileUrlString(nfc)) * 33u + 1700000000u) << nfc;
    }

    // Out-of-range dates are clamped instead of failing.
    const uint32_t base = djb2(fileUrlString(path)) * 33u;
    EXPECT_EQ(combinedHash(path, dateFromSecondsSince1970(-5)), base);
    EXPECT_EQ(combinedHash(path, dateFromSecondsSince1970(1e12)), base + 4294967295u);
    EXPECT_EQ(combinedHash(path, dateFromSecondsSince1970(std::numeric_limits<double>::quiet_NaN())), base);
    EXPECT_EQ(combinedHash(path, dateFromSecondsSince1970(std::numeric_limits<double>::infinity())),
              base + 4294967295u);
}

}  // namespace
}  // namespace lumidex
