#include "ui/display.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace lumidex::ui {
namespace {

constexpr std::chrono::seconds kProbeLimit{5};

}  // namespace

bool windowPlatformAvailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        // Qt explains a failed plugin at length and aborts; the caller falls back quietly instead, and
        // the abort leaves no core file.
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        int argc = 1;
        char name[] = "lumidex";
        char* argv[] = {name, nullptr};
        QGuiApplication probe(argc, argv);
        ::_exit(0);
    }
    // A display that never answers would hang the start; after the limit it counts as unavailable.
    const auto deadline = std::chrono::steady_clock::now() + kProbeLimit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

}  // namespace lumidex::ui
