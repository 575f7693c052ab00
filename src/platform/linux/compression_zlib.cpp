#include <zlib.h>

#include <new>

#include "platform/compression.h"

namespace lumidex::platform {

std::vector<uint8_t> compressBytes(std::string_view bytes) {
    // Level 6 (zlib's default): text shrinks to about a third; the best levels save little more and
    // cost several times the time on every document stored.
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<uint8_t> out(size);
    const int rc = compress2(out.data(), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                             static_cast<uLong>(bytes.size()), Z_DEFAULT_COMPRESSION);
    // compressBound() leaves room for any input, so only memory can run out.
    if (rc != Z_OK) throw std::bad_alloc();
    out.resize(size);
    return out;
}

std::optional<std::string> decompressBytes(std::span<const uint8_t> stream, size_t originalSize) {
    std::string out(originalSize, '\0');
    uLongf size = static_cast<uLongf>(originalSize);
    // uncompress() needs a non-null destination even for an empty result.
    Bytef empty = 0;
    Bytef* destination = originalSize == 0 ? &empty : reinterpret_cast<Bytef*>(out.data());
    const int rc = uncompress(destination, &size, stream.data(), static_cast<uLong>(stream.size()));
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK || size != originalSize) return std::nullopt;
    return out;
}

}  // namespace lumidex::platform
