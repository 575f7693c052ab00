#include "platform/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <unordered_set>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

extern char** environ;

namespace lumidex::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string errorText(int error) { return std::generic_category().message(error); }

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }

    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Keeps every descriptor we hand to a child above the stdio range, so that setting up the child's
// stdio with dup2 can never overwrite a descriptor it still needs (possible when our own 0-2 are closed).
bool raiseAboveStdio(Fd& fd) {
    if (fd.get() > 2) return true;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    fd = Fd(moved);
    return true;
}

struct Pipe {
    Fd read;
    Fd write;
};

bool makePipe(Pipe& pipe, std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = "cannot create a pipe: " + errorText(errno);
        return false;
    }
    pipe.read = Fd(fds[0]);
    pipe.write = Fd(fds[1]);
    if (!raiseAboveStdio(pipe.read) || !raiseAboveStdio(pipe.write)) {
        error = "cannot move a pipe descriptor: " + errorText(errno);
        return false;
    }
    return true;
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int pollTimeout(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

Clock::time_point deadlineAfter(milliseconds timeout) {
    // Far-future time-outs must not overflow the clock.
    const auto cap = std::chrono::hours(24 * 365);
    return Clock::now() + std::min<Clock::duration>(std::max<Clock::duration>(timeout, Clock::duration::zero()), cap);
}

// Blocks SIGPIPE in this thread while writing to a pipe whose reader may have gone, and swallows the
// SIGPIPE such a write raises, so the process is never ended by it and other threads are not affected.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
    }
    ~SigpipeGuard() { ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr); }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

    void consumeRaisedSignal() {
        if (wasPending_) return;
        const timespec zero{};
        while (::sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t pipeSet_;
    sigset_t oldMask_;
    bool wasPending_ = false;
};

// What the child tells us, through a close-on-exec pipe, when it fails before exec.
enum class ChildStep : int { signals = 1, parentDeath, stdio, limits, directory, exec };
struct ChildFailure {
    ChildStep step;
    int error;
};

// Everything the child needs, prepared before fork: between fork and exec only async-signal-safe calls
// are allowed (another thread may hold the allocator's lock at the moment of the fork).
struct ChildPlan {
    const char* executable = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* workingDirectory = nullptr;
    std::array<int, 3> stdio{-1, -1, -1};  // source descriptor for 0, 1, 2; -1 inherits ours
    int errorFd = -1;
    bool limitMemory = false;
    rlim_t memoryLimit = 0;
    bool limitCpu = false;
    rlim_t cpuLimit = 0;
    bool killWhenParentExits = false;
    pid_t parentPid = 0;
};

[[noreturn]] void failInChild(int errorFd, ChildStep step) {
    const ChildFailure failure{step, errno};
    const ssize_t written = ::write(errorFd, &failure, sizeof failure);
    (void)written;
    ::_exit(127);
}

bool setLimitInChild(int resource, rlim_t soft, rlim_t hard) {
    rlimit current{};
    if (::getrlimit(resource, &current) != 0) return false;
    if (current.rlim_max != RLIM_INFINITY) hard = std::min(hard, current.rlim_max);
    const rlimit wanted{std::min(soft, hard), hard};
    return ::setrlimit(resource, &wanted) == 0;
}

[[noreturn]] void runChild(const ChildPlan& plan) noexcept {
    sigset_t none;
    sigemptyset(&none);
    if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0) failInChild(plan.errorFd, ChildStep::signals);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &byDefault, nullptr);  // reserved ones refuse
    }

    if (plan.killWhenParentExits) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) failInChild(plan.errorFd, ChildStep::parentDeath);
        if (::getppid() != plan.parentPid) ::_exit(127);  // the parent ended before the request took effect
    }

    for (int target = 0; target < 3; ++target) {
        const int source = plan.stdio[static_cast<std::size_t>(target)];
        if (source >= 0 && ::dup2(source, target) < 0) failInChild(plan.errorFd, ChildStep::stdio);
    }
    // Close-on-exec for everything above stdio, including descriptors other code opened without it.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        rlimit files{};
        rlim_t highest = 65536;
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
            highest = std::min<rlim_t>(files.rlim_cur, highest);
        for (int fd = 3; static_cast<rlim_t>(fd) < highest; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }

    if (plan.limitMemory && !setLimitInChild(RLIMIT_AS, plan.memoryLimit, plan.memoryLimit))
        failInChild(plan.errorFd, ChildStep::limits);
    if (plan.limitCpu && !setLimitInChild(RLIMIT_CPU, plan.cpuLimit, plan.cpuLimit + 1))
        failInChild(plan.errorFd, ChildStep::limits);
    if (plan.workingDirectory && ::chdir(plan.workingDirectory) != 0)
        failInChild(plan.errorFd, ChildStep::directory);

    ::execve(plan.executable, plan.argv, plan.envp);
    failInChild(plan.errorFd, ChildStep::exec);
}

std::string describeFailure(const ChildFailure& failure, const SubprocessOptions& options) {
    const std::string cause = errorText(failure.error);
    switch (failure.step) {
        case ChildStep::signals: return "cannot reset signals in the child: " + cause;
        case ChildStep::parentDeath: return "cannot tie the child to its parent: " + cause;
        case ChildStep::stdio: return "cannot set up the child's stdio: " + cause;
        case ChildStep::limits: return "cannot set the child's resource limits: " + cause;
        case ChildStep::directory:
            return "cannot change to " + (options.workingDirectory ? options.workingDirectory->string() : "") + ": " +
                   cause;
        case ChildStep::exec: return "cannot run " + options.executable.string() + ": " + cause;
    }
    return "cannot start " + options.executable.string() + ": " + cause;
}

std::vector<std::string> mergedEnvironment(const SubprocessOptions& options) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                          [&](const auto& pair) { return pair.first == name; });
        if (!replaced) merged.emplace_back(text);
    }
    for (const auto& [name, value] : options.environment) merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Direct system calls: glibc 2.36 declares its pidfd wrappers without C linkage, so C++ cannot link them.
int openPidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
bool sendViaPidFd(int pidFd, int sig) { return ::syscall(SYS_pidfd_send_signal, pidFd, sig, nullptr, 0) == 0; }

ExitStatus decodeStatus(int status) {
    if (WIFSIGNALED(status)) return {ExitStatus::Kind::signalled, WTERMSIG(status)};
    return {ExitStatus::Kind::exited, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

struct Subprocess::Impl {
    pid_t pid = -1;
    Fd stdinFd;
    Fd stdoutFd;
    Fd pidFd;  // lets waiting sleep until the exit instead of polling; absent on old kernels

    mutable std::mutex mutex;  // guards `status`: signals go out only while the child is unreaped
    std::optional<ExitStatus> status;

    // Reaps with the mutex held. A lost status (SIGCHLD ignored, so the kernel reaped it) reads as -1.
    std::optional<ExitStatus> reapLocked(int flags) {
        if (status) return status;
        int raw = 0;
        pid_t result;
        do {
            result = ::waitpid(pid, &raw, flags);
        } while (result < 0 && errno == EINTR);
        if (result == pid) {
            status = decodeStatus(raw);
        } else if (result < 0 && errno == ECHILD) {
            status = ExitStatus{ExitStatus::Kind::exited, -1};
        }
        return status;
    }
};

std::string ExitStatus::description() const {
    if (kind == Kind::signalled) return "signal " + std::to_string(value) + " (" + signalName(value) + ")";
    return "exit code " + std::to_string(value);
}

std::string signalName(int signal) {
    if (const char* abbreviation = ::sigabbrev_np(signal)) return std::string("SIG") + abbreviation;
    return "signal " + std::to_string(signal);
}

std::filesystem::path currentExecutable() { return "/proc/self/exe"; }

void reserveFileDescriptors(int count) {
    // Duplicating a descriptor to a number near the end grows the table once; closing it keeps the size.
    const int high = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, std::max(count - 1, 3));
    if (high >= 0) ::close(high);
}

std::vector<std::filesystem::path> unixSocketPaths(int pid) {
    std::vector<std::filesystem::path> paths;
    if (pid <= 0) return paths;
    // The process's socket descriptors link to "socket:[<inode>]"; /proc/net/unix names the inodes' paths.
    std::unordered_set<std::string> inodes;
    std::error_code ec;
    const std::filesystem::path descriptors = "/proc/" + std::to_string(pid) + "/fd";
    for (std::filesystem::directory_iterator it(descriptors, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
        if (!linkError && target.starts_with("socket:[") && target.ends_with("]")) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    if (inodes.empty()) return paths;
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        // Num RefCount Protocol Flags Type St Inode [Path]; an abstract name starts with '@'.
        std::istringstream fields(line);
        std::string skipped, inode, path;
        for (int i = 0; i < 6; ++i) fields >> skipped;
        fields >> inode;
        std::getline(fields >> std::ws, path);  // the rest of the line: a path may hold blanks
        if (path.starts_with("/") && inodes.contains(inode) &&
            std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.emplace_back(path);
        }
    }
    return paths;
}

std::optional<std::filesystem::path> findExecutable(std::string_view name) {
    if (name.empty()) return std::nullopt;
    const auto usable = [](const std::filesystem::path& candidate) {
        struct stat info {};
        return ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string_view::npos) {
        std::filesystem::path candidate(name);
        return usable(candidate) ? std::optional(candidate) : std::nullopt;
    }
    const char* pathVariable = std::getenv("PATH");
    std::string_view dirs = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
        if (usable(candidate)) return candidate;
        if (colon == std::string_view::npos) return std::nullopt;
        dirs.remove_prefix(colon + 1);
    }
}

std::unique_ptr<Subprocess> Subprocess::spawn(const SubprocessOptions& options, std::string& error) {
    error.clear();
    if (options.executable.empty()) {
        error = "no executable given";
        return nullptr;
    }
    if (options.stderrSetup == StreamSetup::pipe) {
        error = "stderr cannot be piped";
        return nullptr;
    }

    auto impl = std::make_unique<Impl>();
    ChildPlan plan;
    // The child's ends of the pipes and /dev/null; closed here once the child has its copies.
    Pipe input, output, failures;
    Fd devNull;
    if (options.stdinSetup == StreamSetup::discard || options.stdoutSetup == StreamSetup::discard ||
        options.stderrSetup == StreamSetup::discard) {
        devNull = Fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (!devNull || !raiseAboveStdio(devNull)) {
            error = "cannot open /dev/null: " + errorText(errno);
            return nullptr;
        }
    }
    const auto source = [&](StreamSetup setup, Pipe& pipe, bool childReads, Fd& ours) -> bool {
        switch (setup) {
            case StreamSetup::inherit: return true;
            case StreamSetup::discard: return true;
            case StreamSetup::pipe:
                if (!makePipe(pipe, error)) return false;
                ours = std::move(childReads ? pipe.write : pipe.read);
                if (!setNonBlocking(ours.get())) {
                    error = "cannot configure a pipe: " + errorText(errno);
                    return false;
                }
                return true;
        }
        return true;
    };
    if (!source(options.stdinSetup, input, true, impl->stdinFd)) return nullptr;
    if (!source(options.stdoutSetup, output, false, impl->stdoutFd)) return nullptr;
    const auto childFd = [&](StreamSetup setup, const Fd& pipeEnd) {
        if (setup == StreamSetup::pipe) return pipeEnd.get();
        if (setup == StreamSetup::discard) return devNull.get();
        return -1;
    };
    plan.stdio = {childFd(options.stdinSetup, input.read), childFd(options.stdoutSetup, output.write),
                  childFd(options.stderrSetup, Fd())};
    if (!makePipe(failures, error)) return nullptr;
    plan.errorFd = failures.write.get();

    std::string executable = options.executable.string();
    std::vector<std::string> args{executable};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv = pointersTo(args);
    std::vector<std::string> environment = mergedEnvironment(options);
    std::vector<char*> envp = pointersTo(environment);
    std::string workingDirectory = options.workingDirectory ? options.workingDirectory->string() : std::string();

    plan.executable = executable.c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.workingDirectory = options.workingDirectory ? workingDirectory.c_str() : nullptr;
    if (options.memoryLimitBytes && addressSpaceLimitAvailable) {
        plan.limitMemory = true;
        plan.memoryLimit = static_cast<rlim_t>(*options.memoryLimitBytes);
    }
    if (options.cpuLimitSeconds) {
        plan.limitCpu = true;
        plan.cpuLimit = static_cast<rlim_t>(std::max<std::uint64_t>(*options.cpuLimitSeconds, 1));
    }
    plan.killWhenParentExits = options.killWhenParentExits;
    plan.parentPid = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        error = "cannot fork: " + errorText(errno);
        return nullptr;
    }
    if (pid == 0) runChild(plan);

    impl->pid = pid;
    input.read.reset();
    output.write.reset();
    devNull.reset();
    failures.write.reset();

    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(failures.read.get(), &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        error = got == static_cast<ssize_t>(sizeof failure) ? describeFailure(failure, options)
                                                             : "cannot start " + executable;
        std::lock_guard lock(impl->mutex);
        impl->reapLocked(0);
        return nullptr;
    }
    impl->pidFd = Fd(openPidFd(pid));
    return std::unique_ptr<Subprocess>(new Subprocess(std::move(impl)));
}

Subprocess::Subprocess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Subprocess::~Subprocess() {
    impl_->stdinFd.reset();
    impl_->stdoutFd.reset();
    if (!tryWait()) {
        kill();
        wait();
    }
}

int Subprocess::pid() const { return impl_->pid; }

Subprocess::ReadResult Subprocess::readSome(std::span<char> buffer, milliseconds timeout) {
    const int fd = impl_->stdoutFd.get();
    if (fd < 0) return {IoStatus::closed, 0};
    if (buffer.empty()) return {IoStatus::failed, 0};
    const auto deadline = deadlineAfter(timeout);
    while (true) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) return {IoStatus::ok, static_cast<std::size_t>(n)};
        if (n == 0) return {IoStatus::closed, 0};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return {IoStatus::failed, 0};
        pollfd waitFor{fd, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, pollTimeout(deadline));
        if (ready == 0) return {IoStatus::timedOut, 0};
        if (ready < 0 && errno != EINTR) return {IoStatus::failed, 0};
    }
}

Subprocess::IoStatus Subprocess::writeAll(std::string_view bytes, milliseconds timeout) {
    const int fd = impl_->stdinFd.get();
    if (fd < 0) return IoStatus::closed;
    const auto deadline = deadlineAfter(timeout);
    SigpipeGuard guard;
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) {
            guard.consumeRaisedSignal();
            return IoStatus::closed;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return IoStatus::failed;
        pollfd waitFor{fd, POLLOUT, 0};
        const int ready = ::poll(&waitFor, 1, pollTimeout(deadline));
        if (ready == 0) return IoStatus::timedOut;
        if (ready < 0 && errno != EINTR) return IoStatus::failed;
    }
    return IoStatus::ok;
}

void Subprocess::closeStdin() { impl_->stdinFd.reset(); }

bool Subprocess::signal(int sig) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->status) return false;
    if (impl_->pidFd) return sendViaPidFd(impl_->pidFd.get(), sig);
    return ::kill(impl_->pid, sig) == 0;
}

bool Subprocess::terminate() { return signal(SIGTERM); }

bool Subprocess::kill() { return signal(SIGKILL); }

std::optional<ExitStatus> Subprocess::tryWait() {
    std::lock_guard lock(impl_->mutex);
    return impl_->reapLocked(WNOHANG);
}

std::optional<ExitStatus> Subprocess::waitFor(milliseconds timeout) {
    const auto deadline = deadlineAfter(timeout);
    auto pause = milliseconds(1);
    while (true) {
        if (auto status = tryWait()) return status;
        if (Clock::now() >= deadline) return std::nullopt;
        if (impl_->pidFd) {
            // Readable once the child has ended; the lock is not held, so signals can still be sent.
            pollfd exited{impl_->pidFd.get(), POLLIN, 0};
            ::poll(&exited, 1, pollTimeout(deadline));
        } else {
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
            pause = std::min(pause * 2, milliseconds(20));
        }
    }
}

ExitStatus Subprocess::wait() {
    while (true) {
        if (auto status = waitFor(std::chrono::hours(1))) return *status;
    }
}

std::optional<ExitStatus> Subprocess::exitStatus() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->status;
}

}  // namespace lumidex::platform
