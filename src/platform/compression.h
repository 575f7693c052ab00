// Lossless compression (zlib streams) for what the stores keep compressed.
//
// Pure functions; thread-safe. Nothing throws except std::bad_alloc; a stream that is damaged, or that
// does not inflate to exactly the size it was stored with, is reported as nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::platform {

std::vector<uint8_t> compressBytes(std::string_view bytes);
// The bytes that compressBytes() turned into `stream`, given their original size.
std::optional<std::string> decompressBytes(std::span<const uint8_t> stream, size_t originalSize);

}  // namespace lumidex::platform
