#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include "platform/media_fixtures.h"
#include "platform/pdf_document.h"
#include "platform/text_flow.h"
#include "support/temp_home.h"

namespace lumidex::platform {
namespace {
namespace fs = std::filesystem;
using testing::makePdf;
using testing::PdfPageFixture;
using testing::PdfRect;
using testing::PdfTextLine;
using testing::TempDir;
using testing::writeBinaryFile;

fs::path writePdf(const TempDir& dir, const std::string& name, const std::vector<PdfPageFixture>& pages) {
    const fs::path path = dir / name;
    writeBinaryFile(path, makePdf(pages));
    return path;
}

std::unique_ptr<PdfDocument> open(const fs::path& path) {
    auto result = openPdfDocument(path);
    EXPECT_TRUE(result) << (result.error ? result.error->message() : "");
    return std::move(result.document);
}

int darkPixels(const Bitmap& b, int x0, int y0, int x1, int y1) {
    int dark = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            if (b.bytes[static_cast<std::size_t>(y) * b.stride() + static_cast<std::size_t>(x * b.channels)] < 100) ++dark;
        }
    }
    return dark;
}

TEST(MediaPdf, ReadsPagesSizesAndEmbeddedText) {
    TempDir dir;
    PdfPageFixture letter;
    letter.lines = {{72, 700, 24, "Hello Lumidex invoice 4711"}};
    PdfPageFixture poster{3000, 2000, 0, {{100, 1000, 40, "Poster page"}}, {}};
    PdfPageFixture blank{400, 300, 0, {}, {}};
    auto doc = open(writePdf(dir, "three.pdf", {letter, poster, blank}));
    ASSERT_TRUE(doc);

    EXPECT_FALSE(doc->isLocked());
    EXPECT_FALSE(doc->isEncrypted());
    EXPECT_TRUE(doc->unlock(""));  // nothing to unlock
    ASSERT_EQ(doc->pageCount(), 3);
    ASSERT_TRUE(doc->mediaBox(0));
    EXPECT_DOUBLE_EQ(doc->mediaBox(0)->width, 612);
    EXPECT_DOUBLE_EQ(doc->mediaBox(0)->height, 792);
    EXPECT_DOUBLE_EQ(doc->mediaBox(1)->width, 3000);
    EXPECT_DOUBLE_EQ(doc->mediaBox(1)->height, 2000);

    EXPECT_NE(doc->pageText(0).find("Hello Lumidex invoice 4711"), std::string::npos) << doc->pageText(0);
    EXPECT_NE(doc->pageText(1).find("Poster page"), std::string::npos);
    EXPECT_EQ(doc->pageText(2).find_first_not_of(" \n\r\t\f"), std::string::npos);

    // Out of range is empty, not a crash.
    EXPECT_FALSE(doc->mediaBox(3));
    EXPECT_FALSE(doc->mediaBox(-1));
    EXPECT_EQ(doc->pageText(3), "");
    EXPECT_FALSE(doc->renderPage(3, 10, 10));
}

TEST(MediaPdf, RotatedPageReportsItsDisplayedSize) {
    TempDir dir;
    PdfPageFixture page;
    page.rotate = 90;
    auto doc = open(writePdf(dir, "rotated.pdf", {page}));
    ASSERT_TRUE(doc);
    EXPECT_DOUBLE_EQ(doc->mediaBox(0)->width, 792);
    EXPECT_DOUBLE_EQ(doc->mediaBox(0)->height, 612);
    const auto bitmap = doc->renderPage(0, 198, 153);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->width, 198);
    EXPECT_EQ(bitmap->height, 153);
}

TEST(MediaPdf, ListsTheRasterImagesAPageDrawsWithDrawnAndPixelSize) {
    TempDir dir;
    PdfPageFixture pictures;
    pictures.lines = {{72, 700, 12, "A caption under the picture"}};
    pictures.rects = {{72, 72, 300, 200, 0.2, 0.4, 0.6}};  // a vector figure is no image
    pictures.images = {{72, 400, 144, 36, 200, 50, {}}, {300, 500, 20, 20, 16, 16, {}}};
    PdfPageFixture turned = pictures;  // the same, turned and written inline
    turned.rotate = 90;
    for (testing::PdfImage& image : turned.images) image.inlineImage = true;
    PdfPageFixture figureOnly;
    figureOnly.rects = pictures.rects;
    // Ten letter-sized round shapes (outlined letters, or a plot's markers) and one big disc.
    for (int i = 0; i < 10; ++i) figureOnly.paths += testing::filledCircle(80 + 20 * i, 500, 6);
    figureOnly.paths += testing::filledCircle(300, 300, 100);
    auto doc = open(writePdf(dir, "pictures.pdf", {pictures, turned, figureOnly}));
    ASSERT_TRUE(doc);
    for (int page : {0, 1}) {
        const std::vector<PdfDrawnImage> images = doc->pageDrawing(page).images;
        ASSERT_EQ(images.size(), 2u) << "page " << page;
        // Along the image's own axes: a turned page keeps the image's width and height.
        EXPECT_NEAR(images[0].drawnWidth, 144, 0.01);
        EXPECT_NEAR(images[0].drawnHeight, 36, 0.01);
        EXPECT_EQ(images[0].pixelWidth, 200);
        EXPECT_EQ(images[0].pixelHeight, 50);
        EXPECT_NEAR(images[1].drawnWidth, 20, 0.01);
    }
    // Where the first image lands, from the top-left of the page as rendered: 72 pt from the left edge
    // and 400 pt up on the 612 × 792 page; on the turned page (792 × 612) it stands upright.
    const PdfRegion upright = doc->pageDrawing(0).images[0].bounds;
    EXPECT_NEAR(upright.left, 72, 0.01);
    EXPECT_NEAR(upright.top, 792 - 400 - 36, 0.01);
    EXPECT_NEAR(upright.width, 144, 0.01);
    EXPECT_NEAR(upright.height, 36, 0.01);
    const PdfRegion turnedBounds = doc->pageDrawing(1).images[0].bounds;
    EXPECT_NEAR(turnedBounds.width, 36, 0.01);
    EXPECT_NEAR(turnedBounds.height, 144, 0.01);
    EXPECT_NEAR(turnedBounds.left, 400, 0.01);
    EXPECT_NEAR(turnedBounds.top, 72, 0.01);
    EXPECT_EQ(doc->pageDrawing(0).letterLikeShapes, 0);  // rectangles are no letters
    const PdfPageDrawing shapes = doc->pageDrawing(2);
    EXPECT_TRUE(shapes.images.empty());
    EXPECT_EQ(shapes.letterLikeShapes, 10);
    EXPECT_TRUE(doc->pageDrawing(3).images.empty());
    EXPECT_TRUE(doc->pageDrawing(-1).images.empty());
}

TEST(MediaPdf, RendersExactSizeInGrayAndRgb) {
    TempDir dir;
    // A black square in the lower-left quarter and a red one in the upper-right quarter of a 200 x 100 page.
    PdfPageFixture page{200, 100, 0, {}, {{10, 10, 40, 30, 0, 0, 0}, {150, 60, 40, 30, 1, 0, 0}}};
    auto doc = open(writePdf(dir, "squares.pdf", {page}));
    ASSERT_TRUE(doc);

    const auto gray = doc->renderPage(0, 400, 200, PdfRenderColor::gray);
    ASSERT_TRUE(gray);
    EXPECT_EQ(gray->width, 400);
    EXPECT_EQ(gray->height, 200);
    EXPECT_EQ(gray->channels, 1);
    EXPECT_TRUE(gray->isValid());
    // Bitmap rows run top to bottom: the black square (y 10..40 pt) is near the bottom rows.
    EXPECT_EQ(darkPixels(*gray, 30, 130, 90, 170), 60 * 40);
    EXPECT_EQ(darkPixels(*gray, 30, 30, 90, 70), 0);
    EXPECT_EQ(gray->bytes[0], 255);  // paper is white

    const auto rgb = doc->renderPage(0, 400, 200, PdfRenderColor::rgb);
    ASSERT_TRUE(rgb);
    EXPECT_EQ(rgb->channels, 3);
    const std::size_t red = 50 * rgb->stride() + 340 * 3;  // inside the red square
    EXPECT_GT(rgb->bytes[red], 200);
    EXPECT_LT(rgb->bytes[red + 1], 50);
    EXPECT_LT(rgb->bytes[red + 2], 50);

    EXPECT_FALSE(doc->renderPage(0, 0, 100));
    EXPECT_FALSE(doc->renderPage(0, 100, -1));

    // A part of the page is the same pixels as in the whole page: the black square with 5 points to
    // spare (5..55 × 55..95 pt from the top-left), and a region past the edge is cut to the page.
    const auto part = doc->renderRegion(0, PdfRegion{5, 55, 50, 40}, 2.0, PdfRenderColor::gray);
    ASSERT_TRUE(part);
    ASSERT_EQ(part->width, 100);
    ASSERT_EQ(part->height, 80);
    for (int y = 0; y < part->height; ++y) {
        ASSERT_EQ(0, std::memcmp(part->bytes.data() + y * part->stride(), gray->bytes.data() + (110 + y) * gray->stride() + 10,
                                 part->stride()))
            << "row " << y;
    }
    EXPECT_EQ(darkPixels(*part, 10, 10, 90, 70), 80 * 60);
    const auto corner = doc->renderRegion(0, PdfRegion{180, -10, 50, 30}, 2.0, PdfRenderColor::gray);
    ASSERT_TRUE(corner);
    EXPECT_EQ(corner->width, 40);
    EXPECT_EQ(corner->height, 40);
    EXPECT_FALSE(doc->renderRegion(0, PdfRegion{300, 0, 10, 10}, 2.0));
    EXPECT_FALSE(doc->renderRegion(0, PdfRegion{0, 0, 10, 10}, 0));

    // On a turned page the region is taken from the page as shown (100 x 200 points).
    PdfPageFixture turnedPage = page;
    turnedPage.rotate = 90;
    auto turned = open(writePdf(dir, "turned-squares.pdf", {turnedPage}));
    ASSERT_TRUE(turned);
    const auto whole = turned->renderPage(0, 200, 400, PdfRenderColor::gray);
    const auto strip = turned->renderRegion(0, PdfRegion{20, 140, 60, 50}, 2.0, PdfRenderColor::gray);
    ASSERT_TRUE(whole && strip);
    ASSERT_EQ(strip->width, 120);
    ASSERT_EQ(strip->height, 100);
    for (int y = 0; y < strip->height; ++y) {
        ASSERT_EQ(0, std::memcmp(strip->bytes.data() + y * strip->stride(),
                                 whole->bytes.data() + (280 + y) * whole->stride() + 40, strip->stride()))
            << "row " << y;
    }
    EXPECT_GT(darkPixels(*strip, 0, 0, 120, 100), 0);
}

TEST(MediaPdf, EmptyMediaBoxHasZeroSizeAndDoesNotRender) {
    TempDir dir;
    PdfPageFixture page{0, 0, 0, {}, {}};
    auto doc = open(writePdf(dir, "empty-box.pdf", {page}));
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->pageCount(), 1);
    const auto box = doc->mediaBox(0);
    // The library may substitute a default box for an empty one; either way nothing crashes and a
    // zero-sized box does not render.
    if (box && (box->width <= 0 || box->height <= 0)) {
        EXPECT_FALSE(doc->renderPage(0, 10, 10));
    }
}

TEST(MediaPdf, MissingGarbageEmptyAndTruncatedFilesAreErrorsNotCrashes) {
    TempDir dir;
    auto missing = openPdfDocument(dir / "nope.pdf");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error->kind, PdfOpenError::Kind::fileNotFound);
    EXPECT_NE(missing.error->message().find("nope.pdf"), std::string::npos);

    writeBinaryFile(dir / "garbage.pdf", std::string(5000, 'x'));
    auto garbage = openPdfDocument(dir / "garbage.pdf");
    ASSERT_FALSE(garbage);
    EXPECT_EQ(garbage.error->kind, PdfOpenError::Kind::unreadable);

    writeBinaryFile(dir / "zero.pdf", "");
    EXPECT_FALSE(openPdfDocument(dir / "zero.pdf"));

    EXPECT_FALSE(openPdfDocument(dir.path()));  // a directory

    PdfPageFixture page;
    page.lines = {{72, 700, 24, "Truncated document text"}};
    const std::string whole = makePdf({page, page});
    for (std::size_t cut : {std::size_t{20}, whole.size() / 3, whole.size() / 2, whole.size() - 30}) {
        const fs::path path = dir / ("cut" + std::to_string(cut) + ".pdf");
        writeBinaryFile(path, whole.substr(0, cut));
        auto result = openPdfDocument(path);
        if (!result) continue;  // refusing is fine; a reconstructed document must behave
        const int pages = result.document->pageCount();
        for (int i = 0; i < pages; ++i) {
            (void)result.document->pageText(i);
            (void)result.document->renderPage(i, 50, 60);
        }
    }
}

TEST(MediaPdf, DocumentsAreUsableFromSeveralThreads) {
    TempDir dir;
    PdfPageFixture page{200, 100, 0, {{10, 40, 20, "Concurrent"}}, {{120, 10, 40, 30, 0, 0, 0}}};
    const fs::path path = writePdf(dir, "shared.pdf", {page, page});
    auto shared = open(path);
    ASSERT_TRUE(shared);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            auto own = openPdfDocument(path);  // a document of its own beside the shared one
            for (int i = 0; i < 8; ++i) {
                const PdfDocument& doc = (i + t) % 2 == 0 ? *shared : *own.document;
                const auto bitmap = doc.renderPage(i % 2, 200, 100, i % 3 == 0 ? PdfRenderColor::rgb : PdfRenderColor::gray);
                if (!bitmap || darkPixels(*bitmap, 125, 65, 155, 85) != 30 * 20) ++failures;
                if (doc.pageText(i % 2).find("Concurrent") == std::string::npos) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

std::map<std::string, int> wordCounts(const std::string& text) {
    std::map<std::string, int> counts;
    std::istringstream words(text);
    for (std::string word; words >> word;) ++counts[word];
    return counts;
}

std::map<std::string, int> wordCounts(const std::vector<PdfTextLine>& lines) {
    std::string text;
    for (const PdfTextLine& line : lines) text += line.text + " ";
    return wordCounts(text);
}

// Two columns on shared baselines with a 20-point gutter, as typeset manuals have them.
std::vector<PdfTextLine> twoColumns() {
    const std::vector<std::string> left{"Package tools check the inaccu-", "racies of every archive before",
                                        "the upload. Replies come by E-",  "Mail to the maintainer, whose Ein-",
                                        "und Ausgabe logs stay in the",    "archive for thirty days."};
    const std::vector<std::string> right{"Mirrors answer within seconds and", "keep copies of every release. Old",
                                         "versions are pruned after a year", "unless a maintainer pins them."};
    std::vector<PdfTextLine> lines;
    for (std::size_t i = 0; i < left.size(); ++i) lines.push_back({60, 700 - 12.0 * static_cast<double>(i), 10, left[i]});
    for (std::size_t i = 0; i < right.size(); ++i) lines.push_back({300, 700 - 12.0 * static_cast<double>(i), 10, right[i]});
    return lines;
}

TEST(MediaPdf, PageTextReadsColumnsInOrderAndJoinsWordsHyphenatedAtLineEnds) {
    TempDir dir;
    PdfPageFixture page;
    page.lines = twoColumns();
    auto doc = open(writePdf(dir, "columns.pdf", {page}));
    ASSERT_TRUE(doc);
    const std::string text = doc->pageText(0);

    // The left column is read to its end before the right one starts, its lines in order.
    EXPECT_LT(text.find("thirty days."), text.find("Mirrors")) << text;
    EXPECT_NE(text.find("versions are pruned after a year\nunless"), std::string::npos) << text;
    // "inaccu-" / "racies" is one word again, and a phrase across that line break is found.
    EXPECT_NE(text.find("check the inaccuracies of every archive"), std::string::npos) << text;
    EXPECT_EQ(text.find("inaccu-"), std::string::npos) << text;
    // A capitalised continuation is a compound: the hyphen stays. So does "Ein-" before "und".
    EXPECT_NE(text.find("by E-Mail to the maintainer"), std::string::npos) << text;
    EXPECT_NE(text.find("whose Ein-\nund Ausgabe"), std::string::npos) << text;

    // The same page turned by /Rotate reads the same.
    page.rotate = 90;
    auto turned = open(writePdf(dir, "columns-turned.pdf", {page}));
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->pageText(0), text);

    // A title across both columns, and a paragraph break at the same height in both: the columns are
    // still read one after the other, not part by part. (Digits are equally wide, so the left lines end
    // flush as in a justified column.)
    PdfPageFixture parts;
    parts.lines.push_back({60, 740, 16, "A title set across both columns of this page"});
    for (int i = 0; i < 6; ++i) {
        const double y = 700 - 12.0 * i - (i >= 3 ? 10 : 0);
        const std::string n = "0" + std::to_string(i + 1);
        parts.lines.push_back({60, y, 10, "left column line " + n + " of the text"});
        parts.lines.push_back({300, y, 10, "right column line " + n + " of the text"});
    }
    auto partsDoc = open(writePdf(dir, "column-parts.pdf", {parts}));
    ASSERT_TRUE(partsDoc);
    const std::string partsText = partsDoc->pageText(0);
    EXPECT_NE(partsText.find("line 03 of the text\nleft column line 04"), std::string::npos) << partsText;
    EXPECT_LT(partsText.find("left column line 06"), partsText.find("right column line 01")) << partsText;

    // Line numbers in small type close beside a listing are a column of their own: the listing's lines
    // follow each other without a number between them.
    PdfPageFixture listing;
    const std::vector<std::string> code{"local total = 0", "for each value", "add the value", "to the total", "end"};
    for (std::size_t i = 0; i < code.size(); ++i) {
        const double y = 700 - 12.0 * static_cast<double>(i);
        listing.lines.push_back({60, y, 7, std::to_string(21 + i)});
        listing.lines.push_back({72, y, 10, code[i]});
    }
    auto listingDoc = open(writePdf(dir, "listing.pdf", {listing}));
    ASSERT_TRUE(listingDoc);
    const std::string listingText = listingDoc->pageText(0);
    EXPECT_NE(listingText.find("for each value\nadd the value\nto the total"), std::string::npos) << listingText;
    EXPECT_EQ(wordCounts(listingText), wordCounts(listing.lines));
}

// Words of a line with a raised footnote mark and a logo whose lowered letter makes its box deeper
// (boxes as the PDF library gives them for a typeset page): the line stays one line, so its hyphenated
// end is joined with the next line.
TEST(MediaPdf, RaisedAndLoweredGlyphsStayInTheirLine) {
    const auto word = [](std::string text, double x0, double y0, double x1, double y1, bool space = true) {
        PositionedWord w{std::move(text), x0, y0, x1, y1};
        w.spaceAfter = space;
        return w;
    };
    const std::vector<PositionedWord> words{
        word("Skriptsprache,", 117.83, 464.97, 185.83, 474.66), word("die", 189.86, 464.97, 203.80, 474.66),
        word("wie", 207.84, 464.97, 223.60, 474.66), word("bei", 227.63, 464.97, 241.88, 474.66),
        word("docstrip.tex", 245.91, 464.97, 299.09, 474.66, false), word("3", 299.09, 463.05, 303.32, 470.13),
        word("durch", 307.86, 464.97, 334.86, 474.66), word("die", 338.89, 464.97, 352.83, 474.66),
        word("TEX-Engine", 356.87, 464.97, 413.69, 477.00),
        word("selbst", 417.72, 464.97, 444.51, 474.66), word("verar-", 448.55, 464.97, 476.48, 474.66, false),
        word("beitet", 117.83, 478.52, 145.41, 488.20), word("wird,", 150.05, 478.52, 174.33, 488.20)};
    // The mark sorts first by its centre; the logo lies lowest.
    for (const auto& order : {words, std::vector<PositionedWord>(words.rbegin(), words.rend())}) {
        EXPECT_EQ(joinHyphenatedLines(readingOrderText(order)),
                  "Skriptsprache, die wie bei docstrip.tex 3 durch die TEX-Engine selbst verarbeitet wird,");
    }
}

TEST(MediaPdf, PageTextLosesNoWordOfTablesTurnedTextOrScatteredLabels) {
    TempDir dir;
    PdfPageFixture table;
    for (int row = 0; row < 8; ++row) {
        for (int column = 0; column < 5; ++column) {
            const std::string cell = "r" + std::to_string(row) + "c" + std::to_string(column) + (column == 0 ? " label" : "");
            table.lines.push_back({60 + 100.0 * column, 700 - 14.0 * row, 9, cell});
        }
    }
    PdfPageFixture turned;  // text in all four directions beside an ordinary paragraph
    turned.lines = {{100, 600, 12, "an ordinary line of text"}, {100, 585, 12, "and its second line"},
                    {40, 200, 12, "written upwards along the margin", 90},
                    {560, 700, 12, "written downwards along the edge", 270},
                    {400, 100, 12, "upside down footer words", 180}};
    PdfPageFixture scattered;  // labels of a drawing: jittered cells, several sizes, no two touching
    for (int i = 0; i < 400; ++i) {
        const double jitter = (i * 37 % 11) / 11.0;
        scattered.lines.push_back({20 + 29.0 * (i % 20) + 6 * jitter, 760 - 37.0 * (i / 20) - 9 * jitter,
                                   4.0 + (i % 4), "lbl" + std::to_string(i)});
    }
    auto doc = open(writePdf(dir, "layouts.pdf", {table, turned, scattered}));
    ASSERT_TRUE(doc);
    EXPECT_EQ(wordCounts(doc->pageText(0)), wordCounts(table.lines));
    const std::string turnedText = doc->pageText(1);
    EXPECT_EQ(wordCounts(turnedText), wordCounts(turned.lines));
    for (const PdfTextLine& line : turned.lines) EXPECT_NE(turnedText.find(line.text), std::string::npos) << turnedText;
    EXPECT_EQ(wordCounts(doc->pageText(2)), wordCounts(scattered.lines));

    // Glyphs of a font without a Unicode map come out as control codes: no text, but glyphs.
    writeBinaryFile(dir / "unmapped.pdf", testing::makeUnmappedFontPdf());
    auto unmapped = open(dir / "unmapped.pdf");
    ASSERT_TRUE(unmapped);
    EXPECT_EQ(unmapped->pageText(0).find_first_not_of(" \n"), std::string::npos) << unmapped->pageText(0);
    EXPECT_GT(unmapped->pageGlyphCount(0), 0u);
    EXPECT_GT(doc->pageGlyphCount(0), 0u);
}

// Reading order of n tiny labels (3 x 2 points) scattered over a square, in seconds (best of three).
double orderingSeconds(int n) {
    std::vector<PositionedWord> words;
    const int columns = static_cast<int>(std::sqrt(n)) + 1;
    for (int i = 0; i < n; ++i) {
        const long long k = i;  // the products below overflow an int at 20 000 labels
        const double x = 5.0 * (i % columns) + static_cast<double>(k * 7919 % 13) / 13.0;
        const double y = 4.0 * (i / columns) + static_cast<double>(k * 104729 % 17) / 17.0;
        words.push_back({"w" + std::to_string(i), x, y, x + 3, y + 2});
    }
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto started = std::chrono::steady_clock::now();
        const std::string text = readingOrderText(words);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        EXPECT_EQ(wordCounts(text).size(), static_cast<std::size_t>(n));
    }
    return best;
}

TEST(MediaPdf, ReadingOrderOfTensOfThousandsOfFragmentsStaysNearLinear) {
    const double small = orderingSeconds(10000);
    const double large = orderingSeconds(40000);
    // Four times the words: about four times the time (n log n); a quadratic step would take sixteen.
    EXPECT_LT(large, 8 * small + 0.02) << small << " s for 10 000, " << large << " s for 40 000";
}

class MediaPdfEncrypted : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::commandAvailable("qpdf")) GTEST_SKIP() << "qpdf is not installed";
        PdfPageFixture page;
        page.lines = {{72, 700, 24, "Secret quarterly numbers"}};
        page.images = {{72, 300, 200, 100, 40, 20, {}}};
        writeBinaryFile(dir_ / "plain.pdf", makePdf({page}));
    }

    fs::path encrypt(const std::string& user, const std::string& owner, const std::string& name) {
        const fs::path out = dir_ / name;
        const std::string command = "qpdf --encrypt '" + user + "' '" + owner + "' 256 -- '" +
                                    (dir_ / "plain.pdf").string() + "' '" + out.string() + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return out;
    }

    TempDir dir_;
};

TEST_F(MediaPdfEncrypted, UserPasswordLocksUntilTheRightPasswordIsGiven) {
    auto doc = open(encrypt("userpw", "ownerpw", "locked.pdf"));
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc->isLocked());
    // A locked document must not reach the library's page functions (they crash there).
    EXPECT_EQ(doc->pageCount(), 0);
    EXPECT_FALSE(doc->mediaBox(0));
    EXPECT_EQ(doc->pageText(0), "");
    EXPECT_FALSE(doc->renderPage(0, 10, 10));
    EXPECT_TRUE(doc->pageDrawing(0).images.empty());

    EXPECT_FALSE(doc->unlock(""));
    EXPECT_FALSE(doc->unlock("wrong"));
    EXPECT_TRUE(doc->isLocked());
    EXPECT_TRUE(doc->unlock("userpw"));
    EXPECT_FALSE(doc->isLocked());
    ASSERT_EQ(doc->pageCount(), 1);
    EXPECT_NE(doc->pageText(0).find("Secret quarterly numbers"), std::string::npos);
    EXPECT_EQ(doc->pageDrawing(0).images.size(), 1u);  // read with the password that unlocked the document
}

TEST_F(MediaPdfEncrypted, OwnerPasswordAlsoUnlocks) {
    auto doc = open(encrypt("userpw", "ownerpw", "locked-owner.pdf"));
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc->unlock("ownerpw"));
    EXPECT_EQ(doc->pageCount(), 1);
}

TEST_F(MediaPdfEncrypted, EmptyUserPasswordOpensDirectlyButReportsEncryption) {
    auto doc = open(encrypt("", "ownerpw", "owner-only.pdf"));
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc->isLocked());
    EXPECT_TRUE(doc->isEncrypted());
    EXPECT_TRUE(doc->unlock(""));
    ASSERT_EQ(doc->pageCount(), 1);
    EXPECT_NE(doc->pageText(0).find("Secret quarterly numbers"), std::string::npos);
}

}  // namespace
}  // namespace lumidex::platform
