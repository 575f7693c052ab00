// Feeds arbitrary bytes to the preparation of typed search text: no crash or sanitizer report, valid
// UTF-8 in gives valid UTF-8 out, and cleaned text is clean (a second pass ignores nothing more).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/charset.h"
#include "search/search_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace lumidex::search;
    if (size == 0) return 0;
    const bool phrase = data[0] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const CleanedSearchText cleaned = withoutIgnoredCharacters(text, phrase);
    if (!cleaned.ignoredSomething && cleaned.searchText != text) __builtin_trap();
    if (lengthWithoutSpaces(text) < 0) __builtin_trap();
    if (lumidex::platform::isValidUtf8(text)) {
        if (!lumidex::platform::isValidUtf8(cleaned.searchText)) __builtin_trap();
        if (withoutIgnoredCharacters(cleaned.searchText, phrase).ignoredSomething) __builtin_trap();
    }
    return 0;
}
