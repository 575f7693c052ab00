#include "processing/worker/extraction_worker.h"

#include "core/app_log.h"
#include "processing/worker/frame_codec.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/library_messages.h"

namespace lumidex {
namespace {

using nlohmann::json;

constexpr int exitReadFailed = 74;      // EX_IOERR
constexpr int exitBadRequest = 65;      // EX_DATAERR
constexpr int exitSetupFailed = 71;     // EX_OSERR

// Where the worker's own last words go: the stderr it was started with (the decoders' output does not).
int ownStderr = STDERR_FILENO;

void sayOnOwnStderr(const std::string& line) {
    const std::string text = line + "\n";
    (void)!::write(ownStderr, text.data(), text.size());
}

// Replacing bad UTF-8 keeps one odd string in a transcript from failing the whole job.
std::string serialize(const json& message) { return message.dump(-1, ' ', false, json::error_handler_t::replace); }

class Channel {
public:
    Channel(int in, int out) : in_(in), out_(out) {}

    // Ends the process when Lumidex is gone: nobody would read what we produce.
    void send(const json& message) {
        const std::string frame = encodeFrame(serialize(message));
        std::string_view rest = frame;
        while (!rest.empty()) {
            const ssize_t n = ::write(out_, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) std::_Exit(exitReadFailed);
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // The next request frame; nullopt at end of input. Ends the process on a corrupt stream.
    std::optional<std::string> receive() {
        while (true) {
            if (auto frame = decoder_.next()) return frame;
            if (decoder_.failed()) {
                sayOnOwnStderr("extraction worker: corrupt request stream");
                std::_Exit(exitBadRequest);
            }
            char buffer[64 * 1024];
            const ssize_t n = ::read(in_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) std::_Exit(exitReadFailed);
            if (n == 0) return std::nullopt;
            decoder_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    }

private:
    int in_;
    int out_;
    FrameDecoder decoder_;
};

// Lines the worker's libraries log through appLog, from any thread. They travel to Lumidex as log
// messages, sent only from the thread that owns the channel, so frames never interleave.
class PendingLogLines {
public:
    void add(std::string_view line) {
        std::lock_guard lock(mutex_);
        if (lines_.size() < maxLines) lines_.emplace_back(line);
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    static constexpr std::size_t maxLines = 10000;  // a runaway logger must not exhaust the worker
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

PendingLogLines& pendingLogLines() {
    static PendingLogLines lines;
    return lines;
}

class ChannelSink final : public ProgressSink {
public:
    ChannelSink(Channel& channel, std::uint64_t id) : channel_(channel), id_(id) {}
    void progress(const json& payload) override {
        sendPendingLogLines();
        channel_.send({{"type", "progress"}, {"id", id_}, {"payload", payload}});
    }
    void sendPendingLogLines() {
        for (std::string& line : pendingLogLines().take()) log(line);
    }
    void log(std::string_view message) override {
        channel_.send({{"type", "log"}, {"id", id_}, {"message", std::string(message)}});
    }

private:
    Channel& channel_;
    std::uint64_t id_;
};

std::optional<std::string> fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

json failedResult(std::uint64_t id, std::string error, bool outOfMemory) {
    return {{"type", "result"}, {"id", id}, {"ok", false}, {"error", std::move(error)}, {"out_of_memory", outOfMemory}};
}

json serve(const JobRegistry& jobs, Channel& channel, const json& message) {
    const std::uint64_t id = message.at("id").get<std::uint64_t>();
    const std::string kind = message.at("kind").get<std::string>();
    std::filesystem::path path;
    if (const auto hex = message.find("path_hex"); hex != message.end()) {
        const auto bytes = fromHex(hex->get<std::string>());
        if (!bytes) throw std::invalid_argument("bad path_hex");
        path = *bytes;
    } else {
        path = message.at("path").get<std::string>();
    }
    static const json noOptions = json::object();
    const auto options = message.find("options");
    const json& optionsObject = options != message.end() && options->is_object() ? *options : noOptions;

    const JobHandler* handler = jobs.find(kind);
    if (!handler) return failedResult(id, "unknown job kind: " + kind, false);
    ChannelSink sink(channel, id);
    struct SendLogLinesLast {
        ChannelSink& sink;
        ~SendLogLinesLast() { sink.sendPendingLogLines(); }
    } sendLogLinesLast{sink};
    try {
        json result = (*handler)(WorkerRequest{id, kind, path, optionsObject}, sink);
        return {{"type", "result"}, {"id", id}, {"ok", true}, {"result", std::move(result)}};
    } catch (const std::bad_alloc&) {
        return failedResult(id, "out of memory", true);
    } catch (const std::exception& e) {
        return failedResult(id, e.what(), false);
    } catch (...) {
        return failedResult(id, "unknown exception", false);
    }
}

// Keeps the protocol on private descriptors and points 0 and 1 somewhere harmless.
bool takeOverStdio(int& in, int& out) {
    in = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (in < 0 || out < 0) return false;
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0) return false;
    // Without a stderr, a file opened later would become descriptor 2 and receive library warnings.
    if (::fcntl(STDERR_FILENO, F_GETFD) < 0 && ::dup2(devNull, STDERR_FILENO) < 0) return false;
    std::fflush(stdout);
    const bool redirected = ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0;
    ::close(devNull);
    return redirected;
}

// The decoders print warnings about odd but readable files on stderr or stdout (libpng's "iCCP: known
// incorrect sRGB profile", libjpeg's "Premature end of JPEG file", ImageMagick, Ghostscript). Real
// folders are full of such files: the lines belong in the debug log, not on the user's terminal. Both
// descriptors become a pipe that a thread of its own reads line by line. Without a pipe the output
// stays where it was.
void captureLibraryOutput() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved < 0 || ::dup2(fds[1], STDERR_FILENO) < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
        if (saved >= 0) {
            ::dup2(saved, STDERR_FILENO);
            ::dup2(saved, STDOUT_FILENO);
            ::close(saved);
        }
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    ::close(fds[1]);
    ownStderr = saved;
    std::thread([in = fds[0]] {
        constexpr std::size_t maxLine = 2000;  // a binary dump must not become one huge log line
        std::string line;
        char buffer[4096];
        while (true) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n' && line.size() < maxLine) line += buffer[i];
                if (buffer[i] != '\n') continue;
                if (!line.empty()) pendingLogLines().add("[decoder output] " + line);
                line.clear();
            }
        }
    }).detach();
}

}  // namespace

void JobRegistry::add(std::string kind, JobHandler handler) { handlers_[std::move(kind)] = std::move(handler); }

const JobHandler* JobRegistry::find(std::string_view kind) const {
    const auto it = handlers_.find(kind);
    return it == handlers_.end() ? nullptr : &it->second;
}

std::vector<std::string> JobRegistry::kinds() const {
    std::vector<std::string> names;
    for (const auto& entry : handlers_) names.push_back(entry.first);
    return names;
}

int runExtractionWorker(const JobRegistry& jobs) {
    int in = -1;
    int out = -1;
    if (!takeOverStdio(in, out)) {
        std::perror("extraction worker: cannot set up its channel");
        return exitSetupFailed;
    }
    Channel channel(in, out);
    captureLibraryOutput();
    redirectAppLog([](std::string_view line) { pendingLogLines().add(line); });
    platform::setLibraryMessageHandler([](std::string_view line) { pendingLogLines().add(line); });
    channel.send({{"type", "hello"},
                  {"protocol", extractionWorkerProtocolVersion},
                  {"pid", static_cast<long long>(::getpid())},
                  {"kinds", jobs.kinds()}});
    while (auto frame = channel.receive()) {
        const json message = json::parse(*frame, nullptr, false);
        json reply;
        try {
            if (!message.is_object() || message.value("type", "") != "job") throw std::invalid_argument("not a job");
            reply = serve(jobs, channel, message);
        } catch (const std::bad_alloc&) {
            throw;  // cannot even read the request: let the process end and Lumidex restart it
        } catch (const std::exception& e) {
            sayOnOwnStderr(std::string("extraction worker: malformed request: ") + e.what());
            return exitBadRequest;
        }
        channel.send(reply);
    }
    return 0;
}

int extractionWorkerMain(int argc, char** argv) {
    JobRegistry jobs;
    registerExtractionJobs(jobs);
    const bool testJobs = std::any_of(argv + std::min(argc, 2), argv + argc,
                                      [](const char* arg) { return arg == extractionWorkerTestJobsFlag; });
    if (testJobs) registerTestJobs(jobs);
    return runExtractionWorker(jobs);
}

void registerExtractionJobs(JobRegistry& jobs) {
    // The PDF, image and text extractors add their job kinds here.
    (void)jobs;
}

}  // namespace lumidex
