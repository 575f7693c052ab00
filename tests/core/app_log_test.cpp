#include "core/app_log.h"
#include "core/file_manager_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_home.h"

namespace lumidex {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

const std::regex kLaunchLine(R"(=== App launch \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} ===)");
const std::regex kTruncatedLine(R"(=== Truncated \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} ===)");
const std::string kStamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(AppLogger, AppendsALaunchLineAndTimestampedEntries) {
    testing::TempDir dir;
    writeFile(dir / "app_debug.log", "earlier run\n");
    {
        AppLogger logger(dir / "new-folder");  // created on demand
        logger.log("first");
        logger.flush();
        EXPECT_EQ(linesOf(dir / "new-folder" / "app_debug.log").size(), 2u);
    }
    {
        AppLogger logger(dir.path());
        logger.log("Grüße aus Köln");
    }

    const std::vector<std::string> lines = linesOf(dir / "app_debug.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier run");
    EXPECT_TRUE(std::regex_match(lines[1], kLaunchLine)) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(kStamp + "Grüße aus Köln"))) << lines[2];
}

TEST(AppLogger, TimestampsCarryMilliseconds) {
    const auto time = std::chrono::system_clock::from_time_t(1700000000) + std::chrono::milliseconds(7);
    const std::string stamp = localTimestamp(time);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.007)"))) << stamp;
}

TEST(AppLogger, RotatesOnlyAFileLargerThanTheThreshold) {
    testing::TempDir dir;
    const fs::path log = dir / "app_debug.log";
    const fs::path previous = dir / "app_debug_prev.log";
    writeFile(previous, "older rotation");

    writeFile(log, std::string(500000, 'x'));
    AppLogger(dir.path()).flush();
    EXPECT_EQ(readFile(previous), "older rotation");
    EXPECT_GT(fs::file_size(log), 500000u);

    writeFile(log, std::string(500001, 'y'));
    AppLogger(dir.path()).flush();
    EXPECT_EQ(fs::file_size(previous), 500001u);
    const std::vector<std::string> lines = linesOf(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], kLaunchLine)) << lines[0];
}

TEST(AppLogger, ClearKeepsOnlyWhatFollowsIt) {
    testing::TempDir dir;
    AppLogger logger(dir.path());
    logger.log("before");
    logger.clear();
    logger.log("after");
    logger.flush();

    const std::vector<std::string> lines = linesOf(dir / "app_debug.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], kTruncatedLine)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kStamp + "after"))) << lines[1];
}

TEST(AppLogger, ConcurrentLinesStayWholeAndInOrderPerThread) {
    testing::TempDir dir;
    constexpr int threads = 8;
    constexpr int perThread = 2000;
    {
        AppLogger logger(dir.path());
        std::vector<std::jthread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&logger, t] {
                for (int i = 0; i < perThread; ++i) logger.log("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        }
    }  // joins the writers, then the destructor drains the queue

    const std::vector<std::string> lines = linesOf(dir / "app_debug.log");
    ASSERT_EQ(lines.size(), 1u + threads * perThread);
    const std::regex entry(kStamp + R"(thread (\d+) line (\d+))");
    std::map<int, int> next;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, entry)) << lines[i];
        const int t = std::stoi(m[1]);
        ASSERT_EQ(std::stoi(m[2]), next[t]++) << "thread " << t;
    }
}

TEST(AppLogger, AnUnwritableFolderGoesToStderrWithoutBlocking) {
    testing::TempDir dir;
    writeFile(dir / "blocked", "a file where the folder belongs");
    ::testing::internal::CaptureStderr();
    {
        AppLogger logger(dir / "blocked");
        logger.log("kept on stderr");
        logger.flush();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("app log: could not"), std::string::npos) << err;
    EXPECT_NE(err.find("kept on stderr"), std::string::npos) << err;
}

// The shared logger drains at exit, and a line logged after that goes to stderr instead of crashing.
TEST(SharedAppLog, IsWrittenAtExitAndFallsBackToStderrAfterwards) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death-test child re-runs this body; it must write where the parent looks.
    constexpr const char* kVariable = "LUMIDEX_TEST_APP_LOG_STATE";
    std::optional<testing::TempDir> own;
    const char* inherited = std::getenv(kVariable);
    if (inherited == nullptr) own.emplace();
    const fs::path state = inherited != nullptr ? fs::path(inherited) : own->path();
    setenv(kVariable, state.c_str(), 1);

    EXPECT_EXIT(
        {
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            std::atexit([] { appLog("logged after the drain"); });  // runs after the logger's exit drain
            for (int i = 0; i < 500; ++i) appLog("shared line " + std::to_string(i));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "logged after the drain");
    unsetenv(kVariable);

    const std::vector<std::string> lines = linesOf(state / "lumidex" / "app_debug.log");
    ASSERT_EQ(lines.size(), 501u);
    EXPECT_TRUE(std::regex_match(lines[500], std::regex(kStamp + "shared line 499"))) << lines[500];
}

TEST(FileManagerLog, AppendsTimestampedLinesInApplicationSupport) {
    testing::ScopedHome home;
    EXPECT_TRUE(fileManagerLog("moved a.pdf"));
    EXPECT_TRUE(fileManagerLog("removed b.pdf"));

    const std::vector<std::string> lines = linesOf(home.dataHome() / "FileManagerLog.txt");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kStamp + "moved a\\.pdf"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(kStamp + "removed b\\.pdf"))) << lines[1];
}

TEST(FileManagerLog, PrintsItsFailures) {
    testing::TempDir dir;
    writeFile(dir / "file", "x");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(appendFileManagerLog(dir / "file" / "support", "lost"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("Fehler beim Erstellen des Application Support Directory: ", 0),
              0u);

    fs::create_directories(dir / "support" / "FileManagerLog.txt");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(appendFileManagerLog(dir / "support", "lost"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("Fehler beim Schreiben in die Log-Datei: ", 0), 0u);
}

}  // namespace
}  // namespace lumidex
