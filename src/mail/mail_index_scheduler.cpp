#include "mail/mail_index_scheduler.h"

#include <exception>

#include "core/app_log.h"

namespace lumidex::mail {

namespace {

bool atOrBelow(const std::filesystem::path& path, const std::filesystem::path& folder) {
    const std::filesystem::path relative = path.lexically_normal().lexically_relative(folder.lexically_normal());
    return !relative.empty() && *relative.begin() != "..";
}

bool ignored(const std::filesystem::path& path, const std::vector<std::filesystem::path>& folders) {
    for (const std::filesystem::path& folder : folders) {
        if (atOrBelow(path, folder)) return true;
    }
    return false;
}

}  // namespace

MailIndexScheduler::MailIndexScheduler(Runner runner, Options options)
    : runner_(std::move(runner)), options_(std::move(options)) {}

MailIndexScheduler::~MailIndexScheduler() { stop(); }

std::chrono::steady_clock::time_point MailIndexScheduler::now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

void MailIndexScheduler::log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    } else {
        appLog(line);
    }
}

void MailIndexScheduler::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_ || stopping_) return;
        started_ = true;
        status_.started = true;
        requested_ = true;  // the run at start
        pollDue_ = now() + options_.poll;
    }
    const auto watch = [this](const std::filesystem::path& root, const std::optional<std::filesystem::path>& onlyFile) {
        const std::vector<std::filesystem::path> ignoredFolders = options_.ignoredFolders;
        platform::FileWatcher::Handler handler;
        handler.changed = [this, onlyFile, ignoredFolders](const std::string& path) {
            if (onlyFile && std::filesystem::path(path).lexically_normal() != onlyFile->lexically_normal()) return;
            if (!ignored(path, ignoredFolders)) fileChanged();
        };
        handler.rescanNeeded = [this](platform::RescanReason) { fileChanged(); };
        handler.problem = [this](const std::string& message) { log("MailIndexScheduler: " + message); };
        platform::FileWatcher::Options watcherOptions;
        watcherOptions.skipDirectory = [root, onlyFile, ignoredFolders](const std::filesystem::path& directory) {
            return (onlyFile && directory.lexically_normal() != root.lexically_normal()) || ignored(directory, ignoredFolders);
        };
        auto watcher = options_.makeWatcher ? options_.makeWatcher(root, std::move(handler))
                                            : platform::createFileWatcher(root, std::move(handler), std::move(watcherOptions));
        if (watcher) watchers_.push_back(std::move(watcher));
    };
    for (const std::filesystem::path& root : options_.watchRoots) watch(root, std::nullopt);
    for (const std::filesystem::path& file : options_.watchFiles) watch(file.parent_path(), file);
    thread_ = std::thread([this] { loop(); });
}

void MailIndexScheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        status_.started = false;
    }
    cancelled_ = true;
    changed_.notify_all();
    // Watchers first: their callbacks reach into this object.
    for (auto& watcher : watchers_) watcher->stop();
    if (thread_.joinable()) thread_.join();
    watchers_.clear();
}

void MailIndexScheduler::fileChanged() {
    std::lock_guard lock(mutex_);
    debounceDue_ = now() + options_.debounce;
    changed_.notify_all();
}

void MailIndexScheduler::requestRun(bool force, bool restart) {
    std::lock_guard lock(mutex_);
    requested_ = true;
    forceRequested_ = forceRequested_ || force;
    restartRequested_ = restartRequested_ || restart;
    ++requestGeneration_;
    changed_.notify_all();
}

MailRunOutcome MailIndexScheduler::runNow(bool force) {
    std::unique_lock lock(mutex_);
    if (!started_ || stopping_) {
        MailRunOutcome outcome;
        outcome.errors.push_back("mail indexing is not running");
        return outcome;
    }
    requested_ = true;
    forceRequested_ = forceRequested_ || force;
    const int64_t ticket = ++requestGeneration_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return servedGeneration_ >= ticket || stopping_; });
    if (servedGeneration_ < ticket) {
        MailRunOutcome outcome;
        outcome.errors.push_back("mail indexing stopped");
        return outcome;
    }
    return status_.lastOutcome;
}

void MailIndexScheduler::wake() {
    // Through the lock, so that the loop either reads the clock after this or is already waiting.
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

MailIndexScheduler::Status MailIndexScheduler::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

bool MailIndexScheduler::waitForRuns(int64_t runs, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return status_.runsCompleted >= runs; });
}

void MailIndexScheduler::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto t = now();
        const bool debounced = debounceDue_ && t >= *debounceDue_;
        if (!requested_ && !debounced && t < pollDue_) {
            auto next = pollDue_;
            if (debounceDue_ && *debounceDue_ < next) next = *debounceDue_;
            changed_.wait_for(lock, next - t);
            continue;
        }
        const bool force = forceRequested_;
        const bool restart = restartRequested_;
        const int64_t ticket = requestGeneration_;
        requested_ = false;
        forceRequested_ = false;
        restartRequested_ = false;
        debounceDue_.reset();
        status_.running = true;
        status_.lastRunStarted = lumidex::now();
        lock.unlock();

        MailRunOutcome outcome;
        try {
            outcome = runner_(force, restart, cancelled_);
        } catch (const std::exception& e) {
            outcome.errors.push_back(std::string("mail index run failed: ") + e.what());
        }
        if (!outcome.errors.empty()) log("MailIndexScheduler: run ended with " + outcome.errors.front());

        lock.lock();
        status_.running = false;
        status_.lastRunFinished = lumidex::now();
        status_.lastError = outcome.errors.empty() ? std::string() : outcome.errors.front();
        status_.lastOutcome = std::move(outcome);
        ++status_.runsCompleted;
        servedGeneration_ = ticket;
        pollDue_ = now() + options_.poll;
        changed_.notify_all();
    }
    // Whoever waits for a run learns that none will come.
    changed_.notify_all();
}

}  // namespace lumidex::mail
