#include <gtest/gtest.h>

#include <set>

#include "core/settings/settings.h"
#include "support/temp_home.h"

namespace lumidex {
namespace {

std::optional<std::string> check(std::string_view key, SettingValue value, std::string_view field) {
    const auto description = describeSetting(key);
    if (!description) return "no description";
    return checkSettingValue(*description, value, field);
}

TEST(SettingsTable, KeysAreUniqueAndDefaultsHaveTheirType) {
    std::set<std::string_view> keys;
    for (const auto& d : settingDescriptions()) {
        EXPECT_TRUE(keys.insert(d.key).second) << d.key;
        if (!d.defaultValue) continue;
        SettingValue copy = *d.defaultValue;
        EXPECT_EQ(checkSettingValue(d, copy, d.key), std::nullopt) << d.key;
    }
    const auto folding = describeSetting("searchIndexFoldingVersion_/data/Archiv");
    ASSERT_TRUE(folding);
    EXPECT_EQ(folding->type, SettingType::integer);
    EXPECT_FALSE(describeSetting("searchIndexFoldingVersion_"));
    EXPECT_FALSE(describeSetting("noSuchKey"));
}

TEST(SettingsTable, RangeChecksUseTheApiMessages) {
    EXPECT_EQ(check(SettingsKeys::startSearchCharacterCountKey, int64_t{0}, "min_char_count"),
              "min_char_count must be between 1 and 5");
    EXPECT_EQ(check(SettingsKeys::startSearchCharacterCountKey, int64_t{5}, "min_char_count"), std::nullopt);
    EXPECT_EQ(check(SettingsKeys::automaticallySearchAfterKey, int64_t{6}, "auto_search_delay"),
              "auto_search_delay must be between 0 and 5");
    EXPECT_EQ(check(SettingsKeys::limitSearchResultsTypeKey, int64_t{-1}, "result_limit_type"),
              "result_limit_type must be between 0 and 5");
    for (double size : {9.0, 24.5, 25.0})
        EXPECT_EQ(check(SettingsKeys::listFontSizeKey, size, "font_size"), "font_size must be between 10 and 24");
    for (double size : {10.0, 24.0}) EXPECT_EQ(check(SettingsKeys::listFontSizeKey, size, "font_size"), std::nullopt);
    EXPECT_EQ(check(SettingsKeys::numberOfRecentScanItems, 0.5, "number_of_recent_scan_items"),
              "number_of_recent_scan_items must be at least 1");
    // A user may raise the text file limit up to 50 MB, not beyond.
    EXPECT_EQ(check(SettingsKeys::maxTextFileSizeBytesKey, int64_t{50'000'000}, "maxTextFileSizeBytes"), std::nullopt);
    EXPECT_EQ(check(SettingsKeys::maxTextFileSizeBytesKey, int64_t{50'000'001}, "maxTextFileSizeBytes"),
              "maxTextFileSizeBytes must be between 1 and 50000000");
    EXPECT_EQ(check(SettingsKeys::sortOrderKey, std::string("foo"), "sortOrderKey"),
              "sortOrderKey must be one of: a2z, z2a, new2Old, old2New, relevance");
    EXPECT_EQ(check(SettingsKeys::showOcrRectsKey, std::string("true"), "show_ocr_rects"),
              "show_ocr_rects must be a Boolean (true or false)");
}

TEST(SettingsTable, IntegerForDoubleKeyIsConverted) {
    auto description = *describeSetting(SettingsKeys::listFontSizeKey);
    SettingValue value = int64_t{12};
    EXPECT_EQ(checkSettingValue(description, value, "font_size"), std::nullopt);
    EXPECT_EQ(value, SettingValue(12.0));
}

TEST(SettingsTable, ParsesCommandLineTextByType) {
    std::string error;
    EXPECT_EQ(parseSettingText(SettingType::boolean, "true", error), SettingValue(true));
    EXPECT_FALSE(parseSettingText(SettingType::boolean, "yes", error));
    EXPECT_EQ(parseSettingText(SettingType::integer, "-3", error), SettingValue(int64_t{-3}));
    for (const char* bad : {"", "3.0", "12abc", "99999999999999999999"})
        EXPECT_FALSE(parseSettingText(SettingType::integer, bad, error)) << bad;
    EXPECT_EQ(parseSettingText(SettingType::real, "13", error), SettingValue(13.0));
    for (const char* bad : {"", "nan", "inf", "1e999", "1,5"})
        EXPECT_FALSE(parseSettingText(SettingType::real, bad, error)) << bad;
    EXPECT_EQ(parseSettingText(SettingType::string, " as is ", error), SettingValue(std::string(" as is ")));
    EXPECT_EQ(parseSettingText(SettingType::stringList, "/a/b, /c d ,/e", error),
              SettingValue(StringList{"/a/b", "/c d", "/e"}));
    EXPECT_EQ(parseSettingText(SettingType::stringList, R"(["/x,y", " z"])", error),
              SettingValue(StringList{"/x,y", " z"}));
    EXPECT_EQ(parseSettingText(SettingType::stringList, "", error), SettingValue(StringList{}));
    EXPECT_FALSE(parseSettingText(SettingType::stringList, "[1, 2]", error));
    EXPECT_FALSE(parseSettingText(SettingType::stringList, "[\"open", error));
}

TEST(SettingsTable, FormatsValuesAsJson) {
    EXPECT_EQ(formatSettingValue(13.0), "13.0");
    EXPECT_EQ(formatSettingValue(int64_t{250}), "250");
    EXPECT_EQ(formatSettingValue(std::string("Auto")), "\"Auto\"");
    EXPECT_EQ(formatSettingValue(StringList{"a", "b"}), "[\"a\",\"b\"]");
}

}  // namespace
}  // namespace lumidex
