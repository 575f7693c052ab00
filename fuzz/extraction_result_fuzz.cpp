// Feeds arbitrary bytes to the decoders of what a worker returns (the extraction result) and of the
// job options it receives: no crash, exception or sanitizer report, and whatever decodes re-encodes to
// a text that decodes to the same value (compared through a second encoding).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "processing/extractors/extraction_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace lumidex::processing;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::string error;
    if (const auto result = decodeExtractionResult(bytes, error)) {
        const std::string once = encodeExtractionResult(*result);
        std::string again;
        const auto decodedAgain = decodeExtractionResult(once, again);
        if (!decodedAgain || encodeExtractionResult(*decodedAgain) != once) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }

    const std::string options = encodeJobOptions(decodeJobOptions(bytes));
    if (encodeJobOptions(decodeJobOptions(options)) != options) __builtin_trap();
    return 0;
}
