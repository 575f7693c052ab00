#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/media_fixtures.h"
#include "platform/pdf_document.h"
#include "support/temp_home.h"

namespace lumidex::platform {
namespace {
namespace fs = std::filesystem;
using testing::makePdf;
using testing::PdfPageSpec;
using testing::PdfRect;
using testing::PdfTextLine;
using testing::TempDir;
using testing::writeBinaryFile;

fs::path writePdf(const TempDir& dir, const std::string& name, const std::vector<PdfPageSpec>& pages) {
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
    PdfPageSpec letter;
    letter.lines = {{72, 700, 24, "Hello Lumidex invoice 4711"}};
    PdfPageSpec poster{3000, 2000, 0, {{100, 1000, 40, "Poster page"}}, {}};
    PdfPageSpec blank{400, 300, 0, {}, {}};
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
    PdfPageSpec page;
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

TEST(MediaPdf, RendersExactSizeInGrayAndRgb) {
    TempDir dir;
    // A black square in the lower-left quarter and a red one in the upper-right quarter of a 200 x 100 page.
    PdfPageSpec page{200, 100, 0, {}, {{10, 10, 40, 30, 0, 0, 0}, {150, 60, 40, 30, 1, 0, 0}}};
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
}

TEST(MediaPdf, EmptyMediaBoxHasZeroSizeAndDoesNotRender) {
    TempDir dir;
    PdfPageSpec page{0, 0, 0, {}, {}};
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

    PdfPageSpec page;
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
    PdfPageSpec page{200, 100, 0, {{10, 40, 20, "Concurrent"}}, {{120, 10, 40, 30, 0, 0, 0}}};
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

class MediaPdfEncrypted : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::commandAvailable("qpdf")) GTEST_SKIP() << "qpdf is not installed";
        PdfPageSpec page;
        page.lines = {{72, 700, 24, "Secret quarterly numbers"}};
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

    EXPECT_FALSE(doc->unlock(""));
    EXPECT_FALSE(doc->unlock("wrong"));
    EXPECT_TRUE(doc->isLocked());
    EXPECT_TRUE(doc->unlock("userpw"));
    EXPECT_FALSE(doc->isLocked());
    ASSERT_EQ(doc->pageCount(), 1);
    EXPECT_NE(doc->pageText(0).find("Secret quarterly numbers"), std::string::npos);
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
