#include "core/diagnostics_collector.h"

#include <algorithm>
#include <cmath>

namespace lumidex {
namespace {

double secondsSinceEpoch(DiagnosticsCollector::Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

double perSecond(std::size_t count, double windowSeconds) {
    return std::round(static_cast<double>(count) / windowSeconds * 100.0) / 100.0;
}

template <class Map>
auto& entry(Map& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end()) it = map.emplace(std::string(key), typename Map::mapped_type{}).first;
    return it->second;
}

}  // namespace

DiagnosticsCollector& DiagnosticsCollector::shared() {
    static DiagnosticsCollector collector;
    return collector;
}

void DiagnosticsCollector::increment(std::string_view name, std::int64_t by) {
    std::lock_guard lock(mutex_);
    entry(counters_, name) += by;
}

void DiagnosticsCollector::record(std::string_view source, std::string_view detail) {
    record(source, detail, Clock::now());
}

void DiagnosticsCollector::record(std::string_view source, std::string_view detail, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    entry(counters_, source) += 1;

    events_.push_back(Event{now, std::string(source), std::string(detail)});
    if (events_.size() >= 2 * maxEvents) events_.erase(events_.begin(), events_.end() - maxEvents);

    auto& times = entry(times_, source);
    times.push_back(secondsSinceEpoch(now));
    if (times.size() >= 2 * maxTimesPerSource) times.erase(times.begin(), times.end() - maxTimesPerSource);
}

DiagnosticsCollector::Rates DiagnosticsCollector::rates(std::string_view source, Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    Rates result;
    if (auto it = counters_.find(source); it != counters_.end()) result.total = it->second;
    if (auto it = times_.find(source); it != times_.end()) {
        const double nowSeconds = secondsSinceEpoch(now);
        std::size_t last5 = 0;
        std::size_t last60 = 0;
        for (double t : it->second) {
            const double age = nowSeconds - t;
            if (age <= 5.0) ++last5;
            if (age <= 60.0) ++last60;
        }
        result.perSec5s = perSecond(last5, 5.0);
        result.perSec60s = perSecond(last60, 60.0);
    }
    return result;
}

std::vector<DiagnosticsCollector::Event> DiagnosticsCollector::recentEvents(std::size_t limit) const {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(limit, events_.size());
    return std::vector<Event>(events_.end() - static_cast<std::ptrdiff_t>(count), events_.end());
}

std::int64_t DiagnosticsCollector::counter(std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto it = counters_.find(name);
    return it == counters_.end() ? 0 : it->second;
}

std::map<std::string, std::int64_t, std::less<>> DiagnosticsCollector::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<std::string> DiagnosticsCollector::sources() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    names.reserve(times_.size());
    for (const auto& [name, times] : times_) names.push_back(name);
    return names;
}

}  // namespace lumidex
