// The application debug log: "app_debug.log" in the app's documents folder ($XDG_STATE_HOME/lumidex).
//
// appLog() never waits for the disk: each AppLogger queues its lines and one background thread it owns
// writes them in order. At creation a log over 500000 bytes becomes "app_debug_prev.log" (replacing the
// previous one) and "=== App launch <date> ===" is appended; <date> is local time as
// "yyyy-MM-dd HH:mm:ss +hhmm". Each entry is "[yyyy-MM-dd HH:mm:ss.SSS] message" (local time, stamped
// when logged) and a newline; the message bytes are written as given (UTF-8).
// Thread-safety: every member may be called from any thread. Destruction writes everything queued.
// Failures (folder or file cannot be created or written) are printed to stderr with the lost line and
// otherwise ignored; a later line tries to open the file again.
// The shared logger is created on first use and drained at normal process exit; lines logged after that
// go to stderr.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace lumidex {

class AppLogger {
public:
    static constexpr std::uintmax_t rotationThreshold = 500000;

    // The folder is created if missing (by the writer thread, not the caller).
    explicit AppLogger(std::filesystem::path directory);
    ~AppLogger();
    AppLogger(const AppLogger&) = delete;
    AppLogger& operator=(const AppLogger&) = delete;

    void log(std::string_view message);
    // Empties the file, then writes "=== Truncated <date> ===". Ordered with the lines logged around it.
    void clear();
    // Returns once everything queued before the call has been written to the file.
    void flush();

    std::filesystem::path filePath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The shared logger in the app's documents folder.
void appLog(std::string_view message);
// Sends every later appLog line to `redirect` instead of the shared logger (an empty function restores
// it). Helper processes use it so that only the main process opens, rotates and writes the log file.
// `redirect` may be called from any thread, concurrently.
void redirectAppLog(std::function<void(std::string_view)> redirect);
void clearAppLog();
void flushAppLog();

// "yyyy-MM-dd HH:mm:ss.SSS" in local time.
std::string localTimestamp(std::chrono::system_clock::time_point time);

}  // namespace lumidex
