#include "app/stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include <CLI/CLI.hpp>

namespace lumidex {
namespace {

int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    const char byte = 's';
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}

}  // namespace

int installStopSignals(std::string_view command) {
    if (::pipe(stopPipe) != 0) {
        std::cerr << "lumidex " << command << ": cannot prepare for stop signals\n";
        throw CLI::RuntimeError(1);
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return stopPipe[0];
}

void waitForStopSignal(int descriptor) {
    pollfd waiting{descriptor, POLLIN, 0};
    while (::poll(&waiting, 1, -1) < 0 && errno == EINTR) {
    }
}

}  // namespace lumidex
