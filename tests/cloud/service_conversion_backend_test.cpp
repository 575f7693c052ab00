// The conversion service as the office queue's backend, over a scripted service on a driven clock:
// jobs outlive a restart, permanent refusals are remembered per file version, transient failures
// pause the service, and abort() ends a wait at once.
#include <gtest/gtest.h>

#include <future>

#include "cloud/service_conversion_backend.h"
#include "cloud_fakes.h"
#include "support/eventually.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::cloud::testing;
using lumidex::testing::readFile;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;
namespace fs = std::filesystem;

struct BackendFixture {
    TempDir dir;
    DrivenClock clock;
    GlobalUploadCoordinator coordinator{2};
    LogLines log;
    fs::path input = dir / "Quartal.docx";

    BackendFixture() { writeFile(input, "office bytes"); }
    std::unique_ptr<ServiceConversionBackend> backend(std::shared_ptr<KadoroClient> client,
                                                      std::string apiKey = "key") {
        ServiceConversionBackendOptions options;
        options.directory = dir / "data";
        options.clock = &clock;
        options.coordinator = &coordinator;
        options.log = log.sink();
        return std::make_unique<ServiceConversionBackend>(
            std::move(client), KadoroConfiguration{"https://convert.example/", std::move(apiKey), 30}, options);
    }
    ConversionRequest request(std::chrono::seconds limit = std::chrono::seconds(600)) {
        return {input, dir / "out" / "Quartal.pdf", {}, limit};
    }
};

KadoroResult<KadoroJobStatus> processing(const std::string& jobId) { return jobIn(KadoroJobState::processing, jobId); }

TEST(ServiceConversionBackendTest, AJobUploadedBeforeARestartIsWaitedForAgainNotUploadedAgain) {
    BackendFixture f;
    fs::create_directories(f.dir / "out");
    {
        auto client = std::make_shared<FakeClient>(f.clock);
        client->onStatus = processing;
        auto backend = f.backend(client);
        const ConversionResult first = f.clock.drive([&] { return backend->convert(f.request(std::chrono::seconds(60))); });
        EXPECT_EQ(first.status, ConversionStatus::timedOut);
        EXPECT_EQ(client->uploads(), 1u);
        EXPECT_EQ(f.clock.seconds(), 60);
    }
    auto client = std::make_shared<FakeClient>(f.clock);
    auto backend = f.backend(client);
    const ConversionResult resumed = f.clock.drive([&] { return backend->convert(f.request()); });
    EXPECT_EQ(resumed.status, ConversionStatus::converted);
    EXPECT_EQ(client->uploads(), 0u);
    EXPECT_EQ(client->statusJobs, (std::vector<std::string>{"job-1"}));
    EXPECT_EQ(readFile(f.dir / "out" / "Quartal.pdf"), "%PDF-1.4 job-1");

    // Done: the file's next request is a new conversion.
    EXPECT_EQ(f.clock.drive([&] { return backend->convert(f.request()); }).status, ConversionStatus::converted);
    EXPECT_EQ(client->uploads(), 1u);
}

TEST(ServiceConversionBackendTest, PermanentRefusalsAreRememberedForTheFileVersionOnly) {
    BackendFixture f;
    auto client = std::make_shared<FakeClient>(f.clock);
    auto backend = f.backend(client);
    client->onUpload = [](int) -> KadoroResult<KadoroUploadResult> { return failure(KadoroError::Kind::unsupportedFormat); };
    EXPECT_EQ(backend->convert(f.request()).status, ConversionStatus::cannotConvert);
    EXPECT_EQ(backend->convert(f.request()).status, ConversionStatus::cannotConvert);
    EXPECT_EQ(client->uploads(), 1u);  // the same version is not sent again

    fs::last_write_time(f.input, fs::last_write_time(f.input) + std::chrono::seconds(5));
    client->onUpload = [](int) -> KadoroResult<KadoroUploadResult> { return KadoroUploadResult{"jf", ""}; };
    client->onStatus = [](const std::string& jobId) -> KadoroResult<KadoroJobStatus> {
        KadoroJobStatus status = jobIn(KadoroJobState::failed, jobId);
        status.error = "password protected";
        return status;
    };
    const ConversionResult failed = backend->convert(f.request());
    EXPECT_EQ(client->uploads(), 2u);
    EXPECT_EQ(failed.status, ConversionStatus::cannotConvert);
    EXPECT_EQ(failed.reason, "Conversion failed: password protected");

    auto withoutKey = f.backend(client, "");
    EXPECT_TRUE(withoutKey->unavailableReason());
    EXPECT_EQ(withoutKey->convert(f.request()).status, ConversionStatus::failed);
    EXPECT_EQ(client->uploads(), 2u);
}

TEST(ServiceConversionBackendTest, AFailingServiceIsLeftAloneDuringTheCooldownAndUsedAgainAfterIt) {
    BackendFixture f;
    auto client = std::make_shared<FakeClient>(f.clock);
    client->onStatus = [](const std::string&) -> KadoroResult<KadoroJobStatus> {
        return failure(KadoroError::Kind::networkError);
    };
    auto backend = f.backend(client);
    EXPECT_EQ(f.clock.drive([&] { return backend->convert(f.request()); }).status, ConversionStatus::failed);
    EXPECT_EQ(client->statusChecks(), 10u);

    client->onStatus = [](const std::string& jobId) { return KadoroResult<KadoroJobStatus>(jobIn(KadoroJobState::completed, jobId)); };
    EXPECT_EQ(backend->convert(f.request()).status, ConversionStatus::failed);
    EXPECT_EQ(client->uploads(), 1u);
    EXPECT_EQ(client->statusChecks(), 10u);

    f.clock.advance(std::chrono::minutes(15));
    EXPECT_EQ(f.clock.drive([&] { return backend->convert(f.request()); }).status, ConversionStatus::converted);
    EXPECT_EQ(client->uploads(), 2u);  // the failed item is uploaded afresh
}

TEST(ServiceConversionBackendTest, AbortEndsTheWaitAtOnceAndKeepsTheJob) {
    BackendFixture f;
    auto client = std::make_shared<FakeClient>(f.clock);
    client->onStatus = processing;
    auto backend = f.backend(client);
    auto converting = std::async(std::launch::async, [&] { return backend->convert(f.request()); });
    ASSERT_TRUE(lumidex::testing::eventually([&] { return client->statusChecks() == 1; }));
    backend->abort();
    const ConversionResult aborted = converting.get();  // the clock never moved
    EXPECT_EQ(aborted.status, ConversionStatus::failed);
    EXPECT_EQ(aborted.reason, "cancelled");

    client->onStatus = [](const std::string& jobId) { return KadoroResult<KadoroJobStatus>(jobIn(KadoroJobState::completed, jobId)); };
    EXPECT_EQ(backend->convert(f.request()).status, ConversionStatus::converted);
    EXPECT_EQ(client->uploads(), 1u);
}

TEST(ServiceConversionBackendTest, FilesTheServiceCouldNotFinishAreMarkedForAnotherTry) {
    BackendFixture f;
    fs::create_directories(f.dir / "out");
    // No store yet: switching the service off creates none.
    EXPECT_EQ(markOpenItemsCloudFailed(f.dir / "data", f.log.sink()), 0);
    EXPECT_FALSE(fs::exists(f.dir / "data" / CloudItemSqliteManager::kFileName));
    {
        auto client = std::make_shared<FakeClient>(f.clock);
        client->onStatus = processing;
        auto backend = f.backend(client);
        EXPECT_EQ(f.clock.drive([&] { return backend->convert(f.request(std::chrono::seconds(20))); }).status,
                  ConversionStatus::timedOut);
    }
    // Switched off with the job open: the file is not left waiting for a service that is gone.
    EXPECT_EQ(markOpenItemsCloudFailed(f.dir / "data", f.log.sink()), 1);
    EXPECT_TRUE(f.log.contains("Cloud disabled, marking Quartal.docx as cloudFailed (was uploadFinished)"));
    EXPECT_EQ(markOpenItemsCloudFailed(f.dir / "data", f.log.sink()), 0);

    auto client = std::make_shared<FakeClient>(f.clock);
    auto backend = f.backend(client);
    EXPECT_EQ(f.clock.drive([&] { return backend->convert(f.request()); }).status, ConversionStatus::converted);
    EXPECT_EQ(client->uploads(), 1u);  // sent again, not the forgotten job

    // A converted PDF that processing could not read: the next request converts again.
    backend->processingFailed(f.input);
    EXPECT_TRUE(f.log.contains("Cloud PDF processing failed for Quartal.docx, marking as cloudFailed"));
    EXPECT_EQ(CloudItemSqliteManager(f.dir / "data").nanCloudItemFileFor(f.input).value()->processingState,
              CloudItemProcessingStates::cloudFailed);

    // A finished job with nowhere to put its PDF is not reported as converted.
    ConversionRequest nowhere = f.request();
    nowhere.pdf.clear();
    const ConversionResult lost = f.clock.drive([&] { return backend->convert(nowhere); });
    EXPECT_EQ(lost.status, ConversionStatus::failed);
    EXPECT_TRUE(f.log.contains("No destination URL for completed cloud item Quartal.docx, marking as cloudFailed"));
}

}  // namespace
}  // namespace lumidex::cloud
