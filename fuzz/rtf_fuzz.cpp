// Feeds arbitrary bytes to the RTF reader, as is and behind a valid header, and checks what must hold
// for any input: no crash or sanitizer report, well-formed UTF-8 out, output linear in the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/charset.h"
#include "processing/text/rtf_reader.h"

namespace {

void check(std::string_view input) {
    using lumidex::processing::RtfText;
    const RtfText result = lumidex::processing::readRtf(input);
    if (!lumidex::platform::isValidUtf8(result.text)) __builtin_trap();
    // Every input byte yields at most one three-byte UTF-8 sequence.
    if (result.text.size() > 3 * input.size() + 3) __builtin_trap();
    if ((result.status == RtfText::Status::notRtf) == lumidex::processing::looksLikeRtf(input)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    std::string withHeader = "{\\rtf1\\ansi ";
    withHeader.append(bytes);
    check(withHeader);
    return 0;
}
