// The first position of each value in a list, for joining a pass over a table (or a file) against
// hundreds of thousands of versions: open addressing in one flat array, which a table of nodes (a cache
// miss per probe) is not. Immutable once built; safe to read from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumidex::storage {

class FirstPositions {
public:
    explicit FirstPositions(const std::vector<uint32_t>& values) {
        size_t slots = 16;
        while (slots < values.size() * 2) slots *= 2;
        slots_.assign(slots, kEmpty);
        mask_ = slots - 1;
        for (size_t i = 0; i < values.size(); ++i) {
            for (size_t at = slotOf(values[i]);; at = (at + 1) & mask_) {
                if (slots_[at] == kEmpty) {
                    slots_[at] = (static_cast<uint64_t>(values[i]) << 32) | static_cast<uint32_t>(i);
                    break;
                }
                if (static_cast<uint32_t>(slots_[at] >> 32) == values[i]) break;  // keeps the first
            }
        }
    }
    std::optional<uint32_t> find(uint32_t value) const {
        for (size_t at = slotOf(value);; at = (at + 1) & mask_) {
            if (slots_[at] == kEmpty) return std::nullopt;
            if (static_cast<uint32_t>(slots_[at] >> 32) == value) return static_cast<uint32_t>(slots_[at]);
        }
    }

private:
    // No value is both 0xFFFFFFFF and at position 0xFFFFFFFF: lists are far shorter.
    static constexpr uint64_t kEmpty = ~uint64_t{0};
    size_t slotOf(uint32_t value) const { return static_cast<size_t>((value * 0x9E3779B1u) >> 7) & mask_; }
    std::vector<uint64_t> slots_;
    size_t mask_ = 0;
};

}  // namespace lumidex::storage
