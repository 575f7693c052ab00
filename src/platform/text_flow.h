// Text of a page from its positioned words, as a reader takes it in: columns one after the other, the
// lines of a block in order, and words hyphenated at a line end joined again.
//
// readingOrderText() orders the words by recursive cuts through the white space of the page: first at
// vertical gutters (columns, table columns, margin notes; a gutter must run through the whole region
// and be wider than most of the region's word spaces), else around the lines of columns whose gutter a
// heading or footer across them interrupts, else at horizontal gaps (blocks, paragraphs, lines). Line
// numbers in small type beside a listing are read as a column of their own. A region that no gutter or
// gap divides is read row by row; raised or lowered glyphs (marks, logo letters) stay in their row. Every word of the input appears
// exactly once in the output, so no word is lost whatever the layout (tables, scattered labels, rotated
// text). Words of each writing direction (rotation) are read in their own frame, the most frequent
// direction first. Time is O(n log n) per level of cuts; the levels are bounded.
//
// Pure functions: thread-safe, nothing throws except std::bad_alloc.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumidex::platform {

struct PositionedWord {
    std::string text;  // UTF-8
    // The word's box in points, origin at the top-left of the page, y growing downwards.
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    // Quarter turns clockwise of the writing direction: 0 left to right, 1 top to bottom, 2 upside
    // down, 3 bottom to top.
    int rotation = 0;
    bool spaceAfter = true;  // the document itself separates this word from the next
    // The characters stand in the order of their glyphs from left to right, as the library gives
    // them; a word of a right-to-left script is then turned into its logical order.
    bool glyphsLeftToRight = false;
};

// The words in reading order: words of one line separated by a space (none between two touching
// pieces of one word; a raised or lowered piece joins only inside a chain of three or more, as the
// "A" of a logo does, not a lone footnote mark), lines and blocks by a line feed. Rows whose words are mostly of
// a right-to-left script are read from the right. Control characters and U+FFFD in the words are
// dropped (fonts without a Unicode map yield character codes, not text); a word left empty is dropped.
// Hyphenated line ends are not joined here: see joinHyphenatedLines().
std::string readingOrderText(std::vector<PositionedWord> words);

// How a line that ends in `line` continues with `nextLine`:
//   removeHyphen: the line ends in a letter and a hyphen (ASCII hyphen-minus or U+2010) and the next
//     line starts with a lower-case letter and is not the word "und", "oder", "and" or "or": one word
//     broken at the line end ("inaccu-" / "racies"); also a letter and a soft hyphen (U+00AD) before
//     any letter;
//   keepHyphen: a letter and a hyphen before an upper- or title-case letter: a compound ("E-" / "Mail");
//   separate: everything else, among them "Ein-" / "und Ausgabe".
enum class LineJoin { separate, removeHyphen, keepHyphen };
LineJoin lineJoin(std::string_view line, std::string_view nextLine);

// `line` without the hyphen at its end (ASCII hyphen-minus, U+2010 or U+00AD); unchanged without one.
std::string_view withoutEndHyphen(std::string_view line);

// Applies lineJoin() at every line feed of `text` (white space around the line feed is ignored):
// removeHyphen drops the hyphen and the line break, keepHyphen only the line break. Other line breaks
// stay as they are.
std::string joinHyphenatedLines(std::string_view text);

}  // namespace lumidex::platform
