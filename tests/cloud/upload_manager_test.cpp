// The upload policy against a scripted service on a driven clock: what is never sent, how long busy
// answers make it wait, which errors end a file at once, and the application-wide upload slots.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cloud/upload_manager.h"
#include "cloud_fakes.h"
#include "support/eventually.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::cloud::testing;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;
namespace fs = std::filesystem;

struct UploadFixture {
    TempDir dir;
    DrivenClock clock;
    FakeClient client{clock};
    CloudWaiter waiter{clock};
    GlobalUploadCoordinator coordinator{2};
    LogLines log;
    fs::path file = dir / "Bericht.docx";

    UploadFixture() { writeFile(file, "office bytes"); }
    UploadManager manager(int maxRetries = 3, std::function<bool()> online = {}) {
        return UploadManager(client, coordinator, waiter, {maxRetries, std::move(online), log.sink()});
    }
};

TEST(UploadManagerTest, AFileOverOneGibibyteIsNotSupportedWithoutAnyCall) {
    UploadFixture f;
    const fs::path big = f.dir / "big.pptx";
    writeFile(big, "");
    fs::resize_file(big, 2ull << 30);  // sparse: takes no disk space
    UploadManager manager = f.manager();

    const UploadAnswer answer = manager.upload(big, std::nullopt);
    EXPECT_EQ(answer.outcome, UploadAnswer::Outcome::notSupported);
    EXPECT_EQ(f.client.uploads(), 0u);
    EXPECT_TRUE(f.log.contains("File too large for cloud upload: big.pptx (2147483648 bytes) → marking as notSupported"));

    fs::resize_file(big, kMaxCloudUploadBytes);  // exactly the limit is still sent
    EXPECT_EQ(manager.upload(big, std::nullopt).outcome, UploadAnswer::Outcome::uploaded);
}

TEST(UploadManagerTest, BusyAnswersWaitLongerEachTimeButNeverOverTenMinutesAndAreNotFailures) {
    UploadFixture f;
    UploadManager manager = f.manager(3);
    f.client.onUpload = [](int call) -> KadoroResult<KadoroUploadResult> {
        if (call <= 3) return failure(KadoroError::Kind::serviceBusy, 100);
        return KadoroUploadResult{"j", ""};
    };
    const UploadAnswer answer = f.clock.drive([&] { return manager.upload(f.file, std::nullopt); });
    EXPECT_EQ(answer.outcome, UploadAnswer::Outcome::uploaded);
    EXPECT_EQ(answer.jobId, "j");
    EXPECT_EQ(f.client.uploadTimes, (std::vector<double>{0, 100, 300, 600}));  // waits 100, 200, 300
    EXPECT_TRUE(f.log.contains("Service busy, attempt 2 for Bericht.docx, waiting 200s (server: 100s × 2)"));

    // A long server hint is cut to 300 s per answer and the whole wait to 600 s; a success started the
    // count afresh. Seven busy answers are more than maxRetries, yet none counts as a failure.
    f.client.uploadTimes.clear();
    f.client.onUpload = [](int call) -> KadoroResult<KadoroUploadResult> {
        if (call <= 7) return failure(KadoroError::Kind::serviceBusy, 400);
        return KadoroUploadResult{"k", ""};
    };
    EXPECT_EQ(f.clock.drive([&] { return manager.upload(f.file, std::nullopt); }).jobId, "k");
    ASSERT_EQ(f.client.uploadTimes.size(), 8u);
    std::vector<double> waits;
    for (size_t i = 1; i < f.client.uploadTimes.size(); ++i) waits.push_back(f.client.uploadTimes[i] - f.client.uploadTimes[i - 1]);
    EXPECT_EQ(waits, (std::vector<double>{300, 600, 600, 600, 600, 600, 600}));
}

TEST(UploadManagerTest, OfflineWaitsWithoutCountingPermanentRefusalsEndAtOnceOtherErrorsAfterMaxRetries) {
    UploadFixture f;
    std::atomic<int> probes = 0;
    UploadManager manager = f.manager(3, [&] { return ++probes > 2; });
    EXPECT_EQ(f.clock.drive([&] { return manager.upload(f.file, std::nullopt); }).outcome,
              UploadAnswer::Outcome::uploaded);
    EXPECT_EQ(f.client.uploadTimes, (std::vector<double>{20}));
    EXPECT_TRUE(f.log.contains("Offline, re-queuing Bericht.docx"));

    f.client.uploadTimes.clear();
    f.client.onUpload = [](int) -> KadoroResult<KadoroUploadResult> { return failure(KadoroError::Kind::unsupportedFormat); };
    EXPECT_EQ(manager.upload(f.file, std::nullopt).outcome, UploadAnswer::Outcome::notSupported);
    f.client.onUpload = [](int) -> KadoroResult<KadoroUploadResult> { return failure(KadoroError::Kind::fileTooLarge); };
    EXPECT_EQ(manager.upload(f.file, std::nullopt).outcome, UploadAnswer::Outcome::notSupported);
    EXPECT_EQ(f.client.uploads(), 2u);  // one call each
    EXPECT_TRUE(f.log.contains("Upload permanently failed for Bericht.docx → marking as notSupported"));

    f.client.uploadTimes.clear();
    f.client.onUpload = [](int) -> KadoroResult<KadoroUploadResult> { return failure(KadoroError::Kind::serverError); };
    const UploadAnswer gaveUp = f.clock.drive([&] { return manager.upload(f.file, std::nullopt); });
    EXPECT_EQ(gaveUp.outcome, UploadAnswer::Outcome::notSupported);
    EXPECT_EQ(f.client.uploads(), 3u);
    EXPECT_TRUE(f.log.contains("Upload failed after 3 retries for Bericht.docx → marking as notSupported"));
}

TEST(UploadManagerTest, ADeadlineOrAbortEndsTheWaitAndBusyCountsGoOnInTheNextCall) {
    UploadFixture f;
    UploadManager manager = f.manager();
    f.client.onUpload = [](int call) -> KadoroResult<KadoroUploadResult> {
        if (call <= 2) return failure(KadoroError::Kind::serviceBusy, 100);
        return KadoroUploadResult{"j", ""};
    };
    const auto deadline = f.clock.now() + std::chrono::seconds(50);
    EXPECT_EQ(f.clock.drive([&] { return manager.upload(f.file, deadline); }).outcome, UploadAnswer::Outcome::stopped);
    EXPECT_EQ(f.clock.seconds(), 50);  // not a second past the deadline

    // The second busy answer is the file's second: 200 s.
    f.clock.drive([&] { return manager.upload(f.file, std::nullopt); });
    EXPECT_EQ(f.client.uploadTimes, (std::vector<double>{0, 50, 250}));

    f.client.onUpload = [](int) -> KadoroResult<KadoroUploadResult> { return failure(KadoroError::Kind::serviceBusy, 100); };
    auto waiting = std::async(std::launch::async, [&] { return manager.upload(f.file, std::nullopt); });
    ASSERT_TRUE(lumidex::testing::eventually([&] { return f.client.uploads() == 4; }));
    f.waiter.abort();
    EXPECT_EQ(waiting.get().outcome, UploadAnswer::Outcome::stopped);  // without the clock moving
}

TEST(GlobalUploadCoordinatorTest, WaitingUploadsGetSlotsInTheOrderTheyAskedAndNeverMoreThanTheMaximum) {
    GlobalUploadCoordinator coordinator(2);
    coordinator.acquire();
    coordinator.acquire();
    std::mutex mutex;
    std::vector<int> order;
    int mostActive = 0;
    std::vector<std::thread> uploads;
    for (int i = 0; i < 4; ++i) {
        uploads.emplace_back([&, i] {
            GlobalUploadCoordinator::Slot slot(coordinator);
            std::lock_guard lock(mutex);
            order.push_back(i);
            mostActive = std::max(mostActive, coordinator.activeUploads());
        });
        // Each one is in line before the next asks.
        ASSERT_TRUE(lumidex::testing::eventually([&] { return coordinator.waitingUploads() == static_cast<size_t>(i + 1); }));
    }
    EXPECT_EQ(coordinator.activeUploads(), 2);
    // One slot goes free and passes from upload to upload; the other stays taken.
    coordinator.release();
    for (std::thread& upload : uploads) upload.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(mostActive, 2);
    coordinator.release();
    EXPECT_EQ(coordinator.activeUploads(), 0);
}

}  // namespace
}  // namespace lumidex::cloud
