// The local conversion backend: LibreOffice in headless mode, kept running and fed one file after
// another through a small UNO bridge script (office_bridge.py, built into the program and run with the
// system's python3), so that a file costs its conversion, not the start of an office suite.
//
// Processes: the bridge is our child; the office process is the bridge's child and is killed by the
// kernel when the bridge ends, however it ends. Both run with a private user profile in
// profileDirectory (never the user's own), without any window, under an address-space limit.
// They start on the first convert() and are restarted when a conversion passes its time limit (the
// office process hangs), when they died, after maxConversionsPerProcess files, and when the office
// process has grown beyond restartAboveRssBytes (leaks of long sessions). release() ends them while
// there is nothing to convert.
//
// Thread-safety: convert() is called by one thread at a time (the conversion queue's); officePid(),
// officeRssKb(), starts(), unavailableReason() and abort() from any thread. The destructor ends both processes.
// Nothing throws except std::bad_alloc.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/conversion_backend.h"

namespace lumidex::platform {
class Subprocess;
}

namespace lumidex::cloud {

struct LibreOfficeConverterOptions {
    std::filesystem::path profileDirectory;           // created when missing
    std::optional<std::filesystem::path> office;      // soffice.bin; default: found beside `soffice`
    std::optional<std::filesystem::path> python;      // default: /usr/bin/python3, else python3 on PATH
    std::uint64_t memoryLimitBytes = std::uint64_t{4} << 30;      // address space of bridge and office
    std::uint64_t restartAboveRssBytes = std::uint64_t{1} << 30;  // checked after each file
    std::size_t maxConversionsPerProcess = 500;
    std::chrono::milliseconds startupTimeLimit{std::chrono::seconds(90)};
    std::function<void(std::string_view)> log;  // empty: the debug log
};

// The office program and a python that can drive it, or why they are missing. Cheap: file checks only.
struct OfficeInstallation {
    std::filesystem::path office;
    std::filesystem::path python;
    std::string missing;  // empty when both were found
};
OfficeInstallation findOfficeInstallation();

class LibreOfficeConverter final : public ConversionBackend {
public:
    explicit LibreOfficeConverter(LibreOfficeConverterOptions options);
    ~LibreOfficeConverter() override;
    LibreOfficeConverter(const LibreOfficeConverter&) = delete;
    LibreOfficeConverter& operator=(const LibreOfficeConverter&) = delete;

    std::string name() const override { return "LibreOffice"; }
    std::optional<std::string> unavailableReason() const override;
    ConversionResult convert(const ConversionRequest& request) override;
    void abort() override;  // kills both processes; the next file starts new ones
    void release() override { stop(true); }

    int officePid() const { return officePid_.load(); }  // 0 when not running
    std::int64_t officeRssKb() const;                     // 0 when not running
    std::size_t starts() const { return starts_.load(); }

private:
    bool start(std::string& error);
    void stop(bool graceful);
    // One line from the bridge, or nullopt at the deadline (timedOut) or when its output ended.
    std::optional<std::string> readLine(std::chrono::steady_clock::time_point deadline, bool& timedOut);
    void log(std::string_view line) const;

    LibreOfficeConverterOptions options_;
    OfficeInstallation installation_;
    std::mutex processMutex_;  // guards bridge_ against abort(); convert() is its only other user
    std::unique_ptr<platform::Subprocess> bridge_;
    std::string pending_;  // bridge output after the last full line
    std::string session_;                     // the running session's name ("<pid>-<n>")
    std::filesystem::path sessionTemporary_;  // and its temporary folder
    // The pipe sockets its office process made, with the file they were then (another office may bind
    // the same path after ours is gone: its file is not ours to remove).
    struct OfficeSocket {
        std::filesystem::path path;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };
    std::vector<OfficeSocket> officeSockets_;
    std::atomic<int> officePid_{0};
    std::atomic<std::size_t> starts_{0};
    std::size_t conversionsSinceStart_ = 0;
    std::uint64_t nextRequestId_ = 1;
};

// The bridge script's text (generated from office_bridge.py at build time).
extern const std::string_view officeBridgeScript;

}  // namespace lumidex::cloud
