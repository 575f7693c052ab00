// The long-lived driver of mail index runs: one run when started, one after file-system changes below
// the mail stores have settled (debounced), one every poll interval, and one on demand. Runs never
// overlap; triggers that arrive during a run are coalesced into the next one.
//
// Ownership and threads: the scheduler owns one thread that makes the runs and the file watchers of its
// roots; stop() (also run by the destructor) cancels a running run through its flag, waits for it and
// ends both. Every member may be called from any thread, except that stop() must not be called from
// the runner. Time comes from the injected clock: with a clock that does not move by itself, nothing is
// due until a test advances it and calls wake(). Failure behaviour: nothing throws except
// std::bad_alloc; a runner that throws is reported as the run's error.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/model/date.h"
#include "platform/file_watcher.h"

namespace lumidex::mail {

// What one run over every configured mail source did.
struct MailRunOutcome {
    int64_t messagesRead = 0;
    int64_t messagesWritten = 0;
    int64_t messagesRemoved = 0;
    int64_t messagesFailed = 0;
    int64_t attachmentsFailed = 0;  // not read; their messages are indexed with their names
    std::vector<std::string> errors;

    bool ok() const { return errors.empty(); }
};

class MailIndexScheduler {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // `restart`: the run reads the mail client's store from its first message (its cursor set back
    // before the run starts, so that a run already under way cannot overwrite the reset).
    using Runner = std::function<MailRunOutcome(bool force, bool restart, const std::atomic<bool>& cancelled)>;
    using WatcherFactory = std::function<std::unique_ptr<platform::FileWatcher>(const std::filesystem::path& root,
                                                                                platform::FileWatcher::Handler handler)>;

    struct Options {
        std::chrono::steady_clock::duration debounce = std::chrono::seconds(10);
        std::chrono::steady_clock::duration poll = std::chrono::seconds(300);
        Clock clock;                                 // default: steady_clock::now
        std::vector<std::filesystem::path> watchRoots;  // folders whose changes (at any depth) trigger a run
        // Files (an mbox) whose own changes trigger a run: their folder is watched without what lies below it.
        std::vector<std::filesystem::path> watchFiles;
        // Changes at or below these never trigger a run: the program's own files, which every run writes.
        std::vector<std::filesystem::path> ignoredFolders;
        WatcherFactory makeWatcher;                  // default: platform::createFileWatcher
        std::function<void(std::string_view)> log;   // default: the application log
    };

    struct Status {
        bool started = false;
        bool running = false;
        int64_t runsCompleted = 0;
        std::optional<Date> lastRunStarted;
        std::optional<Date> lastRunFinished;
        MailRunOutcome lastOutcome;
        std::string lastError;  // the first error of the last run, "" when it had none
    };

    MailIndexScheduler(Runner runner, Options options);
    ~MailIndexScheduler();
    MailIndexScheduler(const MailIndexScheduler&) = delete;
    MailIndexScheduler& operator=(const MailIndexScheduler&) = delete;

    // Installs the watchers and the thread; the first run starts at once. Idempotent.
    void start();
    void stop();

    // A change below a watched root: (re)starts the debounce.
    void fileChanged();
    // A run as soon as the current one (if any) has ended; `force` skips the fast path, `restart` starts
    // from the first message. Flags of coalesced requests add up.
    void requestRun(bool force = false, bool restart = false);
    // requestRun() and waits for that run; its outcome. Not started (or stopped): an outcome whose error
    // says so.
    MailRunOutcome runNow(bool force = false);
    // Looks at the clock again (after a test moved it).
    void wake();

    Status status() const;
    // Until `runs` runs have completed in all, or the timeout passed; false on time-out.
    bool waitForRuns(int64_t runs, std::chrono::milliseconds timeout) const;

private:
    void loop();
    std::chrono::steady_clock::time_point now() const;
    void log(const std::string& line) const;

    Runner runner_;
    Options options_;
    std::vector<std::unique_ptr<platform::FileWatcher>> watchers_;
    std::thread thread_;
    std::atomic<bool> cancelled_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool started_ = false;
    bool stopping_ = false;
    bool requested_ = false;
    bool forceRequested_ = false;
    bool restartRequested_ = false;
    int64_t requestGeneration_ = 0;
    int64_t servedGeneration_ = 0;
    std::optional<std::chrono::steady_clock::time_point> debounceDue_;
    std::chrono::steady_clock::time_point pollDue_{};
    Status status_;
};

}  // namespace lumidex::mail
