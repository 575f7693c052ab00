#include "core/file_manager_log.h"

#include "core/app_log.h"
#include "platform/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>

namespace lumidex {

bool appendFileManagerLog(const std::filesystem::path& directory, std::string_view line) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        std::fprintf(stderr, "Fehler beim Erstellen des Application Support Directory: %s\n", ec.message().c_str());
        return false;
    }

    std::string text = "[" + localTimestamp(std::chrono::system_clock::now()) + "] ";
    text += line;
    text += '\n';

    const std::filesystem::path file = directory / kFileManagerLogName;
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ssize_t n = -1;
    if (fd >= 0) {
        do n = ::write(fd, text.data(), text.size());
        while (n < 0 && errno == EINTR);
    }
    // A short append would leave a torn line; report it like any other failure.
    const int failure = fd < 0 || n < 0 ? errno : (static_cast<std::size_t>(n) != text.size() ? EIO : 0);
    if (fd >= 0) ::close(fd);
    if (failure != 0) {
        std::fprintf(stderr, "Fehler beim Schreiben in die Log-Datei: %s\n",
                     std::generic_category().message(failure).c_str());
        return false;
    }
    return true;
}

bool fileManagerLog(std::string_view line) {
    return appendFileManagerLog(platform::userDirectories().applicationSupport, line);
}

}  // namespace lumidex
