#include "core/app_log.h"

#include "platform/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace lumidex {
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

std::tm localTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

// For the launch and truncation lines: "yyyy-MM-dd HH:mm:ss +hhmm".
std::string currentDate() {
    const std::tm local = localTime(std::time(nullptr));
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

struct Entry {
    bool clear = false;
    std::string text;  // complete, newline included
};

}  // namespace

std::string localTimestamp(Clock::time_point time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
    const std::tm local = localTime(Clock::to_time_t(seconds));
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

struct AppLogger::Impl {
    explicit Impl(fs::path dir)
        : directory(std::move(dir)),
          file(directory / "app_debug.log"),
          launchLine("=== App launch " + currentDate() + " ===\n"),
          writer([this] { run(); }) {}

    ~Impl() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        writer.join();
        if (fd >= 0) ::close(fd);
    }

    void enqueue(Entry entry) {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(entry));
            ++queued;
        }
        wake.notify_one();
    }

    void flush() {
        std::unique_lock lock(mutex);
        const std::uint64_t target = queued;
        written.wait(lock, [&] { return done >= target; });
    }

    void run() {
        start();
        std::vector<Entry> batch;
        for (;;) {
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [&] { return stopping || !queue.empty(); });
                if (queue.empty()) return;  // stopping, and everything is written
                batch.swap(queue);
            }
            write(batch);
            {
                std::lock_guard lock(mutex);
                done += batch.size();
            }
            written.notify_all();
            batch.clear();
        }
    }

    // Off the callers' threads: folder creation, rotation, opening and the launch line.
    void start() {
        std::error_code ec;
        fs::create_directories(directory, ec);
        if (ec) fail("could not create " + directory.string() + ": " + ec.message(), {});
        const std::uintmax_t size = fs::file_size(file, ec);
        if (!ec && size > rotationThreshold) {
            const fs::path previous = directory / "app_debug_prev.log";
            fs::remove(previous, ec);
            fs::rename(file, previous, ec);
            if (ec) fail("could not rotate " + file.string() + ": " + ec.message(), {});
        }
        append(launchLine);
    }

    void write(const std::vector<Entry>& entries) {
        std::string pending;
        for (const Entry& entry : entries) {
            if (!entry.clear) {
                pending += entry.text;
                continue;
            }
            append(pending);
            pending.clear();
            truncate();
            append(entry.text);
        }
        append(pending);
    }

    bool ensureOpen() {
        if (fd >= 0) return true;
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return fd >= 0;
    }

    void append(std::string_view text) {
        if (text.empty()) return;
        if (!ensureOpen()) {
            fail("could not open " + file.string() + ": " + std::strerror(errno), text);
            return;
        }
        while (!text.empty()) {
            const ssize_t n = ::write(fd, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail("could not write " + file.string() + ": " + std::strerror(n < 0 ? errno : EIO), text);
                ::close(fd);  // reopened for the next line
                fd = -1;
                return;
            }
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        failing = false;
    }

    void truncate() {
        if (!ensureOpen()) return;  // the following append reports it
        if (::ftruncate(fd, 0) != 0) fail("could not truncate " + file.string() + ": " + std::strerror(errno), {});
        ::lseek(fd, 0, SEEK_SET);
    }

    // The reason once per run of failures; the lost text every time, so nothing vanishes silently.
    void fail(const std::string& reason, std::string_view lost) {
        if (!failing) std::fprintf(stderr, "app log: %s\n", reason.c_str());
        failing = true;
        if (!lost.empty()) std::fwrite(lost.data(), 1, lost.size(), stderr);
    }

    const fs::path directory;
    const fs::path file;
    const std::string launchLine;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;
    std::vector<Entry> queue;
    std::uint64_t queued = 0;
    std::uint64_t done = 0;
    bool stopping = false;

    // Writer thread only.
    int fd = -1;
    bool failing = false;

    std::jthread writer;  // last: starts after, and stops before, everything above
};

AppLogger::AppLogger(fs::path directory) : impl_(std::make_unique<Impl>(std::move(directory))) {}
AppLogger::~AppLogger() = default;

void AppLogger::log(std::string_view message) {
    std::string line;
    line.reserve(message.size() + 27);
    line += '[';
    line += localTimestamp(Clock::now());
    line += "] ";
    line += message;
    line += '\n';
    impl_->enqueue({false, std::move(line)});
}

void AppLogger::clear() { impl_->enqueue({true, "=== Truncated " + currentDate() + " ===\n"}); }

void AppLogger::flush() { impl_->flush(); }

fs::path AppLogger::filePath() const { return impl_->file; }

namespace {

std::atomic<bool> sharedLoggerClosed{false};

// Drains the shared logger when static objects are torn down at exit. The logger itself is never
// destroyed, so a line logged during or after that cannot touch a dead object; it goes to stderr.
struct ExitDrain {
    AppLogger* logger;
    ~ExitDrain() {
        sharedLoggerClosed.store(true);
        logger->flush();
    }
};

AppLogger* sharedLogger() {
    if (sharedLoggerClosed.load()) return nullptr;
    static AppLogger* const logger = new AppLogger(platform::userDirectories().appDocuments);
    static const ExitDrain drain{logger};
    return logger;
}

}  // namespace

namespace {
std::mutex redirectMutex;
std::shared_ptr<const std::function<void(std::string_view)>> appLogRedirect;
}  // namespace

void redirectAppLog(std::function<void(std::string_view)> redirect) {
    std::lock_guard lock(redirectMutex);
    if (redirect) appLogRedirect = std::make_shared<const std::function<void(std::string_view)>>(std::move(redirect));
    else appLogRedirect.reset();
}

void appLog(std::string_view message) {
    std::shared_ptr<const std::function<void(std::string_view)>> redirect;
    {
        std::lock_guard lock(redirectMutex);
        redirect = appLogRedirect;
    }
    if (redirect) {
        (*redirect)(message);
        return;
    }
    if (AppLogger* logger = sharedLogger()) logger->log(message);
    else std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
}

void clearAppLog() {
    if (AppLogger* logger = sharedLogger()) logger->clear();
}

void flushAppLog() {
    if (AppLogger* logger = sharedLogger()) logger->flush();
}

}  // namespace lumidex
