// Following conversion jobs on a driven clock: the poll limit, the run of errors that pauses the
// service for a cooldown, and the job file that outlives the tracker.
#include <gtest/gtest.h>

#include <map>

#include "cloud/cloud_job_tracker.h"
#include "cloud_fakes.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::cloud::testing;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

struct TrackerFixture {
    TempDir dir;
    DrivenClock clock;
    FakeClient client{clock};
    CloudWaiter waiter{clock};
    LogLines log;
    std::map<std::string, JobOutcome> resolved;
    int reprocessed = 0;

    CloudJobTrackerOptions options() {
        CloudJobTrackerOptions options;
        options.resolved = [this](const std::string& item, const JobResolution& resolution) {
            resolved[item] = resolution.outcome;
        };
        options.allResolved = [this] { ++reprocessed; };
        options.cooldownFinished = [this] { ++reprocessed; };
        options.log = log.sink();
        return options;
    }
};

TEST(CloudJobTrackerTest, AJobStillProcessingAfter2160PollsIsGivenUpAndLeavesTheJobFile) {
    TrackerFixture f;
    f.client.onStatus = [](const std::string& jobId) -> KadoroResult<KadoroJobStatus> {
        return jobIn(KadoroJobState::processing, jobId);
    };
    CloudJobTracker tracker(f.client, f.waiter, f.dir.path(), f.options());
    ASSERT_TRUE(tracker.record("/docs/slow.docx", "j1"));

    const auto resolution = f.clock.drive([&] { return tracker.waitFor("/docs/slow.docx", std::nullopt); });
    ASSERT_TRUE(resolution);
    EXPECT_EQ(resolution->outcome, JobOutcome::cloudFailed);
    EXPECT_EQ(f.client.statusChecks(), 2160u);
    EXPECT_EQ(f.clock.seconds(), 2159 * 10);  // polled every 10 s, the first at once
    EXPECT_TRUE(f.log.contains("Poll limit reached for slow.docx, giving up"));
    EXPECT_TRUE(f.log.contains("All cloud jobs resolved, triggering re-processing for any cloudFailed items"));
    EXPECT_EQ(f.reprocessed, 1);

    CloudJobTracker reopened(f.client, f.waiter, f.dir.path(), f.options());
    EXPECT_FALSE(reopened.jobIdFor("/docs/slow.docx"));
    // A file name that is not UTF-8 does not break the job file.
    EXPECT_TRUE(reopened.record("/docs/\xff.doc", "jx"));
}

TEST(CloudJobTrackerTest, TenFailedChecksInARowFailEveryOpenItemAndPausePollingForFifteenMinutes) {
    TrackerFixture f;
    f.client.onStatus = [](const std::string& jobId) -> KadoroResult<KadoroJobStatus> {
        if (jobId == "done") return jobIn(KadoroJobState::completed, jobId);
        return failure(KadoroError::Kind::serverError);
    };
    CloudJobTracker tracker(f.client, f.waiter, f.dir.path(), f.options());
    ASSERT_TRUE(tracker.record("/docs/a.docx", "ja"));
    ASSERT_TRUE(tracker.record("/docs/b.xlsx", "jb"));
    ASSERT_TRUE(tracker.record("/docs/c.pptx", "jc"));

    const auto resolution = f.clock.drive([&] { return tracker.waitFor("/docs/b.xlsx", std::nullopt); });
    ASSERT_TRUE(resolution);
    EXPECT_EQ(resolution->outcome, JobOutcome::cloudFailed);
    // Three failing checks per round, 30 s apart; the tenth is the first of the fourth round.
    EXPECT_EQ(f.client.statusChecks(), 10u);
    EXPECT_EQ(f.client.statusTimes.back(), 90);
    EXPECT_TRUE(f.log.contains("Kadoro status check failed (a.docx): Server error (500)"));
    EXPECT_EQ(f.resolved, (std::map<std::string, JobOutcome>{{"/docs/a.docx", JobOutcome::cloudFailed},
                                                             {"/docs/b.xlsx", JobOutcome::cloudFailed},
                                                             {"/docs/c.pptx", JobOutcome::cloudFailed}}));
    EXPECT_TRUE(tracker.openItems().empty());
    const std::vector<std::string> lines = f.log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "[NanItemsProcessingCloud] Too many consecutive errors, marking 3 items as cloudFailed");
    EXPECT_EQ(lines.back(), "[NanItemsProcessingCloud] Cooldown 15min before cloud items are automatically retried");

    // Nothing is polled during the cooldown.
    ASSERT_TRUE(tracker.record("/docs/d.odt", "done"));
    f.clock.advance(std::chrono::seconds(899));
    EXPECT_TRUE(tracker.coolingDown());
    EXPECT_EQ(tracker.waitFor("/docs/d.odt", std::nullopt)->outcome, JobOutcome::cloudFailed);
    EXPECT_EQ(f.client.statusChecks(), 10u);

    const int reprocessedBefore = f.reprocessed;
    f.clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(tracker.waitFor("/docs/d.odt", std::nullopt)->outcome, JobOutcome::completed);
    EXPECT_TRUE(f.log.contains("Cooldown finished, triggering cloud service re-processing"));
    EXPECT_EQ(f.client.statusJobs.back(), "done");
    EXPECT_GE(f.reprocessed, reprocessedBefore + 1);
}

TEST(CloudJobTrackerTest, ANewTrackerResumesTheRecordedJobsAndTheirPollCounts) {
    TrackerFixture f;
    f.client.onStatus = [](const std::string& jobId) -> KadoroResult<KadoroJobStatus> {
        return jobIn(KadoroJobState::queued, jobId);
    };
    {
        CloudJobTracker tracker(f.client, f.waiter, f.dir.path(), f.options());
        ASSERT_TRUE(tracker.record("/docs/a.docx", "ja"));
        ASSERT_TRUE(tracker.record("/docs/gone.docx", "jg"));
        const auto deadline = f.clock.now() + std::chrono::seconds(995);
        // Stopped by the deadline after 100 rounds: the job stays.
        EXPECT_FALSE(f.clock.drive([&] { return tracker.waitFor("/docs/a.docx", deadline); }));
    }
    f.client.statusJobs.clear();
    f.client.onStatus = [](const std::string& jobId) -> KadoroResult<KadoroJobStatus> {
        if (jobId == "jg") return failure(KadoroError::Kind::jobNotFound);
        return jobIn(KadoroJobState::processing, jobId);
    };
    CloudJobTracker tracker(f.client, f.waiter, f.dir.path(), f.options());
    EXPECT_EQ(tracker.jobIdFor("/docs/a.docx"), "ja");
    const auto resolution = f.clock.drive([&] { return tracker.waitFor("/docs/a.docx", std::nullopt); });
    ASSERT_TRUE(resolution);
    EXPECT_EQ(resolution->outcome, JobOutcome::cloudFailed);
    // The limit counts the polls before the restart too.
    EXPECT_EQ(std::count(f.client.statusJobs.begin(), f.client.statusJobs.end(), "ja"), 2160 - 100);
    EXPECT_TRUE(f.log.contains("Kadoro job not found for gone.docx, marking as cloudFailed for re-upload"));
    EXPECT_EQ(f.resolved.at("/docs/gone.docx"), JobOutcome::cloudFailed);

    // A damaged job file is set aside, not taken for an empty one and overwritten.
    writeFile(f.dir / CloudJobTracker::kFileName, "{\"jobs\": [");
    CloudJobTracker afterDamage(f.client, f.waiter, f.dir.path(), f.options());
    EXPECT_TRUE(afterDamage.openItems().empty());
    EXPECT_TRUE(std::filesystem::exists(f.dir / (std::string(CloudJobTracker::kFileName) + ".damaged")));
}

}  // namespace
}  // namespace lumidex::cloud
