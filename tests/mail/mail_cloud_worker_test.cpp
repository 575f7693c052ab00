#include "mail/mail_cloud_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/mail_fts.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;
using lumidex::testing::TempDir;

// The service: each upload is a job that stays "processing" for `processingPolls` polls, then ends as
// `finalState`; downloads write `pdf`.
class FakeService : public cloud::KadoroClient {
public:
    int processingPolls = 0;
    cloud::KadoroJobState finalState = cloud::KadoroJobState::completed;
    std::optional<cloud::KadoroError> uploadError;
    std::string pdf = "%PDF-1.4 converted";
    int uploads = 0;
    int polls = 0;

    cloud::KadoroResult<cloud::KadoroUploadResult> upload(const fs::path&, const std::string& format) override {
        EXPECT_EQ(format, "pdf");
        if (uploadError) return *uploadError;
        return cloud::KadoroUploadResult{"svc-" + std::to_string(++uploads), ""};
    }
    cloud::KadoroResult<cloud::KadoroJobStatus> jobStatus(const std::string& jobId) override {
        cloud::KadoroJobStatus status;
        status.jobId = jobId;
        status.state = ++polls <= processingPolls ? cloud::KadoroJobState::processing : finalState;
        if (status.state == cloud::KadoroJobState::failed) status.error = "corrupt document";
        return status;
    }
    cloud::KadoroResult<std::monostate> download(const std::string&, const fs::path& destination) override {
        lumidex::testing::writeFile(destination, pdf);
        return std::monostate{};
    }
};

// Reads "%PDF" files as the words after the marker.
class FakeDecoder : public MailAttachmentDecoder {
public:
    AttachmentDecodeOutcome decode(const AttachmentDecodeRequest& request, Clock::time_point) override {
        if (!request.bytes.starts_with("%PDF-1.4")) return {{}, "Konnte PDF nicht oeffnen"};
        return {std::string(request.bytes.substr(9)), std::nullopt};
    }
};

struct Fixture {
    TempDir dir;
    double now = 1'700'000'000;
    std::vector<std::string> logs;
    MailFtsSqlite fts{dir.path() / "mail.sqlite", [this](std::string_view line) { logs.emplace_back(line); }};
    MailCloudJobsSqlite jobs{dir.path() / "jobs.sqlite", [this](std::string_view line) { logs.emplace_back(line); },
                             [this] { return now; }};
    FakeService service;
    FakeDecoder decoder;
    int sleeps = 0;
    MailCloudWorkerOptions options = [this] {
        MailCloudWorkerOptions o;
        o.stagingFolder = dir.path() / "Staging";
        return o;
    }();
    MailAttachmentCloudBridge bridge{jobs, dir.path() / "Staging", 1000, [this](std::string_view line) { logs.emplace_back(line); }};
    MailCloudWorker worker{jobs, fts, service, decoder, options, [this](std::string_view line) { logs.emplace_back(line); },
                           [this](std::chrono::milliseconds d) {
                               ++sleeps;
                               now += static_cast<double>(d.count()) / 1000.0;
                               return true;
                           }};

    Fixture() {
        MailUpsertItem item;
        item.externalId = "maildir:1:m1";
        item.content = "the body";
        EXPECT_EQ(fts.upsertBatch({item}), 1);
    }
    bool logged(const std::string& line) const { return std::find(logs.begin(), logs.end(), line) != logs.end(); }
    MailCloudJob only() {
        const auto all = jobs.allJobs();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? MailCloudJob{} : all.front();
    }
};

TEST(MailCloudWorker, JobRunsFromPendingToMergedAndTheTextJoinsTheMessage) {
    Fixture f;
    f.service.processingPolls = 2;
    EXPECT_EQ(f.bridge.enqueue("maildir:1:m1", "report.docx", "PK office bytes"), MailAttachmentCloudBridge::Outcome::queued);
    EXPECT_EQ(f.bridge.enqueue("maildir:1:m1", "report.docx", "PK office bytes"), MailAttachmentCloudBridge::Outcome::duplicate);
    EXPECT_EQ(f.bridge.enqueue("maildir:1:m1", "big.xlsx", std::string(1001, 'x')), MailAttachmentCloudBridge::Outcome::skipped);
    EXPECT_TRUE(f.logged("MailAttachmentCloudBridge: queued job #1 for report.docx"));
    EXPECT_TRUE(f.logged("MailAttachmentCloudBridge: skip oversized office attachment big.xlsx (1001 bytes)"));

    EXPECT_EQ(f.worker.tick(), 1);
    const MailCloudJob job = f.only();
    EXPECT_EQ(job.status, MailCloudJobStatus::merged);
    EXPECT_EQ(job.kadoroJobId, "svc-1");
    EXPECT_EQ(f.sleeps, 2);  // one 10-second wait per "processing" answer
    EXPECT_TRUE(f.logged("MailCloudWorker: job #1 uploaded, kadoroJobId=svc-1"));
    const auto row = f.fts.find("maildir:1:m1");
    ASSERT_TRUE(row && row->content);
    EXPECT_NE(row->content->find("the body"), std::string::npos);
    EXPECT_NE(row->content->find("report.docx\nconverted"), std::string::npos) << *row->content;
    EXPECT_FALSE(fs::exists(job.stagedPath));
    EXPECT_EQ(f.worker.tick(), 0);
}

TEST(MailCloudWorker, FailuresKeepTheirReasonAndRestartRecoversWhatHasAttemptsLeft) {
    Fixture f;
    // The service never finishes: 360 polls, then the job fails.
    f.service.processingPolls = 1'000'000;
    ASSERT_EQ(f.bridge.enqueue("maildir:1:m1", "slow.docx", "a"), MailAttachmentCloudBridge::Outcome::queued);
    f.worker.tick();
    EXPECT_EQ(f.only().status, MailCloudJobStatus::failed);
    EXPECT_EQ(f.only().errorReason, "polling_timeout");
    EXPECT_EQ(f.service.polls, 360);

    // A failed job may be queued again; the service's own failure and an upload error keep their reasons.
    f.service.processingPolls = 0;
    f.service.polls = 0;
    f.service.finalState = cloud::KadoroJobState::failed;
    ASSERT_TRUE(f.jobs.resetFailed());
    f.worker.tick();
    EXPECT_EQ(f.only().errorReason, "kadoro:corrupt document");
    f.service.uploadError = cloud::KadoroError{cloud::KadoroError::Kind::serverError, 503, {}, 0};
    ASSERT_TRUE(f.jobs.resetFailed());
    f.worker.tick();
    EXPECT_EQ(f.only().errorReason.value_or("").rfind("upload: ", 0), 0u);
    EXPECT_EQ(f.only().attemptCount, 1);

    // A job left uploading by a killed process, and a failed one with attempts left, are pending again.
    MailCloudJob stuck = f.only();
    stuck.status = MailCloudJobStatus::uploading;
    ASSERT_TRUE(f.jobs.update(stuck));
    lumidex::testing::writeFile(f.dir.path() / "Staging" / "orphan.docx", "x");
    EXPECT_TRUE(f.worker.recover());
    EXPECT_EQ(f.only().status, MailCloudJobStatus::pending);
    EXPECT_FALSE(fs::exists(f.dir.path() / "Staging" / "orphan.docx"));
    EXPECT_TRUE(f.logged("MailCloudWorker: removed 1 orphan staging files"));

    // Its staged copy gone: nothing to send.
    fs::remove(f.only().stagedPath);
    f.now += 1;
    f.worker.tick();
    EXPECT_EQ(f.only().errorReason, "staging_file_missing");

    // A converted PDF without text, and a message no longer indexed.
    f.service.uploadError.reset();
    f.service.finalState = cloud::KadoroJobState::completed;
    ASSERT_EQ(f.bridge.enqueue("maildir:1:gone", "b.docx", "b"), MailAttachmentCloudBridge::Outcome::queued);
    f.now += 1;
    f.worker.tick();
    EXPECT_EQ(f.jobs.allJobs(MailCloudJobStatus::failed, 1).front().errorReason, "mail_no_longer_indexed");
    f.service.pdf = "%PDF-1.4 ";
    ASSERT_EQ(f.bridge.enqueue("maildir:1:m1", "c.docx", "c"), MailAttachmentCloudBridge::Outcome::queued);
    f.now += 1;
    f.worker.tick();
    EXPECT_EQ(f.jobs.allJobs(MailCloudJobStatus::failed, 1).front().errorReason, "merge: no extractable text");
}

}  // namespace
}  // namespace lumidex::mail
