// In-memory counters and recent events, so support can see what the coordinators, file observers,
// pipeline and API server have been doing. Names are dotted lower-case ("ocr.page", "fsevent.raw").
//
// Memory is bounded: the event list is cut to the newest maxEvents whenever it reaches twice that, and
// each source's time list to the newest maxTimesPerSource when it reaches twice that. Thread-safe: one
// mutex guards everything. Nothing here throws except on allocation failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex {

class DiagnosticsCollector {
public:
    using Clock = std::chrono::system_clock;

    struct Event {
        Clock::time_point time;
        std::string source;
        std::string detail;
    };
    struct Rates {
        std::int64_t total = 0;
        double perSec5s = 0;   // events in the last 5 s per second, two decimals
        double perSec60s = 0;  // events in the last 60 s per second, two decimals
    };

    static constexpr std::size_t maxEvents = 500;
    static constexpr std::size_t maxTimesPerSource = 2048;

    static DiagnosticsCollector& shared();

    void increment(std::string_view name, std::int64_t by = 1);
    // Counts `source` once and keeps the event and its time.
    void record(std::string_view source, std::string_view detail);
    void record(std::string_view source, std::string_view detail, Clock::time_point now);

    Rates rates(std::string_view source, Clock::time_point now) const;
    std::vector<Event> recentEvents(std::size_t limit) const;  // newest last
    std::int64_t counter(std::string_view name) const;        // 0 when never counted
    std::map<std::string, std::int64_t, std::less<>> counters() const;
    std::vector<std::string> sources() const;  // every source that has recorded events, sorted

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::int64_t, std::less<>> counters_;
    std::deque<Event> events_;  // oldest first
    std::map<std::string, std::deque<double>, std::less<>> times_;  // seconds since 1970, oldest first
};

}  // namespace lumidex
