#include <gtest/gtest.h>

#include <fstream>

#include "mail/mail_cloud_jobs.h"
#include "support/log_lines.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

class MailCloudJobsTest : public ::testing::Test {
protected:
    std::filesystem::path path() const { return dir_.path() / "Lumidex" / "mail_cloud_jobs.sqlite"; }
    MailCloudJobsSqlite& store() {
        if (!store_) store_ = std::make_unique<MailCloudJobsSqlite>(path(), lines_.sink(), [this] { return clock_; });
        return *store_;
    }
    int64_t enqueue(const std::string& id, std::optional<std::string> name, int64_t size) {
        const auto job = store().enqueue(id, name, size, "/staging/" + id);
        EXPECT_TRUE(job.has_value());
        return job.value_or(0);
    }

    testing::TempDir dir_;
    testing::LogLines lines_;
    double clock_ = 1'700'000'000;
    std::unique_ptr<MailCloudJobsSqlite> store_;
};

TEST_F(MailCloudJobsTest, AnAttachmentIsQueuedOnceUnlessItsJobFailed) {
    const int64_t first = enqueue("<a@x>", "offer.docx", 1200);
    bool duplicate = false;
    EXPECT_FALSE(store().enqueue("<a@x>", std::string("offer.docx"), 1200, "/staging/other", &duplicate));
    EXPECT_TRUE(duplicate);
    EXPECT_EQ(store().exists("<a@x>", std::string("offer.docx"), 1200), true);
    // Another size, another name or another message is another attachment.
    EXPECT_EQ(store().exists("<a@x>", std::string("offer.docx"), 1201), false);
    enqueue("<a@x>", "offer.xlsx", 1200);
    enqueue("<b@x>", "offer.docx", 1200);
    // An absent name matches only an absent name.
    EXPECT_EQ(store().exists("<a@x>", std::nullopt, 1200), false);
    enqueue("<a@x>", std::nullopt, 1200);
    EXPECT_EQ(store().exists("<a@x>", std::nullopt, 1200), true);

    ASSERT_TRUE(store().markFailed(first, "upload: timed out"));
    EXPECT_EQ(store().exists("<a@x>", std::string("offer.docx"), 1200), false);
    const int64_t again = enqueue("<a@x>", "offer.docx", 1200);
    EXPECT_NE(again, first);

    const auto failed = store().job(first);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, MailCloudJobStatus::failed);
    EXPECT_EQ(failed->attemptCount, 1);
    EXPECT_EQ(failed->errorReason, "upload: timed out");

    // Merged, then asked for again (its message was read again and lost the merged text): the same job
    // is converted again from the new file.
    auto merged = store().job(again);
    merged->status = MailCloudJobStatus::merged;
    ASSERT_TRUE(store().update(*merged));
    EXPECT_EQ(store().enqueue("<a@x>", std::string("offer.docx"), 1200, "/staging/new"), again);
    const auto requeued = store().job(again);
    ASSERT_TRUE(requeued);
    EXPECT_EQ(requeued->status, MailCloudJobStatus::pending);
    EXPECT_EQ(requeued->stagedPath, "/staging/new");
}

TEST_F(MailCloudJobsTest, ARestartRecoversUploadsAndRetriableFailures) {
    const int64_t uploading = enqueue("<u@x>", "a.docx", 1);
    const int64_t retriable = enqueue("<r@x>", "b.docx", 2);
    const int64_t exhausted = enqueue("<e@x>", "c.docx", 3);
    const int64_t polling = enqueue("<p@x>", "d.docx", 4);
    auto job = store().job(uploading);
    ASSERT_TRUE(job);
    job->status = MailCloudJobStatus::uploading;
    ASSERT_TRUE(store().update(*job));
    ASSERT_TRUE(store().markFailed(retriable, "poll: offline"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(store().markFailed(exhausted, "upload: refused"));
    ASSERT_TRUE(store().markPolling(polling, "k-77"));

    // A new store over the same file, as after a restart.
    store_.reset();
    clock_ += 60;
    EXPECT_EQ(store().recoverStuckJobs(3), 2);
    EXPECT_EQ(store().job(uploading)->status, MailCloudJobStatus::pending);
    EXPECT_EQ(store().job(uploading)->updatedAt, clock_);
    const auto recovered = store().job(retriable);
    EXPECT_EQ(recovered->status, MailCloudJobStatus::pending);
    EXPECT_EQ(recovered->errorReason, std::nullopt);
    EXPECT_EQ(recovered->attemptCount, 1);  // kept, so the bound still holds
    EXPECT_EQ(store().job(exhausted)->status, MailCloudJobStatus::failed);
    EXPECT_EQ(store().job(polling)->status, MailCloudJobStatus::polling);
    EXPECT_EQ(store().job(polling)->kadoroJobId, "k-77");

    // Oldest pending first.
    std::vector<int64_t> next;
    for (const auto& j : store().nextJobs(10)) next.push_back(j.jobLocalId);
    EXPECT_EQ(next, (std::vector<int64_t>{uploading, retriable}));

    // By hand: every failure again, with its attempts forgotten; then the user gives up on what waits.
    EXPECT_EQ(store().resetFailed(), 1);
    EXPECT_EQ(store().job(exhausted)->attemptCount, 0);
    EXPECT_EQ(store().cancelPending(), 3);
    const auto cancelled = store().job(exhausted);
    EXPECT_EQ(cancelled->status, MailCloudJobStatus::notSupported);
    EXPECT_EQ(cancelled->errorReason, "user cancelled");
    const auto counts = store().statusCounts();
    EXPECT_EQ(counts.at("notSupported"), 3);
    EXPECT_EQ(counts.at("polling"), 1);
    EXPECT_EQ(counts.at("pending"), 0);
}

TEST_F(MailCloudJobsTest, OnlyOldMergedJobsArePurged) {
    const int64_t old = enqueue("<o@x>", "a.docx", 1);
    const int64_t fresh = enqueue("<f@x>", "b.docx", 2);
    const int64_t failed = enqueue("<x@x>", "c.docx", 3);
    auto job = store().job(old);
    job->status = MailCloudJobStatus::merged;
    ASSERT_TRUE(store().update(*job));
    ASSERT_TRUE(store().markFailed(failed, "kadoro:bad file"));
    clock_ += 8 * 86400;
    job = store().job(fresh);
    job->status = MailCloudJobStatus::merged;
    ASSERT_TRUE(store().update(*job));
    EXPECT_EQ(store().purgeMerged(7 * 86400), 1);
    EXPECT_FALSE(store().job(old));
    EXPECT_TRUE(store().job(fresh));
    EXPECT_TRUE(store().job(failed));
    MailCloudJob gone;
    gone.jobLocalId = old;
    EXPECT_FALSE(store().update(gone));  // not reported as written
}

TEST_F(MailCloudJobsTest, AnUnusableFileIsLoggedAndEveryWriteReportsFailure) {
    std::filesystem::create_directories(path().parent_path());
    std::ofstream(path()) << "this is not a database, just text long enough to be looked at by SQLite";
    EXPECT_FALSE(store().enqueue("<a@x>", std::string("a.docx"), 1, "/s"));
    EXPECT_EQ(store().exists("<a@x>", std::string("a.docx"), 1), std::nullopt);
    EXPECT_FALSE(store().resetFailed());
    EXPECT_TRUE(store().statusCounts().empty());
    EXPECT_TRUE(lines_.contains("MailCloudJobsSqlite.open failed: "));

    MailCloudJobsSqlite nowhere({}, lines_.sink());
    EXPECT_FALSE(nowhere.markFailed(1, "x"));
    EXPECT_TRUE(lines_.contains("MailCloudJobsSqlite: applicationSupport not available"));
}

}  // namespace
}  // namespace lumidex::mail
