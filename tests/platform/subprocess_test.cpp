#include "platform/subprocess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace lumidex::platform {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<Subprocess> spawnShell(const std::string& script, SubprocessOptions options = {}) {
    options.executable = "/bin/sh";
    options.arguments = {"-c", script};
    std::string error;
    auto child = Subprocess::spawn(options, error);
    EXPECT_TRUE(child) << error;
    EXPECT_TRUE(error.empty());
    return child;
}

// Everything the child writes until it closes its stdout (generous limit: a loaded machine is slow).
std::string readToEnd(Subprocess& child) {
    std::string out;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto result = child.readSome(buffer, 1000ms);
        if (result.status == Subprocess::IoStatus::ok) out.append(buffer, result.bytes);
        else if (result.status != Subprocess::IoStatus::timedOut) break;
    }
    return out;
}

TEST(Subprocess, RoundTripsThroughStdinAndStdoutAndReportsTheExitCode) {
    auto child = spawnShell("cat; echo done; exit 3");
    ASSERT_TRUE(child);
    EXPECT_GT(child->pid(), 0);
    ASSERT_EQ(child->writeAll("hello\n", 5000ms), Subprocess::IoStatus::ok);
    child->closeStdin();
    child->closeStdin();  // idempotent
    EXPECT_EQ(readToEnd(*child), "hello\ndone\n");
    const ExitStatus status = child->wait();
    EXPECT_EQ(status, (ExitStatus{ExitStatus::Kind::exited, 3}));
    EXPECT_FALSE(status.succeeded());
    EXPECT_EQ(status.description(), "exit code 3");
    EXPECT_EQ(child->exitStatus(), status);
    EXPECT_FALSE(child->kill()) << "a reaped child must not be signalled";
}

TEST(Subprocess, StartFailuresComeBackAsErrors) {
    std::string error;
    SubprocessOptions options;
    options.executable = "/nonexistent/program";
    EXPECT_FALSE(Subprocess::spawn(options, error));
    EXPECT_NE(error.find("/nonexistent/program"), std::string::npos) << error;

    options.executable = "/bin/true";
    options.workingDirectory = "/nonexistent/dir";
    EXPECT_FALSE(Subprocess::spawn(options, error));
    EXPECT_NE(error.find("/nonexistent/dir"), std::string::npos) << error;

    options = {};
    options.executable = "/bin/true";
    options.stderrSetup = StreamSetup::pipe;
    EXPECT_FALSE(Subprocess::spawn(options, error));
    EXPECT_FALSE(error.empty());
}

TEST(Subprocess, KillEndsAHungChildAndReportsTheSignal) {
    auto child = spawnShell("exec sleep 600");
    ASSERT_TRUE(child);
    char buffer[16];
    EXPECT_EQ(child->readSome(buffer, 50ms).status, Subprocess::IoStatus::timedOut);
    EXPECT_FALSE(child->waitFor(10ms));
    EXPECT_TRUE(child->kill());
    const auto status = child->waitFor(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (ExitStatus{ExitStatus::Kind::signalled, SIGKILL}));
    EXPECT_EQ(status->description(), "signal 9 (SIGKILL)");
    EXPECT_EQ(child->readSome(buffer, 1000ms).status, Subprocess::IoStatus::closed);
}

TEST(Subprocess, KillFromAnotherThreadWakesABlockedReader) {
    auto child = spawnShell("exec sleep 600");
    ASSERT_TRUE(child);
    std::thread killer([&] {
        std::this_thread::sleep_for(50ms);
        child->kill();
    });
    char buffer[16];
    EXPECT_EQ(child->readSome(buffer, 60000ms).status, Subprocess::IoStatus::closed);
    killer.join();
    EXPECT_TRUE(child->wait().signalled());
}

TEST(Subprocess, WritingToAChildThatStoppedReadingDoesNotRaiseSigpipe) {
    auto child = spawnShell("exec 0<&-; sleep 0.05");
    ASSERT_TRUE(child);
    child->wait();
    const std::string chunk(1 << 16, 'x');
    EXPECT_EQ(child->writeAll(chunk, 5000ms), Subprocess::IoStatus::closed);  // still alive: no SIGPIPE
}

TEST(Subprocess, WritesTimeOutWhenTheChildDoesNotRead) {
    auto child = spawnShell("exec sleep 600");
    ASSERT_TRUE(child);
    const std::string big(1 << 20, 'x');  // more than a pipe buffer holds
    EXPECT_EQ(child->writeAll(big, 100ms), Subprocess::IoStatus::timedOut);
}

TEST(Subprocess, ChildSeesOnlyItsStdioDescriptorsAndTheGivenEnvironment) {
    // A descriptor we open without close-on-exec must still not leak into the child.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    SubprocessOptions options;
    options.environment = {{"LUMIDEX_PROBE", "42"}, {"HOME", "/replaced"}};
    auto child = spawnShell("ls /proc/self/fd | sort -n | tr '\\n' ' '; echo \"$LUMIDEX_PROBE $HOME\"", options);
    ::close(leaky);
    ASSERT_TRUE(child);
    const std::string out = readToEnd(*child);
    // 0-2 for the shell; `ls` also sees its own directory handle (3).
    EXPECT_EQ(out, "0 1 2 3 42 /replaced\n");
    EXPECT_TRUE(child->wait().succeeded());
}

TEST(Subprocess, AppliesResourceLimitsInTheChild) {
    SubprocessOptions options;
    options.memoryLimitBytes = 512ull << 20;
    options.cpuLimitSeconds = 7;
    auto child = spawnShell("ulimit -v; ulimit -t", options);
    ASSERT_TRUE(child);
    // ulimit -v counts KiB
    EXPECT_EQ(readToEnd(*child), addressSpaceLimitAvailable ? "524288\n7\n" : "unlimited\n7\n");
    EXPECT_TRUE(child->wait().succeeded());
}

TEST(Subprocess, StreamsCanBeDiscardedAndTheWorkingDirectorySet) {
    SubprocessOptions options;
    options.stdinSetup = StreamSetup::discard;
    options.workingDirectory = "/";
    auto child = spawnShell("pwd; cat", options);  // cat reads /dev/null: ends at once
    ASSERT_TRUE(child);
    EXPECT_EQ(readToEnd(*child), "/\n");
    EXPECT_EQ(child->writeAll("x", 100ms), Subprocess::IoStatus::closed);
    EXPECT_TRUE(child->wait().succeeded());
}

TEST(Subprocess, DestructionKillsAndReapsTheChild) {
    pid_t pid = 0;
    {
        auto child = spawnShell("exec sleep 600");
        ASSERT_TRUE(child);
        pid = child->pid();
    }
    // Reaped by the destructor: the pid is no longer our child (no zombie left behind).
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(Subprocess, HelpersNameSignalsAndFindPrograms) {
    EXPECT_EQ(signalName(SIGSEGV), "SIGSEGV");
    EXPECT_EQ(signalName(1000), "signal 1000");
    EXPECT_EQ(ExitStatus{}.description(), "exit code 0");
    const auto sh = findExecutable("sh");
    ASSERT_TRUE(sh);
    EXPECT_EQ(sh->filename(), "sh");
    EXPECT_EQ(findExecutable("/bin/sh"), std::filesystem::path("/bin/sh"));
    EXPECT_FALSE(findExecutable("lumidex-no-such-program"));
    EXPECT_FALSE(findExecutable("/etc/hostname-not-there"));
    EXPECT_TRUE(std::filesystem::exists(currentExecutable()));
}

// The table size shows in /proc/self/status as "FDSize:"; it never shrinks.
int descriptorTableSize() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("FDSize:", 0) == 0) return std::stoi(line.substr(7));
    }
    return 0;
}

TEST(Subprocess, ReservesRoomInTheDescriptorTableWithoutKeepingADescriptor) {
    const int before = ::fcntl(STDERR_FILENO, F_DUPFD, 0);
    ASSERT_GE(before, 0);
    ::close(before);
    reserveFileDescriptors(1024);
    EXPECT_GE(descriptorTableSize(), 1024);
    const int after = ::fcntl(STDERR_FILENO, F_DUPFD, 0);
    EXPECT_EQ(after, before);  // the lowest free number is unchanged: nothing was left open
    ::close(after);
}

}  // namespace
}  // namespace lumidex::platform
