#include "platform/text_flow.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <span>

#include "platform/unicode.h"

namespace lumidex::platform {
namespace {

// A word's box turned so that its writing runs along +u and its lines follow each other along +v.
struct Box {
    double u0 = 0, v0 = 0, u1 = 0, v1 = 0;
    double height() const { return v1 - v0; }
    double centre() const { return (v0 + v1) / 2; }
};

Box normalised(const PositionedWord& w) {
    const double x0 = std::min(w.x0, w.x1), x1 = std::max(w.x0, w.x1);
    const double y0 = std::min(w.y0, w.y1), y1 = std::max(w.y0, w.y1);
    switch (w.rotation & 3) {
        case 1: return {y0, -x1, y1, -x0};
        case 2: return {-x1, -y1, -x0, -y0};
        case 3: return {-y1, x0, -y0, x1};
        default: return {x0, y0, x1, y1};
    }
}

bool isTextCharacter(char32_t c) {
    if (c == 0xFFFD) return false;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;  // C0 and C1 control codes
    return true;
}

std::string cleaned(const std::string& text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x20 && b < 0x7F;
    });
    if (plain) return text;
    std::u32string kept = decodeUtf8(text);
    std::erase_if(kept, [](char32_t c) { return !isTextCharacter(c); });
    return encodeUtf8(kept);
}

// Scripts written right to left: Hebrew, Arabic, Syriac, Thaana, NKo, Samaritan, Mandaic, and the
// Hebrew and Arabic presentation forms; their digits run left to right.
bool isRightToLeft(char32_t c) {
    if ((c >= 0x0660 && c <= 0x0669) || (c >= 0x06F0 && c <= 0x06F9)) return false;
    return (c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFF);
}

// +1 when the word's first letter belongs to a right-to-left script, -1 for any other letter, 0 without letters.
int direction(const std::string& text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::any_of(text.begin(), text.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); })
                   ? -1
                   : 0;
    }
    for (const char32_t c : decodeUtf8(text)) {
        if (isRightToLeft(c)) return 1;
        if (isLetter(c)) return -1;
    }
    return 0;
}

// A right-to-left word given in the order of its glyphs on the page, in logical order: the runs of
// right-to-left characters reversed, runs of other letters and digits kept in order but placed in
// reverse. Combining marks stay behind their base character.
std::string logicalOrder(const std::string& visual) {
    const std::u32string chars = decodeUtf8(visual);
    if (std::none_of(chars.begin(), chars.end(), isRightToLeft)) return visual;
    // Clusters (a character and its marks), each flagged as running left to right or not.
    std::vector<std::pair<std::u32string, bool>> clusters;
    for (const char32_t c : chars) {
        if (isMark(c) && !clusters.empty()) {
            clusters.back().first += c;
        } else {
            const bool leftToRight = !isRightToLeft(c) && (isLetter(c) || (c >= U'0' && c <= U'9') ||
                                                           (c >= 0x0660 && c <= 0x0669) || (c >= 0x06F0 && c <= 0x06F9));
            clusters.emplace_back(std::u32string(1, c), leftToRight);
        }
    }
    std::u32string logical;
    std::size_t end = clusters.size();
    while (end > 0) {
        std::size_t begin = end - 1;
        if (clusters[begin].second) {
            while (begin > 0 && clusters[begin - 1].second) --begin;
            for (std::size_t i = begin; i < end; ++i) logical += clusters[i].first;
        } else {
            logical += clusters[begin].first;
        }
        end = begin;
    }
    return encodeUtf8(logical);
}

template <class Key>
double median(std::span<const uint32_t> ids, Key key) {
    std::vector<double> values;
    values.reserve(ids.size());
    for (const uint32_t id : ids) values.push_back(key(id));
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Cuts nested deeper than this are not looked for: the region is read row by row. This bounds the
// work at that many sorts of the page's words; real pages need a handful of levels.
constexpr int maxDepth = 48;

class Orderer {
public:
    Orderer(const std::vector<PositionedWord>& words, const std::vector<Box>& boxes) : words_(words), boxes_(boxes) {}

    // Appends the region's words in reading order; lineStarts marks each word that begins a row.
    void order(std::span<uint32_t> ids, int depth) {
        if (ids.empty()) return;
        if (ids.size() == 1 || depth >= maxDepth) return readRows(ids);
        const double height = std::max(median(ids, [this](uint32_t id) { return boxes_[id].height(); }), 0.5);
        if (splitLineNumbers(ids, height, depth)) return;
        if (cutColumns(ids, height, depth)) return;
        if (cutBands(ids, height, depth)) return;
        if (cutBlocks(ids, height, depth)) return;
        readRows(ids);
    }

    std::vector<uint32_t> sequence;
    std::vector<bool> lineStarts;

private:
    // Line numbers in the margin of a listing or a manuscript: five or more numbers in a smaller type,
    // aligned at their right edge, left of every other word beside them. They are read as a column of
    // their own before the text, so that the text's lines follow each other without them.
    bool splitLineNumbers(std::span<uint32_t> ids, double height, int depth) {
        const auto isNumber = [this, height](uint32_t id) {
            const std::string& text = words_[id].text;
            return boxes_[id].height() < 0.9 * height && text.size() <= 6 &&
                   std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        const auto numbers = static_cast<std::size_t>(std::count_if(ids.begin(), ids.end(), isNumber));
        if (numbers < 5 || numbers == ids.size()) return false;
        double top = 0, bottom = 0, rightEdge = 0, lowestRight = 0;
        bool first = true;
        for (const uint32_t id : ids) {
            if (!isNumber(id)) continue;
            const Box& box = boxes_[id];
            top = first ? box.v0 : std::min(top, box.v0);
            bottom = first ? box.v1 : std::max(bottom, box.v1);
            rightEdge = first ? box.u1 : std::max(rightEdge, box.u1);
            lowestRight = first ? box.u1 : std::min(lowestRight, box.u1);
            first = false;
        }
        if (rightEdge - lowestRight > 0.25 * height) return false;
        for (const uint32_t id : ids) {
            const Box& box = boxes_[id];
            if (!isNumber(id) && box.v1 > top && box.v0 < bottom && box.u0 < rightEdge) return false;
        }
        const auto text = std::stable_partition(ids.begin(), ids.end(), isNumber);
        orderParts(ids, {static_cast<std::size_t>(text - ids.begin())}, depth);
        return true;
    }

    // Vertical gutters through the whole region, wider than most word spaces of its lines.
    bool cutColumns(std::span<uint32_t> ids, double height, int depth) {
        std::sort(ids.begin(), ids.end(), [this](uint32_t a, uint32_t b) { return boxes_[a].u0 < boxes_[b].u0; });
        const double gutter = 0.8 * height;
        std::vector<std::size_t> cuts;
        double reach = boxes_[ids[0]].u1;
        for (std::size_t i = 1; i < ids.size(); ++i) {
            const Box& box = boxes_[ids[i]];
            if (box.u0 - reach >= gutter) cuts.push_back(i);
            reach = std::max(reach, box.u1);
        }
        if (cuts.empty()) return false;
        orderParts(ids, cuts, depth);
        return true;
    }

    // Horizontal gaps around the lines that cross a gutter of the lines next to them: a heading or a
    // footer across two columns keeps the gutter from running through the whole region, and cutting
    // at every line gap would read the two columns line by line in turn. The region's strips (the
    // parts between horizontal gaps) are grouped into bands of consecutive strips that share a gutter;
    // the cuts around a band are taken when both sides of its shared gutter are as wide as a column of
    // text and at least three of its lines end flush at the gutter with words beyond it, so that the
    // band is then read column by column.
    bool cutBands(std::span<uint32_t> ids, double height, int depth) {
        std::sort(ids.begin(), ids.end(), [this](uint32_t a, uint32_t b) { return boxes_[a].v0 < boxes_[b].v0; });
        const double least = 0.05 * height;
        const double gutter = 0.8 * height;
        double left = boxes_[ids[0]].u0, right = boxes_[ids[0]].u1;
        for (const uint32_t id : ids) {
            left = std::min(left, boxes_[id].u0);
            right = std::max(right, boxes_[id].u1);
        }
        using Gaps = std::vector<std::pair<double, double>>;
        // The free stretches of a strip across the region's width, margins included.
        const auto freeGaps = [&](std::span<const uint32_t> strip) {
            std::vector<uint32_t> byU(strip.begin(), strip.end());
            std::sort(byU.begin(), byU.end(), [this](uint32_t a, uint32_t b) { return boxes_[a].u0 < boxes_[b].u0; });
            Gaps gaps;
            double reach = left;
            for (const uint32_t id : byU) {
                if (boxes_[id].u0 - reach >= gutter) gaps.emplace_back(reach, boxes_[id].u0);
                reach = std::max(reach, boxes_[id].u1);
            }
            if (right - reach >= gutter) gaps.emplace_back(reach, right);
            return gaps;
        };
        // Both lists are ordered and disjoint: one merge pass.
        const auto intersect = [&](const Gaps& a, const Gaps& b) {
            Gaps common;
            std::size_t i = 0, j = 0;
            while (i < a.size() && j < b.size()) {
                const double lo = std::max(a[i].first, b[j].first), hi = std::min(a[i].second, b[j].second);
                if (hi - lo >= gutter) common.emplace_back(lo, hi);
                (a[i].second < b[j].second ? i : j) += 1;
            }
            return common;
        };
        // Cut only around the bands read by columns: the others stay together, to be cut as before.
        std::vector<std::size_t> cuts;
        std::size_t bandBegin = 0, stripBegin = 0;
        // The band's strips: leftmost and rightmost edge, free stretches.
        struct Strip {
            double left, right;
            Gaps gaps;
        };
        std::vector<Strip> band;
        Gaps shared;
        // A gutter that has words on both sides in few strips is a wide space of a line; one with a narrow
        // side (numbers of a table of contents, the terms of a list) leaves the entries in rows.
        const auto closeBand = [&](std::size_t end) {
            bool divides = false;
            double bandLeft = right, bandRight = left;
            for (const Strip& strip : band) {
                bandLeft = std::min(bandLeft, strip.left);
                bandRight = std::max(bandRight, strip.right);
            }
            for (const auto& [lo, hi] : shared) {
                if (lo - bandLeft < 10 * height || bandRight - hi < 10 * height) continue;
                // Lines of a justified column end together at the gutter; the cells of a table do not.
                const auto flush = std::count_if(band.begin(), band.end(), [&, lo = lo, hi = hi](const Strip& strip) {
                    if (strip.left >= lo || strip.right <= hi) return false;
                    const auto gap = std::upper_bound(strip.gaps.begin(), strip.gaps.end(), lo,
                                                      [](double at, const auto& g) { return at < g.second; });
                    return gap != strip.gaps.end() && gap->first <= lo && gap->first >= lo - 0.5 * height;
                });
                divides = divides || flush >= 3;
            }
            if (!divides) return;
            if (bandBegin > 0 && (cuts.empty() || cuts.back() != bandBegin)) cuts.push_back(bandBegin);
            if (end < ids.size()) cuts.push_back(end);
        };
        double reach = boxes_[ids[0]].v1;
        for (std::size_t i = 1; i <= ids.size(); ++i) {
            if (i < ids.size() && boxes_[ids[i]].v0 - reach <= least) {
                reach = std::max(reach, boxes_[ids[i]].v1);
                continue;
            }
            const std::span<uint32_t> strip = ids.subspan(stripBegin, i - stripBegin);
            Gaps gaps = freeGaps(strip);
            double stripLeft = right, stripRight = left;
            for (const uint32_t id : strip) {
                stripLeft = std::min(stripLeft, boxes_[id].u0);
                stripRight = std::max(stripRight, boxes_[id].u1);
            }
            if (band.empty()) {
                shared = gaps;
            } else if (Gaps common = intersect(shared, gaps); !common.empty() || (shared.empty() && gaps.empty())) {
                shared = std::move(common);
            } else {
                closeBand(stripBegin);
                bandBegin = stripBegin;
                band.clear();
                shared = gaps;
            }
            band.push_back({stripLeft, stripRight, std::move(gaps)});
            stripBegin = i;
            if (i < ids.size()) reach = boxes_[ids[i]].v1;
        }
        closeBand(ids.size());
        if (cuts.empty()) return false;
        orderParts(ids, cuts, depth);
        return true;
    }

    // Horizontal gaps through the whole region. Where some gaps stand out (more than one and a half
    // times the typical one: a title above columns, a paragraph break) only those are cut, so that the
    // parts below can still be divided into columns; otherwise every gap is cut (the lines of a block).
    bool cutBlocks(std::span<uint32_t> ids, double height, int depth) {
        std::sort(ids.begin(), ids.end(), [this](uint32_t a, uint32_t b) { return boxes_[a].v0 < boxes_[b].v0; });
        const double least = 0.05 * height;
        std::vector<std::size_t> at;
        std::vector<double> gaps;
        double reach = boxes_[ids[0]].v1;
        for (std::size_t i = 1; i < ids.size(); ++i) {
            const Box& box = boxes_[ids[i]];
            if (box.v0 - reach > least) {
                at.push_back(i);
                gaps.push_back(box.v0 - reach);
            }
            reach = std::max(reach, box.v1);
        }
        if (at.empty()) return false;
        // The lower median: of a title gap and a single line gap, the line gap is the typical one.
        std::vector<double> sorted = gaps;
        const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>((sorted.size() - 1) / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        const double standOut = 1.5 * *middle;
        std::vector<std::size_t> cuts;
        for (std::size_t i = 0; i < at.size(); ++i) {
            if (gaps[i] > standOut) cuts.push_back(at[i]);
        }
        orderParts(ids, cuts.empty() ? at : cuts, depth);
        return true;
    }

    void orderParts(std::span<uint32_t> ids, const std::vector<std::size_t>& cuts, int depth) {
        std::size_t begin = 0;
        for (const std::size_t cut : cuts) {
            order(ids.subspan(begin, cut - begin), depth + 1);
            begin = cut;
        }
        order(ids.subspan(begin), depth + 1);
    }

    // Rows by the words' vertical centres, each row left to right (right to left when most of its
    // words are in a right-to-left script).
    void readRows(std::span<uint32_t> ids) {
        const double typical = std::max(median(ids, [this](uint32_t id) { return boxes_[id].height(); }), 0.5);
        std::sort(ids.begin(), ids.end(),
                  [this](uint32_t a, uint32_t b) { return boxes_[a].centre() < boxes_[b].centre(); });
        std::size_t begin = 0;
        while (begin < ids.size()) {
            // A word belongs to the row while its centre lies above the lowest bottom of the row's words
            // so far, each bottom taken at most half the typical height below its centre: a raised
            // footnote mark that sorts first does not cut its line short, a lowered glyph (the "E" of a
            // logo) stays in it, and one tall word does not swallow the next line.
            double reach = std::min(boxes_[ids[begin]].v1, boxes_[ids[begin]].centre() + typical / 2);
            std::size_t end = begin + 1;
            while (end < ids.size() && boxes_[ids[end]].centre() <= reach) {
                const Box& box = boxes_[ids[end]];
                reach = std::max(reach, std::min(box.v1, box.centre() + typical / 2));
                ++end;
            }
            std::span<uint32_t> row = ids.subspan(begin, end - begin);
            int rightToLeft = 0;
            for (const uint32_t id : row) rightToLeft += direction(words_[id].text);
            if (rightToLeft > 0) {
                std::sort(row.begin(), row.end(), [this](uint32_t a, uint32_t b) { return boxes_[a].u1 > boxes_[b].u1; });
            } else {
                std::sort(row.begin(), row.end(), [this](uint32_t a, uint32_t b) { return boxes_[a].u0 < boxes_[b].u0; });
            }
            for (std::size_t i = 0; i < row.size(); ++i) {
                sequence.push_back(row[i]);
                lineStarts.push_back(i == 0);
            }
            begin = end;
        }
    }

    const std::vector<PositionedWord>& words_;
    const std::vector<Box>& boxes_;
};

// A word that begins a row of its own region continues the line of the word read before it (a table
// cell beside the previous one) when the centre of one lies within the other's height and it lies to
// the right.
bool continuesLine(const Box& a, const Box& b) {
    const bool within = (b.centre() >= a.v0 && b.centre() <= a.v1) || (a.centre() >= b.v0 && a.centre() <= b.v1);
    return within && b.u0 >= a.u0;
}

constexpr std::array<std::string_view, 4> keepingWords{"und", "oder", "and", "or"};

bool isHyphen(char32_t c) { return c == U'-' || c == 0x2010; }

}  // namespace

std::string readingOrderText(std::vector<PositionedWord> words) {
    for (PositionedWord& word : words) {
        word.text = cleaned(word.text);
        if (word.glyphsLeftToRight && direction(word.text) > 0) word.text = logicalOrder(word.text);
    }
    std::erase_if(words, [](const PositionedWord& word) { return word.text.empty(); });
    if (words.empty()) return {};

    std::array<std::vector<uint32_t>, 4> byRotation;
    std::vector<Box> boxes;
    boxes.reserve(words.size());
    for (uint32_t i = 0; i < words.size(); ++i) {
        boxes.push_back(normalised(words[i]));
        byRotation[static_cast<std::size_t>(words[i].rotation & 3)].push_back(i);
    }
    std::array<std::size_t, 4> rotations{0, 1, 2, 3};
    std::stable_sort(rotations.begin(), rotations.end(),
                     [&](std::size_t a, std::size_t b) { return byRotation[a].size() > byRotation[b].size(); });

    Orderer orderer(words, boxes);
    orderer.sequence.reserve(words.size());
    for (const std::size_t rotation : rotations) {
        const std::size_t begin = orderer.sequence.size();
        orderer.order(byRotation[rotation], 0);
        // A new writing direction never continues the last line of the previous one.
        if (begin < orderer.lineStarts.size()) orderer.lineStarts[begin] = true;
    }

    const auto& sequence = orderer.sequence;
    // touching[i]: word i continues word i - 1 on its line without white space between them.
    std::vector<bool> touching(sequence.size(), false);
    std::vector<bool> newLine(sequence.size(), false);
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        const PositionedWord& previous = words[sequence[i - 1]];
        const Box& a = boxes[sequence[i - 1]];
        const Box& b = boxes[sequence[i]];
        // Words of one row are one line, however far a raised or lowered glyph stands from its neighbour.
        if ((previous.rotation & 3) != (words[sequence[i]].rotation & 3) ||
            (orderer.lineStarts[i] && !continuesLine(a, b))) {
            newLine[i] = true;
            continue;
        }
        const double gap = b.u0 >= a.u0 ? b.u0 - a.u1 : a.u0 - b.u1;
        touching[i] = !previous.spaceAfter && gap < 0.1 * std::max(a.height(), b.height());
    }
    // A touching piece on the same baseline and of the same size is part of the word (a change of font
    // inside it). A raised or lowered piece is part of it only inside a chain of three or more touching
    // pieces (the "A" of a logo); a pair of them is a word and its mark (a footnote sign, an index).
    const auto aligned = [&](std::size_t i) {
        const Box& a = boxes[sequence[i - 1]];
        const Box& b = boxes[sequence[i]];
        const double height = std::max(a.height(), b.height());
        return std::abs(a.v1 - b.v1) < 0.15 * height && std::min(a.height(), b.height()) > 0.8 * height;
    };
    std::vector<bool> joined(sequence.size(), false);
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        joined[i] = touching[i] && (aligned(i) || touching[i - 1] || (i + 1 < sequence.size() && touching[i + 1]));
    }

    std::string text;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        if (i > 0 && !joined[i]) text += newLine[i] ? '\n' : ' ';
        text += words[sequence[i]].text;
    }
    return text;
}

LineJoin lineJoin(std::string_view line, std::string_view nextLine) {
    const std::u32string end = decodeUtf8(line.substr(line.size() - std::min<std::size_t>(line.size(), 16)));
    const std::u32string next = decodeUtf8(nextLine.substr(0, std::min<std::size_t>(nextLine.size(), 16)));
    if (end.size() < 2 || next.empty()) return LineJoin::separate;
    const char32_t hyphen = end.back();
    const char32_t before = end[end.size() - 2];
    const char32_t after = next.front();
    if (!isLetter(before) || !isLetter(after)) return LineJoin::separate;
    if (hyphen == 0xAD) return LineJoin::removeHyphen;
    if (!isHyphen(hyphen)) return LineJoin::separate;
    if (isUppercaseLetter(after)) return LineJoin::keepHyphen;
    if (!isLowercaseLetter(after)) return LineJoin::separate;
    // "Ein- und Ausgabe": the hyphen stands for a word part that follows later.
    std::size_t length = 0;
    while (length < next.size() && isLetter(next[length])) ++length;
    for (const std::string_view word : keepingWords) {
        if (length == word.size() && std::equal(word.begin(), word.end(), next.begin(),
                                                [](char a, char32_t b) { return static_cast<char32_t>(a) == b; })) {
            return LineJoin::separate;
        }
    }
    return LineJoin::removeHyphen;
}

std::string_view withoutEndHyphen(std::string_view line) {
    if (line.ends_with('-')) return line.substr(0, line.size() - 1);
    if (line.ends_with("\u00AD")) return line.substr(0, line.size() - 2);
    if (line.ends_with("\u2010")) return line.substr(0, line.size() - 3);
    return line;
}

std::string joinHyphenatedLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t lineBegin = 0;
    while (lineBegin <= text.size()) {
        const std::size_t feed = text.find('\n', lineBegin);
        if (feed == std::string_view::npos) {
            out.append(text.substr(lineBegin));
            break;
        }
        // The line without trailing blanks, and the next line's first visible character.
        std::size_t lineEnd = feed;
        while (lineEnd > lineBegin && (text[lineEnd - 1] == ' ' || text[lineEnd - 1] == '\t' || text[lineEnd - 1] == '\r')) {
            --lineEnd;
        }
        std::size_t next = feed + 1;
        while (next < text.size() && (text[next] == ' ' || text[next] == '\t')) ++next;
        const std::string_view line = text.substr(lineBegin, lineEnd - lineBegin);
        const LineJoin join = lineJoin(line, text.substr(next));
        if (join == LineJoin::separate) {
            out.append(text.substr(lineBegin, feed + 1 - lineBegin));
        } else {
            out.append(join == LineJoin::removeHyphen ? withoutEndHyphen(line) : line);
        }
        lineBegin = join == LineJoin::separate ? feed + 1 : next;
    }
    return out;
}

}  // namespace lumidex::platform
