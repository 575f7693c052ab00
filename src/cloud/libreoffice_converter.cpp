#include "cloud/libreoffice_converter.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <fstream>

#include "core/app_log.h"
#include "platform/subprocess.h"

namespace lumidex::cloud {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A file URL for the office process: every byte outside the unreserved set percent-encoded.
std::string fileUrl(const fs::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (const unsigned char c : path.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

bool isExecutable(const fs::path& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

// Sessions ("<pid>-<n>") of this process whose office may still run: their folders are not touched.
std::mutex liveSessionsMutex;
std::set<std::string> liveSessions;

// Whether the session named `session` ("<pid>-<n>...") has ended: its process is gone, or it is one of
// this process's that is no longer live.
bool sessionEnded(const std::string& session) {
    const int pid = std::atoi(session.c_str());
    if (pid <= 0) return false;
    if (pid == ::getpid()) {
        std::lock_guard lock(liveSessionsMutex);
        return !liveSessions.contains(session);
    }
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// The folders in which the office processes pass their pipe sockets (fixed by the office suite).
constexpr std::array<const char*, 2> kSocketFolders{"/tmp", "/var/tmp"};

// The office names its sockets "OSL_PIPE_<uid>_<pipe name>"; ours are "lumidex-office-<session>".
std::string officeSocketPrefix() { return "OSL_PIPE_" + std::to_string(::getuid()) + "_"; }
std::string pipeSocketPrefix() { return officeSocketPrefix() + "lumidex-office-"; }

// The parent of process `pid` as /proc tells it, 0 when it cannot be read.
int parentPid(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // "<pid> (<name>) <state> <ppid> ...": the name may hold blanks and parentheses.
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) return 0;
    std::istringstream rest(line.substr(nameEnd + 1));
    std::string state;
    int parent = 0;
    rest >> state >> parent;
    return parent;
}

void removeOwnSocket(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid()) ::unlink(path.c_str());
}

// What sessions killed without their cleanup left: their temporary folders and pipe sockets. A
// session that ended normally removed its own.
void removeWhatEndedSessionsLeft(const fs::path& temporaryRoot) {
    std::error_code ec;
    for (fs::directory_iterator it(temporaryRoot, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (sessionEnded(it->path().filename().string())) fs::remove_all(it->path(), ignored);
    }
    const std::string prefix = pipeSocketPrefix();
    for (const char* folder : kSocketFolders) {
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.starts_with(prefix) && sessionEnded(name.substr(prefix.size()))) removeOwnSocket(it->path());
        }
    }
}

}  // namespace

OfficeInstallation findOfficeInstallation() {
    OfficeInstallation found;
    std::error_code ec;
    // `soffice` is a wrapper script; the program beside its target serves UNO without the splash helper.
    if (const fs::path debian("/usr/lib/libreoffice/program/soffice.bin"); isExecutable(debian)) found.office = debian;
    if (found.office.empty()) {
        if (auto wrapper = platform::findExecutable("soffice")) {
            const fs::path program = fs::canonical(*wrapper, ec).parent_path() / "soffice.bin";
            if (!ec && isExecutable(program)) found.office = program;
        }
    }
    // The system python is the one the office's UNO module is installed for.
    if (isExecutable("/usr/bin/python3")) {
        found.python = "/usr/bin/python3";
    } else if (auto python = platform::findExecutable("python3")) {
        found.python = *python;
    }
    const bool uno = fs::exists("/usr/lib/python3/dist-packages/uno.py", ec) ||
                     (!found.office.empty() && fs::exists(found.office.parent_path() / "uno.py", ec));
    if (found.office.empty()) {
        found.missing = "LibreOffice is not installed (Debian packages libreoffice-writer-nogui, "
                        "libreoffice-calc-nogui, libreoffice-impress-nogui and python3-uno)";
    } else if (found.python.empty() || !uno) {
        found.missing = "LibreOffice's python bridge is not installed (Debian package python3-uno)";
    }
    return found;
}

LibreOfficeConverter::LibreOfficeConverter(LibreOfficeConverterOptions options) : options_(std::move(options)) {
    installation_ = findOfficeInstallation();
    if (options_.office) installation_.office = *options_.office;
    if (options_.python) installation_.python = *options_.python;
    if (options_.office || options_.python) {
        installation_.missing = !isExecutable(installation_.office) ? "LibreOffice is not installed at " + installation_.office.string()
                                : !isExecutable(installation_.python) ? "no python at " + installation_.python.string()
                                                                      : std::string();
    }
}

LibreOfficeConverter::~LibreOfficeConverter() { stop(true); }

std::optional<std::string> LibreOfficeConverter::unavailableReason() const {
    if (installation_.missing.empty()) return std::nullopt;
    return installation_.missing;
}

void LibreOfficeConverter::log(std::string_view line) const {
    if (options_.log) options_.log(line);
    else appLog(line);
}

std::int64_t LibreOfficeConverter::officeRssKb() const {
    const int pid = officePid_.load();
    if (pid == 0) return 0;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

std::optional<std::string> LibreOfficeConverter::readLine(Clock::time_point deadline, bool& timedOut) {
    timedOut = false;
    std::array<char, 4096> buffer{};
    for (;;) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) {
            timedOut = true;
            return std::nullopt;
        }
        const auto read = bridge_->readSome(buffer, left);
        if (read.status == platform::Subprocess::IoStatus::timedOut) continue;
        if (read.status != platform::Subprocess::IoStatus::ok) return std::nullopt;
        pending_.append(buffer.data(), read.bytes);
    }
}

bool LibreOfficeConverter::start(std::string& error) {
    std::error_code ec;
    fs::create_directories(options_.profileDirectory, ec);
    if (ec) {
        error = "cannot create the converter's profile folder " + options_.profileDirectory.string() + ": " + ec.message();
        return false;
    }
    static std::atomic<unsigned> instance{0};
    const std::string session = std::to_string(::getpid()) + "-" + std::to_string(instance++);
    const std::string pipeName = "lumidex-office-" + session;
    // The office process's temporary files go to a folder of the session's, removed when it ends: the
    // process is killed then and never removes them itself (a folder in /tmp per session otherwise).
    const fs::path temporaryRoot = options_.profileDirectory / "tmp";
    removeWhatEndedSessionsLeft(temporaryRoot);
    const fs::path temporary = temporaryRoot / session;
    fs::create_directories(temporary, ec);
    if (ec) {
        error = "cannot create the converter's temporary folder " + temporary.string() + ": " + ec.message();
        return false;
    }
    platform::SubprocessOptions spawn;
    spawn.executable = installation_.python;
    spawn.arguments = {"-c", std::string(officeBridgeScript), installation_.office.string(),
                       fileUrl(fs::absolute(options_.profileDirectory)), pipeName};
    spawn.stderrSetup = platform::StreamSetup::discard;
    spawn.memoryLimitBytes = options_.memoryLimitBytes;
    spawn.killWhenParentExits = true;
    // The office process must not find a display or the user's session and try to use them.
    spawn.environment = {{"SAL_USE_VCLPLUGIN", "svp"}, {"DISPLAY", ""}, {"TMPDIR", fs::absolute(temporary).string()}};
    {
        std::lock_guard lock(liveSessionsMutex);
        liveSessions.insert(session);
    }
    auto bridge = platform::Subprocess::spawn(spawn, error);
    if (!bridge) {
        std::lock_guard lock(liveSessionsMutex);
        liveSessions.erase(session);
        fs::remove_all(temporary, ec);
        return false;
    }
    {
        std::lock_guard lock(processMutex_);
        bridge_ = std::move(bridge);
    }
    session_ = session;
    sessionTemporary_ = temporary;
    pending_.clear();
    bool timedOut = false;
    const auto line = readLine(Clock::now() + options_.startupTimeLimit, timedOut);
    const auto hello = nlohmann::json::parse(line.value_or(""), nullptr, false);
    if (!line || !hello.is_object() || !hello.value("ready", false)) {
        error = timedOut ? "the converter did not start within the time limit"
                : hello.is_object() ? "the converter did not start: " + hello.value("error", std::string("unknown error"))
                                    : "the converter ended at start";
        stop(false);
        return false;
    }
    officePid_ = hello.value("office_pid", 0);
    // Besides ours, the office makes a socket of its own per profile (for a second start to find the
    // first), named after a hash of the profile's path; it is killed at the end and never removes it.
    // Only while the number still names the bridge's child: one that died at once may be another's now.
    officeSockets_.clear();
    const auto sockets = platform::unixSocketPaths(officePid_);
    if (parentPid(officePid_) == bridge_->pid()) {
        for (const auto& socket : sockets) {
            const auto folder = socket.parent_path();
            struct stat st {};
            if (std::ranges::any_of(kSocketFolders, [&](const char* f) { return folder == f; }) &&
                socket.filename().string().starts_with(officeSocketPrefix()) &&
                ::lstat(socket.c_str(), &st) == 0) {
                officeSockets_.push_back({socket, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
            }
        }
    }
    conversionsSinceStart_ = 0;
    ++starts_;
    log("[OfficeConverter] gestartet (office pid " + std::to_string(officePid_.load()) + ")");
    return true;
}

void LibreOfficeConverter::stop(bool graceful) {
    if (!bridge_) return;
    if (graceful) {
        bridge_->closeStdin();
        if (!bridge_->waitFor(5s)) bridge_->kill();
    } else {
        bridge_->kill();
    }
    bridge_->wait();
    // The kernel kills the office process with the bridge (its parent-death signal). Its pid is not ours
    // to signal: once it is gone, the number may name an unrelated process.
    officePid_ = 0;
    {
        std::lock_guard lock(processMutex_);
        bridge_.reset();
    }
    // The office process goes with the bridge; what it leaves goes now (or, should it still be writing,
    // at the next session's start).
    for (const char* folder : kSocketFolders) removeOwnSocket(fs::path(folder) / (pipeSocketPrefix() + session_));
    for (const auto& socket : officeSockets_) {
        struct stat st {};
        if (::lstat(socket.path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == socket.device &&
            static_cast<std::uint64_t>(st.st_ino) == socket.inode) {
            removeOwnSocket(socket.path);
        }
    }
    officeSockets_.clear();
    std::error_code ignored;
    if (!sessionTemporary_.empty()) fs::remove_all(sessionTemporary_, ignored);
    sessionTemporary_.clear();
    std::lock_guard lock(liveSessionsMutex);
    liveSessions.erase(session_);
}

void LibreOfficeConverter::abort() {
    std::lock_guard lock(processMutex_);
    if (bridge_) bridge_->kill();
}

ConversionResult LibreOfficeConverter::convert(const ConversionRequest& request) {
    const auto started = Clock::now();
    ConversionResult result;
    if (auto reason = unavailableReason()) {
        result.reason = *reason;
        return result;
    }
    if (bridge_ && bridge_->tryWait()) {
        log("[OfficeConverter] beendet, wird neu gestartet: " + bridge_->exitStatus()->description());
        stop(false);
    }
    std::string error;
    if (!bridge_ && !start(error)) {
        result.reason = error;
        result.seconds = secondsSince(started);
        return result;
    }
    const std::uint64_t id = nextRequestId_++;
    nlohmann::json message = {{"id", id}, {"input", request.input.string()}, {"pdf", request.pdf.string()},
                              {"odf", request.odf.string()}};
    const std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const auto deadline = Clock::now() + request.timeLimit;
    std::optional<std::string> answerLine;
    bool timedOut = false;
    if (bridge_->writeAll(line, request.timeLimit) == platform::Subprocess::IoStatus::ok) {
        answerLine = readLine(deadline, timedOut);
    }
    result.seconds = secondsSince(started);
    const auto answer = nlohmann::json::parse(answerLine.value_or(""), nullptr, false);
    if (!answerLine || !answer.is_object() || answer.value("id", std::uint64_t{0}) != id) {
        if (timedOut) {
            result.status = ConversionStatus::timedOut;
            result.reason = "the conversion took longer than " +
                            std::to_string(request.timeLimit.count() / 1000.0).substr(0, 5) + " s; converter restarted";
        } else {
            const auto status = bridge_->waitFor(1s);
            result.reason = "the converter ended during the conversion (" +
                            (status ? status->description() : std::string("no answer")) + "); it is restarted";
        }
        log("[OfficeConverter] " + request.input.string() + ": " + result.reason);
        stop(false);
        return result;
    }
    ++conversionsSinceStart_;
    if (answer.value("ok", false)) {
        result.status = ConversionStatus::converted;
    } else {
        const std::string kind = answer.value("kind", std::string());
        result.status = kind == "locked"      ? ConversionStatus::locked
                        : kind == "transient" ? ConversionStatus::failed
                                              : ConversionStatus::cannotConvert;
        result.reason = answer.value("error", std::string("unknown error"));
        if (result.status == ConversionStatus::failed) {
            // The office process went away under the bridge: the next file needs a fresh pair.
            stop(false);
            return result;
        }
    }
    const std::int64_t rssKb = officeRssKb();
    if (conversionsSinceStart_ >= options_.maxConversionsPerProcess ||
        static_cast<std::uint64_t>(rssKb) * 1024 > options_.restartAboveRssBytes) {
        log("[OfficeConverter] wird erneuert nach " + std::to_string(conversionsSinceStart_) + " Dateien, " +
            std::to_string(rssKb / 1024) + " MB");
        stop(true);
    }
    return result;
}

}  // namespace lumidex::cloud
