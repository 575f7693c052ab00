#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <leptonica/allheaders.h>

#include "platform/media_fixtures.h"
#include "platform/ocr_engine.h"
#include "platform/ocr_engine_pool.h"
#include "platform/pdf_document.h"
#include "support/temp_home.h"

namespace lumidex::platform {
namespace {
using namespace std::chrono_literals;
using testing::PdfPageFixture;
using testing::TempDir;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// A 400 x 200 pt page with two lines of large text, rendered at twice its point size.
std::shared_ptr<const Bitmap> twoLinePage() {
    static const std::shared_ptr<const Bitmap> page = [] {
        TempDir dir;
        PdfPageFixture fixture{400, 200, 0, {{30, 130, 30, "Lumidex scans invoices"}, {30, 50, 30, "Rechnung 2024 bezahlt"}}, {}};
        testing::writeBinaryFile(dir / "page.pdf", testing::makePdf({fixture}));
        auto doc = openPdfDocument(dir / "page.pdf");
        auto bitmap = doc.document->renderPage(0, 800, 400, PdfRenderColor::gray);
        return std::make_shared<const Bitmap>(std::move(*bitmap));
    }();
    return page;
}

// Loading the language models takes most of a second: the tests on the main thread share one engine.
OcrEngine& mainThreadEngine() {
    static const std::unique_ptr<OcrEngine> engine = [] {
        auto created = makeOcrEngine();
        if (!created.engine) ADD_FAILURE() << created.error->message();
        return std::move(created.engine);
    }();
    return *engine;
}

void expectWellFormedCorners(const OcrLine& line) {
    const auto& [bl, br, tr, tl] = line.corners;
    for (const OcrPoint& p : line.corners) {
        EXPECT_GE(p.x, 0.0);
        EXPECT_LE(p.x, 1.0);
        EXPECT_GE(p.y, 0.0);
        EXPECT_LE(p.y, 1.0);
    }
    EXPECT_LT(bl.x, br.x);
    EXPECT_DOUBLE_EQ(bl.y, br.y);
    EXPECT_LT(br.y, tr.y);
    EXPECT_DOUBLE_EQ(br.x, tr.x);
    EXPECT_DOUBLE_EQ(tr.y, tl.y);
    EXPECT_DOUBLE_EQ(tl.x, bl.x);
}

TEST(MediaOcr, RecognisesLinesWithNormalisedBottomLeftCorners) {
    const OcrOutcome outcome = mainThreadEngine().recognize(*twoLinePage());
    ASSERT_TRUE(outcome) << outcome.error->message();
    ASSERT_EQ(outcome.lines.size(), 2u);

    const OcrLine& first = outcome.lines[0];
    const OcrLine& second = outcome.lines[1];
    EXPECT_EQ(lower(first.text), "lumidex scans invoices");
    EXPECT_EQ(lower(second.text), "rechnung 2024 bezahlt");
    expectWellFormedCorners(first);
    expectWellFormedCorners(second);
    // The first line sits higher on the page: with the origin at the bottom its y values are larger.
    EXPECT_GT(first.corners[0].y, second.corners[2].y);
    // Text baseline of line 1 at 130 pt of 200: its box spans roughly 0.63..0.8 of the height.
    EXPECT_NEAR(first.corners[0].y, 0.63, 0.06);
    EXPECT_NEAR(first.corners[0].x, 30.0 / 400, 0.03);
    EXPECT_GT(first.confidence, 50.0f);
}

TEST(MediaOcr, SmallTextIsReadAtALargerSizeWithCornersOfTheOriginal) {
    // 16 pt text rendered at 1.5 px per point: capitals about 17 px tall, which is recognised enlarged.
    TempDir dir;
    PdfPageFixture small{400, 200, 0, {{40, 120, 16, "Rechnung 2024 bezahlt"}}, {}};
    testing::writeBinaryFile(dir / "small.pdf", testing::makePdf({small}));
    auto doc = openPdfDocument(dir / "small.pdf");
    auto bitmap = doc.document->renderPage(0, 600, 300, PdfRenderColor::gray);
    ASSERT_TRUE(bitmap);

    const OcrOutcome outcome = mainThreadEngine().recognize(*bitmap);
    ASSERT_TRUE(outcome) << outcome.error->message();
    ASSERT_EQ(outcome.lines.size(), 1u);
    const OcrLine& line = outcome.lines[0];
    EXPECT_EQ(lower(line.text), "rechnung 2024 bezahlt");
    expectWellFormedCorners(line);
    // Baseline at 120 pt of 200 from the bottom; the text starts 40 pt from the left.
    EXPECT_NEAR(line.corners[0].y, 120.0 / 200, 0.04);
    EXPECT_NEAR(line.corners[0].x, 40.0 / 400, 0.02);
    EXPECT_LT(line.corners[2].y, 0.72);
}

// The grey page in colour: black becomes dark red, white a pale yellow.
Bitmap colourised(const Bitmap& grey) {
    Bitmap colour = Bitmap::rgb(grey.width, grey.height);
    const auto blend = [](int dark, int light, uint8_t v) { return static_cast<uint8_t>(dark + (light - dark) * v / 255); };
    for (std::size_t i = 0; i < grey.bytes.size(); ++i) {
        colour.bytes[3 * i] = blend(120, 255, grey.bytes[i]);
        colour.bytes[3 * i + 1] = blend(0, 240, grey.bytes[i]);
        colour.bytes[3 * i + 2] = blend(0, 190, grey.bytes[i]);
    }
    return colour;
}

TEST(MediaOcr, ColourPagesAreReadLikeTheirGreyOnesAtEitherSize) {
    TempDir dir;
    PdfPageFixture small{400, 200, 0, {{40, 120, 16, "Rechnung 2024 bezahlt"}}, {}};
    testing::writeBinaryFile(dir / "small.pdf", testing::makePdf({small}));
    auto doc = openPdfDocument(dir / "small.pdf");
    const auto smallText = doc.document->renderPage(0, 600, 300, PdfRenderColor::gray);
    ASSERT_TRUE(smallText);
    for (const Bitmap* grey : {twoLinePage().get(), &*smallText}) {
        const OcrOutcome expected = mainThreadEngine().recognize(*grey);
        const OcrOutcome outcome = mainThreadEngine().recognize(colourised(*grey));
        ASSERT_TRUE(outcome) << outcome.error->message();
        ASSERT_EQ(outcome.lines.size(), expected.lines.size());
        for (std::size_t i = 0; i < outcome.lines.size(); ++i) {
            EXPECT_EQ(lower(outcome.lines[i].text), lower(expected.lines[i].text));
            EXPECT_NEAR(outcome.lines[i].corners[0].x, expected.lines[i].corners[0].x, 0.01);
            EXPECT_NEAR(outcome.lines[i].corners[2].y, expected.lines[i].corners[2].y, 0.01);
        }
    }
}

TEST(MediaOcr, BlankAndInvalidBitmaps) {
    OcrEngine& engine = mainThreadEngine();
    const OcrOutcome blank = engine.recognize(Bitmap::gray(300, 200));
    EXPECT_TRUE(blank);
    EXPECT_TRUE(blank.lines.empty());

    const OcrOutcome invalid = engine.recognize(Bitmap{});
    ASSERT_TRUE(invalid.error);
    EXPECT_EQ(invalid.error->kind, OcrError::Kind::invalidBitmap);
}

TEST(MediaOcr, InMemoryPngsOutsideRecognitionStayPngs) {
    // The engine swaps the format of the recogniser's own in-memory images; nobody else's may change.
    mainThreadEngine();
    PIX* pix = pixCreate(40, 20, 8);
    ASSERT_NE(pix, nullptr);
    l_uint8* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(pixWriteMem(&data, &size, pix, IFF_PNG), 0);
    ASSERT_GE(size, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data) + 1, 3), "PNG");
    PIX* back = pixReadMem(data, size);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(pixGetWidth(back), 40);
    pixDestroy(&back);
    lept_free(data);
    pixDestroy(&pix);
}

TEST(MediaOcr, MissingLanguageDataIsAnInitialisationError) {
    OcrEngineOptions options;
    options.languages = "xx_nonexistent";
    auto created = makeOcrEngine(options);
    EXPECT_FALSE(created.engine);
    ASSERT_TRUE(created.error);
    EXPECT_EQ(created.error->kind, OcrError::Kind::initializationFailed);
}

TEST(MediaOcr, EngineRefusesUseFromAnotherThread) {
    OcrEngine& engine = mainThreadEngine();
    OcrOutcome outcome;
    std::thread([&] { outcome = engine.recognize(Bitmap::gray(10, 10)); }).join();
    EXPECT_TRUE(outcome.error);
    EXPECT_TRUE(engine.recognize(Bitmap::gray(10, 10)));  // still fine on its own thread
}

TEST(MediaOcr, PoolRecognisesWithRealEngines) {
    OcrEnginePool pool(2);
    auto a = pool.submit(twoLinePage());
    auto b = pool.submit(twoLinePage());
    for (auto* future : {&a, &b}) {
        ASSERT_EQ(future->wait_for(60s), std::future_status::ready);
        const OcrOutcome outcome = future->get();
        ASSERT_TRUE(outcome) << outcome.error->message();
        ASSERT_EQ(outcome.lines.size(), 2u);
        EXPECT_EQ(lower(outcome.lines[1].text), "rechnung 2024 bezahlt");
    }
}

// Records which threads create and use it; returns one line naming the bitmap's width.
class FakeEngine : public OcrEngine {
public:
    struct Log {
        std::mutex mutex;
        std::set<std::thread::id> creators;
        std::atomic<int> created{0};
        std::atomic<int> wrongThreadUses{0};
    };

    explicit FakeEngine(Log& log) : log_(log) {
        std::lock_guard lock(log.mutex);
        log.creators.insert(owner_);
        ++log.created;
    }

    OcrOutcome recognize(const Bitmap& bitmap) override {
        if (std::this_thread::get_id() != owner_) ++log_.wrongThreadUses;
        OcrOutcome outcome;
        outcome.lines.push_back(OcrLine{"w" + std::to_string(bitmap.width), {}, 90, {}});
        return outcome;
    }

private:
    Log& log_;
    std::thread::id owner_ = std::this_thread::get_id();
};

TEST(MediaOcrPool, EachEngineLivesOnItsOwnThreadAndIsReused) {
    FakeEngine::Log log;
    std::vector<std::future<OcrOutcome>> futures;
    {
        OcrEnginePool pool(3, [&log] { return OcrEngineResult{std::make_unique<FakeEngine>(log), std::nullopt}; });
        EXPECT_EQ(pool.engineCount(), 3u);
        for (int i = 1; i <= 40; ++i) futures.push_back(pool.submit(std::make_shared<const Bitmap>(Bitmap::gray(i, 1))));
        for (int i = 1; i <= 40; ++i) {
            const OcrOutcome outcome = futures[static_cast<std::size_t>(i - 1)].get();
            ASSERT_TRUE(outcome);
            EXPECT_EQ(outcome.lines.at(0).text, "w" + std::to_string(i));
        }
    }
    EXPECT_LE(log.created.load(), 3);
    EXPECT_EQ(static_cast<int>(log.creators.size()), log.created.load());
    EXPECT_EQ(log.wrongThreadUses.load(), 0);
}

TEST(MediaOcrPool, FailedEngineCreationFailsTheJobAndIsRetried) {
    FakeEngine::Log log;
    std::atomic<int> attempts{0};
    OcrEnginePool pool(1, [&] {
        if (attempts++ == 0) return OcrEngineResult{nullptr, OcrError{OcrError::Kind::initializationFailed, "no data"}};
        return OcrEngineResult{std::make_unique<FakeEngine>(log), std::nullopt};
    });
    const OcrOutcome first = pool.submit(std::make_shared<const Bitmap>(Bitmap::gray(5, 5))).get();
    ASSERT_TRUE(first.error);
    EXPECT_EQ(first.error->kind, OcrError::Kind::initializationFailed);
    const OcrOutcome second = pool.submit(std::make_shared<const Bitmap>(Bitmap::gray(5, 5))).get();
    EXPECT_TRUE(second);
    EXPECT_EQ(attempts.load(), 2);
}

TEST(MediaOcrPool, ShutdownFailsQueuedJobsAndLaterSubmissions) {
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false, release = false;
    class BlockingEngine : public OcrEngine {
    public:
        explicit BlockingEngine(std::function<void()> block) : block_(std::move(block)) {}
        OcrOutcome recognize(const Bitmap&) override {
            block_();
            return {};
        }

    private:
        std::function<void()> block_;
    };
    auto block = [&] {
        std::unique_lock lock(mutex);
        started = true;
        cv.notify_all();
        cv.wait_for(lock, 30s, [&] { return release; });
    };
    auto pool = std::make_unique<OcrEnginePool>(
        1, [&] { return OcrEngineResult{std::make_unique<BlockingEngine>(block), std::nullopt}; });
    auto running = pool->submit(std::make_shared<const Bitmap>(Bitmap::gray(1, 1)));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return started; }));
    }
    auto queued = pool->submit(std::make_shared<const Bitmap>(Bitmap::gray(1, 1)));
    EXPECT_EQ(pool->queuedCount(), 1u);

    std::thread stopper([&] { pool->shutdown(); });
    ASSERT_EQ(queued.wait_for(30s), std::future_status::ready);  // failed at once, before the running job ends
    EXPECT_EQ(queued.get().error->kind, OcrError::Kind::shutDown);
    {
        std::lock_guard lock(mutex);
        release = true;
        cv.notify_all();
    }
    stopper.join();
    EXPECT_TRUE(running.get());  // the running job finished normally
    const OcrOutcome late = pool->submit(std::make_shared<const Bitmap>(Bitmap::gray(1, 1))).get();
    ASSERT_TRUE(late.error);
    EXPECT_EQ(late.error->kind, OcrError::Kind::shutDown);
}

}  // namespace
}  // namespace lumidex::platform
