// Byte-wise ASCII helpers for protocol text (HTTP heads, MIME types, extensions), where only A-Z fold
// and only spaces, tabs and line ends surround a value. Other bytes, UTF-8 included, pass unchanged.
#pragma once

#include <string>
#include <string_view>

namespace lumidex {

inline std::string asciiLowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

// TEXT without the leading and trailing characters of BLANKS.
inline std::string_view trimmedAscii(std::string_view text, std::string_view blanks = " \t") {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace lumidex
