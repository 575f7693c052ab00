// Child processes: start a program with pipes to its stdin and stdout, limit its memory and CPU time,
// read and write with time-outs, kill it, and learn how it ended.
//
// Ownership: a Subprocess owns its child. Destroying it closes the pipes, kills a child that is still
// running (SIGKILL) and reaps it, so no zombie outlives the object.
// Isolation: the child starts with the limits given, an empty signal mask, every signal at its default
// action, and no file descriptor of ours other than the stdio set up here (descriptors above 2 are
// closed on exec, whatever flags they were opened with).
// Thread-safety: signal(), terminate(), kill(), tryWait(), waitFor(), wait() and exitStatus() may be
// called from any thread, also while another thread reads or writes; a signal never reaches a process
// after its child was reaped (no recycled-pid accidents). readSome() must be used by one thread at a time,
// and likewise writeAll()/closeStdin().
// Failures: nothing here throws except std::bad_alloc. spawn() returns null with a readable error when
// the program cannot be started (missing, not executable, pipes or fork failing); I/O reports a status.
// Writing to a child that has gone never raises SIGPIPE in this process.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumidex::platform {

// AddressSanitizer and ThreadSanitizer reserve terabytes of shadow address space when a process starts,
// so a child of a sanitizer build dies at once under any useful address-space limit. Such builds run
// their children without one (memoryLimitBytes is then ignored).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool addressSpaceLimitAvailable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
inline constexpr bool addressSpaceLimitAvailable = false;
#else
inline constexpr bool addressSpaceLimitAvailable = true;
#endif
#else
inline constexpr bool addressSpaceLimitAvailable = true;
#endif

// How the child's stdin, stdout or stderr is connected.
enum class StreamSetup {
    pipe,     // a pipe to this process (stderr cannot be piped)
    inherit,  // the same file as ours
    discard,  // /dev/null
};

struct SubprocessOptions {
    std::filesystem::path executable;  // run as given; not searched on PATH (see findExecutable)
    std::vector<std::string> arguments;  // argv[1...]; argv[0] is the executable path
    // Added to a copy of our environment; an entry with the same name replaces ours.
    std::vector<std::pair<std::string, std::string>> environment;
    std::optional<std::filesystem::path> workingDirectory;

    StreamSetup stdinSetup = StreamSetup::pipe;
    StreamSetup stdoutSetup = StreamSetup::pipe;
    StreamSetup stderrSetup = StreamSetup::inherit;

    // RLIMIT_AS (address space, soft and hard). Allocations beyond it fail in the child. Ignored when
    // addressSpaceLimitAvailable is false.
    std::optional<std::uint64_t> memoryLimitBytes;
    // RLIMIT_CPU in seconds: SIGXCPU at the limit, SIGKILL one second later. Counts the child's whole
    // life, not one task of a long-lived child.
    std::optional<std::uint64_t> cpuLimitSeconds;
    // The child gets SIGKILL when the thread that spawned it ends (the kernel ties this to the thread,
    // not the process), so that a child never outlives us when we crash. Spawn from a thread that lives
    // at least as long as the child.
    bool killWhenParentExits = false;
};

struct ExitStatus {
    enum class Kind { exited, signalled };
    Kind kind = Kind::exited;
    int value = 0;  // the exit code, or the number of the signal that ended the child

    bool succeeded() const { return kind == Kind::exited && value == 0; }
    bool signalled() const { return kind == Kind::signalled; }
    // "exit code 3" or "signal 11 (SIGSEGV)".
    std::string description() const;
    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// "SIGSEGV" for 11 and so on; "signal N" for numbers without a name.
std::string signalName(int signal);

// The file of the running program, re-executable even after it was replaced on disk.
std::filesystem::path currentExecutable();

// Makes room for `count` open files in this process's descriptor table. Call it first thing in main(),
// while the process has one thread: growing the table later, with threads running, waits for the
// kernel's readers to finish (about 10 ms each time), which is most of a short command's time once it
// opens the 60 or more files of a folder's shards.
void reserveFileDescriptors(int count);

// The first executable file called `name` in $PATH, or nullopt. A name containing '/' is returned as is
// when it is executable.
std::optional<std::filesystem::path> findExecutable(std::string_view name);

// The file-system paths of the Unix sockets process `pid` holds open (bound by it, or accepted on a
// path it bound), for removing what a process that is killed leaves behind. Empty when the process is
// gone or not ours to inspect.
std::vector<std::filesystem::path> unixSocketPaths(int pid);

class Subprocess {
public:
    enum class IoStatus {
        ok,
        timedOut,
        closed,  // end of output, or the child closed its stdin; also for a stream that is not a pipe
        failed,
    };
    struct ReadResult {
        IoStatus status = IoStatus::failed;
        std::size_t bytes = 0;  // > 0 exactly when status is ok
    };

    static std::unique_ptr<Subprocess> spawn(const SubprocessOptions& options, std::string& error);

    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    int pid() const;

    // Waits up to `timeout` for output and reads what is there, at most buffer.size() bytes.
    ReadResult readSome(std::span<char> buffer, std::chrono::milliseconds timeout);
    // Writes every byte unless the child stops reading for `timeout` in total, or closes its stdin.
    IoStatus writeAll(std::string_view bytes, std::chrono::milliseconds timeout);
    // Closes our end of the child's stdin, so that it reads end of file. Idempotent.
    void closeStdin();

    // Sends a signal; false once the child has been reaped (or when the signal could not be sent).
    bool signal(int signal);
    bool terminate();  // SIGTERM
    bool kill();       // SIGKILL

    // Reaps the child if it has ended; never blocks.
    std::optional<ExitStatus> tryWait();
    // Waits up to `timeout` for the child to end and reaps it.
    std::optional<ExitStatus> waitFor(std::chrono::milliseconds timeout);
    ExitStatus wait();
    // How the child ended, once reaped.
    std::optional<ExitStatus> exitStatus() const;

    struct Impl;

private:
    explicit Subprocess(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumidex::platform
