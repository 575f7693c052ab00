// Feeds arbitrary bytes to plain-text decoding and the preview page layout: no crash or sanitizer
// report, well-formed UTF-8 out, at least one page and never more than the layout allows.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/charset.h"
#include "processing/text/text_decoding.h"
#include "processing/text/text_to_pdf_generator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace lumidex::processing;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const DecodedText decoded = decodePlainText(bytes);
    if (!lumidex::platform::isValidUtf8(decoded.text)) __builtin_trap();
    if (decoded.error && !decoded.text.empty()) __builtin_trap();
    const TextPageLayout layout{size % 7 + 1, size % 13 + 1, size % 5, 40};
    const auto pages = TextToPdfGenerator(layout).layoutPages(decoded.text);
    if (pages.empty() || pages.size() > 40) __builtin_trap();
    for (const auto& page : pages) {
        if (!lumidex::platform::isValidUtf8(page)) __builtin_trap();
    }
    return 0;
}
