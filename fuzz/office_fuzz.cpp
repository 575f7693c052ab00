// Feeds arbitrary bytes to the office-document readers: as one XML part, and written to a file as a
// whole archive (reading its text and the look before conversion). No crash or sanitizer report, and
// never more text than the limit allows.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cloud/office_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace lumidex::cloud;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)xmlText(bytes);
    // One file per fuzzing process, removed when the process ends.
    struct FuzzFile {
        std::string path = "/tmp/lumidex-office-fuzz-" + std::to_string(::getpid()) + ".docx";
        ~FuzzFile() { std::remove(path.c_str()); }
    };
    static const FuzzFile fuzzFile;
    const std::string& path = fuzzFile.path;
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    OfficeTextLimits limits;
    limits.maxPartBytes = 1 << 20;
    limits.maxTotalBytes = 4 << 20;
    limits.maxTextBytes = 1 << 16;
    const OfficeText text = readOfficeText(path, limits);
    if (text.text.size() > limits.maxTextBytes) __builtin_trap();
    (void)checkBeforeConversion(path);
    return 0;
}
