// Message digests and random bytes from the system's crypto library.
//
// Thread-safe. The digests throw DigestError only when the crypto library refuses the algorithm
// (for example MD5 under a FIPS-only configuration); they never fail on any input.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

namespace lumidex::platform {

class DigestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::array<uint8_t, 16> md5(std::span<const uint8_t> bytes);
std::array<uint8_t, 16> md5(std::string_view bytes);
std::array<uint8_t, 32> sha256(std::span<const uint8_t> bytes);
std::array<uint8_t, 32> sha256(std::string_view bytes);

struct FileDigest {
    std::uint64_t size = 0;
    std::array<uint8_t, 32> sha256{};
};
// Reads the file once, sequentially; nullopt when it cannot be opened or read to its end.
std::optional<FileDigest> sha256OfFile(const std::filesystem::path& path);

// Fills the buffer from a cryptographically secure generator: the kernel's, else the crypto library's.
// Throws DigestError only when neither is available.
void fillRandom(std::span<uint8_t> buffer);

// Fills the buffer from a fast generator each thread seeds once from fillRandom (and again in a forked
// child): values unique across threads, processes and runs, without a system call each, but not secret.
// For identities made in bulk; never for tokens or anything a stranger must not guess.
void fillUnique(std::span<uint8_t> buffer);

}  // namespace lumidex::platform
