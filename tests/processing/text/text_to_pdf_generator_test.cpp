#include "processing/text/text_to_pdf_generator.h"

#include <gtest/gtest.h>

#include <string>

namespace lumidex::processing {
namespace {

TextToPdfGenerator small(std::size_t lines, std::size_t columns, std::size_t maxPages = 1000) {
    return TextToPdfGenerator(TextPageLayout{lines, columns, 4, maxPages});
}

TEST(TextToPdfGenerator, WrapsAtSpacesAndCutsOverlongWords) {
    EXPECT_EQ(small(10, 10).layoutPages("eins zwei drei vier"), (std::vector<std::string>{"eins zwei\ndrei vier"}));
    EXPECT_EQ(small(10, 4).layoutPages("abcdefghij"), (std::vector<std::string>{"abcd\nefgh\nij"}));
    // Widths count characters, not bytes.
    EXPECT_EQ(small(10, 5).layoutPages("\u00e4\u00f6\u00fc\u00df\u20ac \u00c4\u00d6"),
              (std::vector<std::string>{"\u00e4\u00f6\u00fc\u00df\u20ac\n\u00c4\u00d6"}));
}

TEST(TextToPdfGenerator, ParagraphsTabsAndLineEndings) {
    EXPECT_EQ(small(10, 20).layoutPages("a\r\nb\rc\n\nd\n"), (std::vector<std::string>{"a\nb\nc\n\nd"}));
    EXPECT_EQ(small(10, 20).layoutPages("ab\tc"), (std::vector<std::string>{"ab  c"}));
}

TEST(TextToPdfGenerator, SplitsIntoPages) {
    std::string text;
    for (int i = 0; i < 7; ++i) text += "line" + std::to_string(i) + "\n";
    EXPECT_EQ(small(3, 20).layoutPages(text),
              (std::vector<std::string>{"line0\nline1\nline2", "line3\nline4\nline5", "line6"}));
    EXPECT_EQ(small(3, 20).layoutPages("p1\fp2"), (std::vector<std::string>{"p1", "p2"}));
    EXPECT_EQ(small(3, 20, 2).layoutPages(text).size(), 2u);
    EXPECT_EQ(small(3, 20).layoutPages(""), (std::vector<std::string>{""}));
}

TEST(TextToPdfGenerator, DefaultLayoutFitsAMaximalTextFileInBoundedPages) {
    std::string text;
    while (text.size() < 512000) text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit. ";
    const auto pages = TextToPdfGenerator().layoutPages(text);
    EXPECT_GT(pages.size(), 50u);
    EXPECT_LT(pages.size(), 200u);
}

}  // namespace
}  // namespace lumidex::processing
