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

// The two passes of a folder as status and progress lines show them:
// "searchable: 1 143 of 1 143; previews: 3 200 of 16 548".
inline std::string passesLine(int64_t searchable, int64_t documents, int64_t previewPages, int64_t previewsOwed) {
    const int64_t drawn = previewPages > previewsOwed ? previewPages - previewsOwed : 0;
    return "searchable: " + groupedNumber(searchable) + " of " + groupedNumber(documents) + "; previews: " +
           groupedNumber(drawn) + " of " + groupedNumber(previewPages);
}

}  // namespace lumidex
