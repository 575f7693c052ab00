// Reading members of zip archives (the container of OOXML and OpenDocument files), with hard limits,
// because the archives come from the user's folders and may be damaged or built to exhaust memory.
//
// open() reads the central directory only; read() inflates one member (stored or deflated), never more
// than the caller's byte limit whatever the archive declares, and checks its size and CRC. Zip64 archives,
// encrypted members and other compression methods are reported as errors. An object is used by one
// thread at a time; separate objects are independent. Nothing throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::platform {

struct ZipEntry {
    std::string name;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;  // as declared; read() does not trust it
    std::uint16_t method = 0;            // 0 stored, 8 deflated
    std::uint16_t flags = 0;             // bit 0: encrypted
    std::uint32_t crc32 = 0;
    std::uint64_t localHeaderOffset = 0;
};

class ZipArchive {
public:
    // Null with `error` set when the file cannot be read or holds no valid central directory.
    static std::unique_ptr<ZipArchive> open(const std::filesystem::path& path, std::string& error);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    const std::vector<ZipEntry>& entries() const { return entries_; }
    const ZipEntry* find(std::string_view name) const;
    // The member's bytes; nullopt with `error` set when it is damaged, encrypted, of another method, or
    // would inflate to more than maxBytes.
    std::optional<std::string> read(const ZipEntry& entry, std::size_t maxBytes, std::string& error) const;

private:
    struct File;
    ZipArchive(std::unique_ptr<File> file, std::vector<ZipEntry> entries);
    std::unique_ptr<File> file_;
    std::vector<ZipEntry> entries_;
};

}  // namespace lumidex::platform
