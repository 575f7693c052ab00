#include "processing/worker/extraction_worker_pool.h"

#include "platform/subprocess.h"
#include "processing/worker/frame_codec.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/eventually.h"

namespace lumidex {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Reason = ExtractionFailure::Reason;

// Thread-safe capture of the pool's log lines.
struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;

    std::function<void(std::string_view)> sink() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        };
    }
    bool contains(std::string_view needle) {
        std::lock_guard lock(mutex);
        for (const auto& line : lines) {
            if (line.find(needle) != std::string::npos) return true;
        }
        return false;
    }
};

ExtractionWorkerPoolOptions testOptions(LogLines& log, std::size_t workers = 1) {
    ExtractionWorkerPoolOptions options;
    options.workerExecutable = LUMIDEX_TEST_WORKER;
    options.workerArguments = {"--extraction-worker", "--enable-test-jobs"};
    options.workerCount = workers;
    options.memoryLimitBytes = 1ull << 30;
    options.timeLimit = 60s;  // generous: only the time-out tests rely on a limit
    options.log = log.sink();
    return options;
}

ExtractionRequest request(std::string kind, std::string path = "/docs/a.pdf", json options = json::object()) {
    return ExtractionRequest{std::move(kind), std::move(path), options.dump(), std::nullopt};
}

long long workerPid(const ExtractionOutcome& outcome) {
    EXPECT_TRUE(outcome.ok()) << outcome.description();
    return outcome.ok() ? json::parse(outcome.resultJson()).at("pid").get<long long>() : -1;
}

// Collects the outcomes of submitted jobs and waits for them.
struct Completions {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ExtractionOutcome> outcomes;

    ExtractionWorkerPool::DoneHandler handler() {
        return [this](ExtractionOutcome outcome) {
            std::lock_guard lock(mutex);
            outcomes.push_back(std::move(outcome));
            changed.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::seconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return outcomes.size() >= count; });
    }
};

using lumidex::testing::eventually;

TEST(ExtractionWorkerPool, EchoStreamsProgressThenTheResult) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    std::vector<json> pages;
    const auto outcome = pool.run(request("test.echo", "/docs/a.pdf",
                                          {{"progress", 3}, {"sleep_ms", 30}, {"log", "note from worker"},
                                           {"stderr", "libpng warning: iCCP: known incorrect sRGB profile"}}),
                                  [&](const std::string& payload) { pages.push_back(json::parse(payload)); });
    ASSERT_TRUE(outcome.ok()) << outcome.description();
    const json result = json::parse(outcome.resultJson());
    EXPECT_EQ(result["kind"], "test.echo");
    EXPECT_EQ(result["path"], "/docs/a.pdf");
    EXPECT_EQ(result["options"]["progress"], 3);
    ASSERT_EQ(pages.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pages[static_cast<std::size_t>(i)]["page"], i);
        EXPECT_EQ(pages[static_cast<std::size_t>(i)]["text"], "page " + std::to_string(i) + " of /docs/a.pdf");
    }
    EXPECT_TRUE(log.contains("note from worker"));
    // A library's warning on stderr reaches the debug log, not the terminal.
    EXPECT_TRUE(log.contains("[decoder output] libpng warning: iCCP: known incorrect sRGB profile"));
    EXPECT_EQ(outcome.description(), "ok");
}

TEST(ExtractionWorkerPool, PathsThatAreNotUtf8ReachTheWorkerByteForByte) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    const auto outcome = pool.run(request("test.echo", std::string("/docs/caf\xe9.pdf")));
    ASSERT_TRUE(outcome.ok()) << outcome.description();
    EXPECT_EQ(json::parse(outcome.resultJson())["path_hex"], "2f646f63732f636166e92e706466");
}

TEST(ExtractionWorkerPool, ACrashEndsOnlyItsJobAndTheNextRunsOnAFreshWorker) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    const long long firstPid = workerPid(pool.run(request("test.echo")));

    const auto crashed = pool.run(request("test.crash", "/docs/hostile.pdf"));
    ASSERT_FALSE(crashed.ok());
    EXPECT_EQ(crashed.failure().reason, Reason::crashed);
    EXPECT_EQ(crashed.failure().signal, SIGSEGV);
    EXPECT_TRUE(log.contains("/docs/hostile.pdf")) << "the failure is logged with the file";
    EXPECT_TRUE(log.contains("SIGSEGV"));

    const long long nextPid = workerPid(pool.run(request("test.echo")));
    EXPECT_NE(nextPid, firstPid);
    EXPECT_EQ(pool.stats().workerStarts, 2u);

    const auto exited = pool.run(request("test.exit", "/docs/b.pdf", {{"code", 3}}));
    ASSERT_FALSE(exited.ok());
    EXPECT_EQ(exited.failure().reason, Reason::crashed);
    EXPECT_EQ(exited.failure().signal, 0);
    EXPECT_NE(exited.failure().message.find("exit code 3"), std::string::npos) << exited.failure().message;
}

TEST(ExtractionWorkerPool, AHangIsKilledAtItsTimeLimit) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    auto hang = request("test.hang", "/docs/endless.pdf");
    hang.timeLimit = 1s;
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = pool.run(hang);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    EXPECT_TRUE(log.contains("/docs/endless.pdf"));
    EXPECT_TRUE(pool.run(request("test.echo")).ok());
}

TEST(ExtractionWorkerPool, EveryProgressMessageExtendsTheTimeLimit) {
    LogLines log;
    auto options = testOptions(log);
    options.perPageTimeLimit = 20s;
    ExtractionWorkerPool pool(options);
    // Three pages of 0.5 s each take longer than the base limit of 1.2 s, but each page buys 20 s more.
    auto slow = request("test.echo", "/docs/long.pdf", {{"progress", 3}, {"sleep_ms", 500}});
    slow.timeLimit = 1200ms;
    const auto outcome = pool.run(slow);
    EXPECT_TRUE(outcome.ok()) << outcome.description();
}

TEST(ExtractionWorkerPool, RunningOutOfMemoryFailsTheJobNotThePool) {
    if (!platform::addressSpaceLimitAvailable) GTEST_SKIP() << "no address-space limit in sanitizer builds";
    LogLines log;
    auto options = testOptions(log);
    options.memoryLimitBytes = 768ull << 20;
    ExtractionWorkerPool pool(options);
    const long long firstPid = workerPid(pool.run(request("test.echo")));
    const auto outcome = pool.run(request("test.oom", "/docs/bomb.png"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::outOfMemory) << outcome.description();
    EXPECT_TRUE(log.contains("/docs/bomb.png"));
    // The worker that hit its limit is replaced.
    EXPECT_NE(workerPid(pool.run(request("test.echo"))), firstPid);
}

TEST(ExtractionWorkerPool, HandlerErrorsAndBadRequestsEndAsJobFailed) {
    LogLines log;
    auto options = testOptions(log);
    options.memoryLimitBytes = 0;
    ExtractionWorkerPool pool(options);
    const long long pid = workerPid(pool.run(request("test.echo")));

    const auto thrown = pool.run(request("test.fail", "/docs/c.txt", {{"message", "cannot decode"}}));
    ASSERT_FALSE(thrown.ok());
    EXPECT_EQ(thrown.failure().reason, Reason::jobFailed);
    EXPECT_EQ(thrown.failure().message, "cannot decode");

    const auto unknown = pool.run(request("no.such.kind"));
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.failure().reason, Reason::jobFailed);

    // Without an address-space limit the memory test job refuses to run at all.
    const auto refused = pool.run(request("test.oom"));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.failure().reason, Reason::jobFailed);

    auto badOptions = request("test.echo");
    badOptions.optionsJson = "[1, 2";
    const auto rejected = pool.run(badOptions);
    ASSERT_FALSE(rejected.ok());
    EXPECT_EQ(rejected.failure().reason, Reason::jobFailed);

    EXPECT_EQ(workerPid(pool.run(request("test.echo"))), pid) << "ordinary failures keep the worker";
}

TEST(ExtractionWorkerPool, ProductionWorkersRefuseTheTestJobs) {
    LogLines log;
    auto options = testOptions(log);
    options.workerArguments = {"--extraction-worker"};
    ExtractionWorkerPool pool(options);
    const auto outcome = pool.run(request("test.crash"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::jobFailed);
    EXPECT_NE(outcome.failure().message.find("unknown job kind"), std::string::npos);
}

TEST(ExtractionWorkerPool, ManyConcurrentJobsAcrossTwoWorkersAllComplete) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log, 2));
    EXPECT_EQ(pool.workerCount(), 2u);
    constexpr std::size_t jobs = 40;
    Completions done;
    std::atomic<int> progress{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&] {
            for (std::size_t i = 0; i < jobs / 4; ++i) {
                pool.submit(request("test.echo", "/docs/many.pdf", {{"progress", 2}}),
                            [&](const std::string&) { ++progress; }, done.handler());
            }
        });
    }
    for (auto& t : submitters) t.join();
    ASSERT_TRUE(done.waitFor(jobs));
    std::set<long long> pids;
    for (const auto& outcome : done.outcomes) pids.insert(workerPid(outcome));
    EXPECT_LE(pids.size(), 2u);
    EXPECT_EQ(progress.load(), static_cast<int>(jobs * 2));
    EXPECT_EQ(pool.stats().completedJobs, jobs);
}

TEST(ExtractionWorkerPool, WorkersAreRecycledAfterTheConfiguredNumberOfJobs) {
    LogLines log;
    auto options = testOptions(log);
    options.maxJobsPerWorker = 3;
    ExtractionWorkerPool pool(options);
    std::set<long long> pids;
    for (int i = 0; i < 7; ++i) pids.insert(workerPid(pool.run(request("test.echo"))));
    EXPECT_EQ(pids.size(), 3u);
    EXPECT_EQ(pool.stats().workerStarts, 3u);
}

TEST(ExtractionWorkerPool, CancelWithdrawsQueuedJobsAndStopsRunningOnes) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    Completions hung, queued;
    const auto running = pool.submit(request("test.hang"), {}, hung.handler());
    const auto waiting = pool.submit(request("test.echo"), {}, queued.handler());
    ASSERT_TRUE(eventually([&] { return pool.stats().runningJobs == 1; }));
    EXPECT_TRUE(pool.cancel(waiting));
    ASSERT_TRUE(queued.waitFor(1));
    EXPECT_EQ(queued.outcomes[0].failure().reason, Reason::cancelled);
    EXPECT_TRUE(pool.cancel(running));
    ASSERT_TRUE(hung.waitFor(1));
    EXPECT_EQ(hung.outcomes[0].failure().reason, Reason::cancelled);
    EXPECT_FALSE(pool.cancel(running));
    const auto after = pool.run(request("test.echo"));
    EXPECT_TRUE(after.ok()) << after.description();
}

TEST(ExtractionWorkerPool, UrgentJobsOvertakeTheQueueAndDeferrableOnesWaitForTheRest) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    Completions busy, done;
    const auto running = pool.submit(request("test.hang"), {}, busy.handler());
    ASSERT_TRUE(eventually([&] { return pool.stats().runningJobs == 1; }));
    // "!" urgent, "~" deferrable; each kind keeps its own order.
    const std::vector<std::string> submitted{"~d1", "/a", "!u1", "~d2", "/b", "!u2"};
    for (const std::string& path : submitted) {
        ExtractionRequest r = request("test.echo", path);
        r.urgent = path[0] == '!';
        r.deferrable = path[0] == '~';
        pool.submit(std::move(r), {}, done.handler());
    }
    EXPECT_TRUE(pool.cancel(running));
    ASSERT_TRUE(done.waitFor(submitted.size()));
    std::vector<std::string> order;
    for (const auto& outcome : done.outcomes) order.push_back(json::parse(outcome.resultJson()).at("path"));
    EXPECT_EQ(order, (std::vector<std::string>{"!u1", "!u2", "/a", "/b", "~d1", "~d2"}));
}

TEST(ExtractionWorkerPool, DestroyingThePoolEndsRunningAndQueuedJobsPromptly) {
    LogLines log;
    Completions done;
    auto pool = std::make_unique<ExtractionWorkerPool>(testOptions(log, 2));
    for (int i = 0; i < 2; ++i) pool->submit(request("test.hang"), {}, done.handler());
    for (int i = 0; i < 3; ++i) pool->submit(request("test.echo"), {}, done.handler());
    ASSERT_TRUE(eventually([&] { return pool->stats().runningJobs == 2; }));

    const auto started = std::chrono::steady_clock::now();
    pool.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    ASSERT_TRUE(done.waitFor(5, 0s)) << "every job has ended by the time the destructor returns";
    for (const auto& outcome : done.outcomes) {
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.failure().reason, Reason::workerUnavailable) << outcome.description();
    }
}

TEST(ExtractionWorkerPool, JobsSubmittedAfterShutdownEndAtOnce) {
    LogLines log;
    ExtractionWorkerPool pool(testOptions(log));
    pool.shutdown();
    const auto outcome = pool.run(request("test.echo"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::workerUnavailable);
    pool.shutdown();  // idempotent
}

TEST(ExtractionWorkerPool, AProgramThatIsNotAWorkerIsReportedNotTrusted) {
    LogLines log;
    auto options = testOptions(log);
    options.workerExecutable = "/nonexistent/worker";
    ExtractionWorkerPool missing(options);
    auto outcome = missing.run(request("test.echo"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::workerUnavailable);

    options.workerExecutable = "/bin/cat";  // never greets
    options.workerArguments = {};
    options.startupTimeLimit = 300ms;
    ExtractionWorkerPool silent(options);
    outcome = silent.run(request("test.echo"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::workerUnavailable);

    // Greets properly, then answers the job with a frame that is not JSON, and would hang afterwards.
    options.workerExecutable = "/bin/sh";
    options.startupTimeLimit = 20s;
    options.workerArguments = {
        "-c", R"(printf '\000\000\000\035{"type":"hello","protocol":1}'; head -c 4 >/dev/null; )"
              R"(printf '\000\000\000\003abc'; exec sleep 600)"};
    ExtractionWorkerPool garbled(options);
    outcome = garbled.run(request("test.echo", "/docs/garbled.pdf"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.failure().reason, Reason::protocolError) << outcome.description();
    EXPECT_TRUE(log.contains("/docs/garbled.pdf"));

    // Valid JSON for the right job, but a member of the wrong type: a protocol error, not an exception
    // that ends Lumidex. A greeting with the protocol as a string is refused as well.
    const auto octal = [](std::string_view bytes) {  // a printf format that prints these bytes
        std::string format;
        for (const unsigned char c : bytes)
            format += "\\" + std::to_string(c >> 6) + std::to_string((c >> 3) & 7) + std::to_string(c & 7);
        return format;
    };
    const std::string hello = octal(encodeFrame(R"({"type":"hello","protocol":1})"));
    for (const std::string reply : {R"({"id":1,"type":7})", R"({"id":1,"type":"result","ok":"yes"})",
                                    R"({"id":1,"type":"log","message":[1]})"}) {
        options.workerArguments = {"-c", "printf '" + hello + "'; head -c 4 >/dev/null; printf '" +
                                             octal(encodeFrame(reply)) + "'; exec sleep 600"};
        ExtractionWorkerPool mistyped(options);
        outcome = mistyped.run(request("test.echo"));
        ASSERT_FALSE(outcome.ok()) << reply;
        EXPECT_EQ(outcome.failure().reason, Reason::protocolError) << reply << ": " << outcome.description();
    }
    options.workerArguments = {"-c", "printf '" + octal(encodeFrame(R"({"type":"hello","protocol":"1"})")) +
                                         "'; exec sleep 600"};
    ExtractionWorkerPool oddGreeting(options);
    EXPECT_EQ(oddGreeting.run(request("test.echo")).failure().reason, Reason::workerUnavailable);
}

}  // namespace
}  // namespace lumidex
