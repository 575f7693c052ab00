#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/zip_archive.h"

namespace lumidex::platform {
namespace {

constexpr std::uint32_t endOfDirectorySignature = 0x06054b50;
constexpr std::uint32_t directoryEntrySignature = 0x02014b50;
constexpr std::uint32_t localHeaderSignature = 0x04034b50;
constexpr std::size_t endOfDirectorySize = 22;
constexpr std::size_t maxCommentSize = 0xffff;

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

struct ZipArchive::File {
    std::FILE* handle = nullptr;
    std::uint64_t size = 0;
    ~File() {
        if (handle != nullptr) std::fclose(handle);
    }
    bool readAt(std::uint64_t offset, std::size_t count, std::string& out) const {
        if (offset > size || count > size - offset) return false;
        out.resize(count);
        if (::fseeko(handle, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
        return count == 0 || std::fread(out.data(), 1, count, handle) == count;
    }
};

ZipArchive::ZipArchive(std::unique_ptr<File> file, std::vector<ZipEntry> entries)
    : file_(std::move(file)), entries_(std::move(entries)) {}
ZipArchive::~ZipArchive() = default;

std::unique_ptr<ZipArchive> ZipArchive::open(const std::filesystem::path& path, std::string& error) {
    auto file = std::make_unique<File>();
    file->handle = std::fopen(path.c_str(), "rb");
    if (file->handle == nullptr) {
        error = "cannot open the file: " + std::string(std::strerror(errno));
        return nullptr;
    }
    if (::fseeko(file->handle, 0, SEEK_END) != 0) {
        error = "cannot read the file";
        return nullptr;
    }
    file->size = static_cast<std::uint64_t>(::ftello(file->handle));
    // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
    const std::uint64_t tail = std::min<std::uint64_t>(file->size, endOfDirectorySize + maxCommentSize);
    std::string end;
    if (tail < endOfDirectorySize || !file->readAt(file->size - tail, tail, end)) {
        error = "not a zip archive (too short)";
        return nullptr;
    }
    std::size_t at = std::string::npos;
    for (std::size_t i = end.size() - endOfDirectorySize + 1; i-- > 0;) {
        if (le32(bytes(end) + i) == endOfDirectorySignature) {
            at = i;
            break;
        }
    }
    if (at == std::string::npos) {
        error = "not a zip archive, or a truncated one (no central directory)";
        return nullptr;
    }
    const unsigned char* record = bytes(end) + at;
    const std::uint16_t count = le16(record + 10);
    const std::uint32_t directorySize = le32(record + 12);
    const std::uint32_t directoryOffset = le32(record + 16);
    if (count == 0xffff || directoryOffset == 0xffffffff) {
        error = "zip64 archives are not read";
        return nullptr;
    }
    std::string directory;
    if (!file->readAt(directoryOffset, directorySize, directory)) {
        error = "truncated zip archive (central directory out of the file)";
        return nullptr;
    }
    std::vector<ZipEntry> entries;
    entries.reserve(count);
    std::size_t pos = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (pos + 46 > directory.size() || le32(bytes(directory) + pos) != directoryEntrySignature) {
            error = "damaged zip central directory";
            return nullptr;
        }
        const unsigned char* e = bytes(directory) + pos;
        ZipEntry entry;
        entry.flags = le16(e + 8);
        entry.method = le16(e + 10);
        entry.crc32 = le32(e + 16);
        entry.compressedSize = le32(e + 20);
        entry.uncompressedSize = le32(e + 24);
        const std::size_t nameLength = le16(e + 28);
        const std::size_t extraLength = le16(e + 30);
        const std::size_t commentLength = le16(e + 32);
        entry.localHeaderOffset = le32(e + 42);
        if (pos + 46 + nameLength > directory.size()) {
            error = "damaged zip central directory";
            return nullptr;
        }
        entry.name.assign(directory, pos + 46, nameLength);
        entries.push_back(std::move(entry));
        pos += 46 + nameLength + extraLength + commentLength;
    }
    return std::unique_ptr<ZipArchive>(new ZipArchive(std::move(file), std::move(entries)));
}

const ZipEntry* ZipArchive::find(std::string_view name) const {
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const ZipEntry& e) { return e.name == name; });
    return found == entries_.end() ? nullptr : &*found;
}

std::optional<std::string> ZipArchive::read(const ZipEntry& entry, std::size_t maxBytes, std::string& error) const {
    if ((entry.flags & 1) != 0) {
        error = entry.name + " is encrypted";
        return std::nullopt;
    }
    if (entry.method != 0 && entry.method != 8) {
        error = entry.name + " uses compression method " + std::to_string(entry.method);
        return std::nullopt;
    }
    std::string header;
    if (!file_->readAt(entry.localHeaderOffset, 30, header) || le32(bytes(header)) != localHeaderSignature) {
        error = entry.name + ": damaged or truncated zip archive";
        return std::nullopt;
    }
    const std::uint64_t dataOffset = entry.localHeaderOffset + 30 + le16(bytes(header) + 26) + le16(bytes(header) + 28);
    // Deflated data is never much larger than what it inflates to: a bigger member cannot fit the limit.
    if (entry.compressedSize > maxBytes + maxBytes / 8 + 1024) {
        error = entry.name + " is larger than " + std::to_string(maxBytes) + " bytes";
        return std::nullopt;
    }
    std::string packed;
    if (!file_->readAt(dataOffset, entry.compressedSize, packed)) {
        error = entry.name + ": truncated zip archive";
        return std::nullopt;
    }
    std::string out;
    if (entry.method == 0) {
        if (packed.size() > maxBytes) {
            error = entry.name + " is larger than " + std::to_string(maxBytes) + " bytes";
            return std::nullopt;
        }
        out = std::move(packed);
    } else {
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
        z.next_in = reinterpret_cast<Bytef*>(packed.data());
        z.avail_in = static_cast<uInt>(packed.size());
        int rc = Z_OK;
        char chunk[65536];
        while (rc == Z_OK) {
            z.next_out = reinterpret_cast<Bytef*>(chunk);
            z.avail_out = sizeof chunk;
            rc = inflate(&z, Z_NO_FLUSH);
            const std::size_t produced = sizeof chunk - z.avail_out;
            if (out.size() + produced > maxBytes) {
                inflateEnd(&z);
                error = entry.name + " inflates to more than " + std::to_string(maxBytes) + " bytes";
                return std::nullopt;
            }
            out.append(chunk, produced);
        }
        inflateEnd(&z);
        if (rc != Z_STREAM_END) {
            error = entry.name + ": damaged compressed data";
            return std::nullopt;
        }
    }
    if (out.size() != entry.uncompressedSize) {
        error = entry.name + ": inflates to another size than the archive declares (damaged or forged)";
        return std::nullopt;
    }
    const auto crc = ::crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
    if (crc != entry.crc32) {
        error = entry.name + ": checksum mismatch (damaged archive)";
        return std::nullopt;
    }
    return out;
}

}  // namespace lumidex::platform
