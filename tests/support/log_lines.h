// Collects the lines a component logs through a `std::function<void(std::string_view)>` option, from
// any thread, for a test to look for afterwards.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::testing {

class LogLines {
public:
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(std::string_view text) const {
        std::lock_guard lock(mutex_);
        for (const std::string& line : lines_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace lumidex::testing
