#include "processing/pipeline/pipeline_profiler.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/temp_home.h"
#include "wait_helpers.h"

namespace lumidex::processing {
namespace {

FileProfile profileFor(uint32_t hash) {
    FileProfile p;
    p.combinedHash = hash;
    p.fileExtension = "pdf";
    p.fileType = ProfiledFileType::pdf;
    p.pageCount = 3;
    return p;
}

TEST(PipelineProfiler, PhaseRawValuesRoundTrip) {
    const char* expected[] = {"queueWait", "fileLoad", "thumbnailRender", "ocrRecognition", "resultPersistence",
                              "totalProcessing"};
    for (std::size_t i = 0; i < kAllProfilePhases.size(); ++i) {
        EXPECT_EQ(rawValue(kAllProfilePhases[i]), expected[i]);
        EXPECT_EQ(profilePhaseFromRaw(expected[i]), kAllProfilePhases[i]);
    }
    EXPECT_FALSE(profilePhaseFromRaw("QueueWait"));
    EXPECT_EQ(rawValue(ProfiledFileType::cloud), "cloud");
}

TEST(PipelineProfiler, NegativeAndNonFiniteTimesBecomeZero) {
    FileProfile p;
    p.setPhase(ProfilePhase::fileLoad, -0.5);
    p.setPhase(ProfilePhase::ocrRecognition, std::numeric_limits<double>::quiet_NaN());
    p.setPhase(ProfilePhase::totalProcessing, 1.25);
    EXPECT_EQ(p.phase(ProfilePhase::fileLoad), 0.0);
    EXPECT_EQ(p.phase(ProfilePhase::ocrRecognition), 0.0);
    EXPECT_EQ(p.phase(ProfilePhase::totalProcessing), 1.25);
    EXPECT_EQ(p.phase(ProfilePhase::thumbnailRender), 0.0);

    PipelineProfiler profiler(10, true);
    FileProfile raw = profileFor(1);
    raw.phases[ProfilePhase::resultPersistence] = -3;  // set directly, bypassing setPhase
    profiler.record(raw);
    EXPECT_EQ(profiler.profiles().at(0).phase(ProfilePhase::resultPersistence), 0.0);
}

TEST(PipelineProfiler, QueueWaitComesFromTheEnqueueTime) {
    PipelineProfiler profiler(10, true);
    const auto t0 = PipelineProfiler::Clock::now();
    profiler.markEnqueued(7, t0);
    EXPECT_DOUBLE_EQ(profiler.takeQueueWait(7, t0 + std::chrono::milliseconds(1500)), 1.5);
    EXPECT_EQ(profiler.takeQueueWait(7, t0 + std::chrono::seconds(5)), 0.0);  // consumed
    profiler.markEnqueued(8, t0 + std::chrono::seconds(2));
    EXPECT_EQ(profiler.takeQueueWait(8, t0), 0.0);  // clocks never make it negative

    profiler.record(profileFor(9));  // nothing enqueued: 0
    ASSERT_EQ(profiler.profiles().size(), 1u);
    EXPECT_EQ(profiler.profiles()[0].phase(ProfilePhase::queueWait), 0.0);
    EXPECT_EQ(profiler.profiles()[0].phases.count(ProfilePhase::queueWait), 1u);
    EXPECT_NE(profiler.profiles()[0].timestamp, std::chrono::system_clock::time_point{});
}

TEST(PipelineProfiler, KeepsTheNewestMaxEntriesAndNothingWhileDisabled) {
    PipelineProfiler profiler(3, false);
    profiler.record(profileFor(1));
    profiler.markEnqueued(1);
    EXPECT_TRUE(profiler.profiles().empty());
    profiler.setEnabled(true);
    for (uint32_t h = 1; h <= 5; ++h) profiler.record(profileFor(h));
    const auto kept = profiler.profiles();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept.front().combinedHash, 3u);
    EXPECT_EQ(kept.back().combinedHash, 5u);

    for (uint32_t h = 100; h < 110; ++h) profiler.markEnqueued(h);  // bounded as well
    profiler.clear();
    EXPECT_TRUE(profiler.profiles().empty());
}

TEST(PipelineProfiler, SummaryReportAndDump) {
    PipelineProfiler profiler(10, true);
    FileProfile a = profileFor(1);
    a.setPhase(ProfilePhase::ocrRecognition, 2.0);
    FileProfile b = profileFor(2);
    b.fileType = ProfiledFileType::text;
    b.fileExtension = "txt";
    b.setPhase(ProfilePhase::ocrRecognition, 4.0);
    profiler.record(a);
    profiler.record(b);
    const auto summary = profiler.summary();
    EXPECT_EQ(summary.at(ProfilePhase::ocrRecognition).count, 2u);
    EXPECT_DOUBLE_EQ(summary.at(ProfilePhase::ocrRecognition).totalSeconds, 6.0);
    EXPECT_DOUBLE_EQ(summary.at(ProfilePhase::ocrRecognition).maxSeconds, 4.0);

    const std::string report = profiler.report();
    EXPECT_EQ(report.substr(0, report.find('\n')),
              "timestamp\tcombinedHash\tfileExtension\tfileType\tpageCount\tqueueWait\tfileLoad\tthumbnailRender\t"
              "ocrRecognition\tresultPersistence\ttotalProcessing");
    EXPECT_NE(report.find("\t2\ttxt\ttext\t3\t0.000\t0.000\t0.000\t4.000\t0.000\t0.000\n"), std::string::npos);

    lumidex::testing::TempDir dir;
    ASSERT_TRUE(profiler.dump(dir / "profile.tsv"));
    EXPECT_EQ(lumidex::testing::readFile(dir / "profile.tsv"), report);
    EXPECT_FALSE(profiler.dump(dir / "missing-folder" / "profile.tsv"));
}

TEST(PipelineProfiler, DumpTaskRewritesTheReportUntilStopped) {
    lumidex::testing::TempDir dir;
    const auto file = dir / "pipeline_profile.tsv";
    PipelineProfiler profiler(10, true);
    profiler.record(profileFor(77));
    profiler.startDumpTask(file, std::chrono::milliseconds(5));
    ASSERT_TRUE(testing::eventually([&] { return std::filesystem::exists(file); }));
    profiler.stopDumpTask();
    EXPECT_NE(lumidex::testing::readFile(file).find("\t77\tpdf\tpdf\t3\t"), std::string::npos);
}

}  // namespace
}  // namespace lumidex::processing
