#include "ui/display.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>

#include <cerrno>
#include <cstdlib>

namespace lumidex::ui {

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
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace lumidex::ui
