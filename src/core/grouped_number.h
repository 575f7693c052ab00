// Counts as progress lines show them: "16 548", thousands set apart by a space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumidex {

inline std::string groupedNumber(int64_t number) {
    std::string digits = std::to_string(number < 0 ? -number : number);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), " ");
    }
    return number < 0 ? "-" + digits : digits;
}

}  // namespace lumidex
