// Lays out a text as preview pages: a fixed grid of lines by characters, the way the text would sit on
// an A4 page in an 11-point sans-serif font with 2 cm margins (about 60 lines of 90 characters).
//
// Paragraphs ("\n", "\r\n" or "\r") start new lines; long lines wrap at the last space that fits, and
// words longer than a line are cut. Tabs advance to the next multiple of tabWidth; a form feed starts a
// new page. Widths are counted in Unicode scalar values (a combining mark counts as one). The result
// is the text of each page; turning pages into preview images is the renderer's job.
// Stateless and thread-safe; never throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::processing {

struct TextPageLayout {
    std::size_t linesPerPage = 60;
    std::size_t charactersPerLine = 90;
    std::size_t tabWidth = 4;
    std::size_t maxPages = 1000;  // the rest of a longer text is not laid out
};

class TextToPdfGenerator {
public:
    explicit TextToPdfGenerator(TextPageLayout layout = {});

    // At least one page (an empty text gives one empty page). Lines within a page are joined by "\n".
    std::vector<std::string> layoutPages(std::string_view text) const;

    const TextPageLayout& layout() const { return layout_; }

private:
    TextPageLayout layout_;
};

}  // namespace lumidex::processing
