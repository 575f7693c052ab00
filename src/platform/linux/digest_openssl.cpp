#include "platform/digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace lumidex::platform {
namespace {

[[noreturn]] void throwDigestError(const char* name) {
    const unsigned long code = ERR_get_error();
    char reason[256] = "unknown error";
    if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    throw DigestError(std::string(name) + " digest failed: " + reason);
}

// Algorithms are looked up once: the library's implicit look-up on every call took more time than
// hashing a path. Kept for the life of the process.
const EVP_MD* algorithm(const char* name) {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, name, nullptr);
    if (fetched == nullptr) throwDigestError(name);
    return fetched;
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

template <size_t N>
std::array<uint8_t, N> digest(const EVP_MD* type, const void* data, size_t size, const char* name) {
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    std::array<uint8_t, N> out{};
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), data, size) != 1 || EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1 ||
        length != N) {
        throwDigestError(name);
    }
    return out;
}

const EVP_MD* md5Algorithm() {
    static const EVP_MD* const md = algorithm("MD5");
    return md;
}

const EVP_MD* sha256Algorithm() {
    static const EVP_MD* const md = algorithm("SHA256");
    return md;
}

}  // namespace

std::array<uint8_t, 16> md5(std::span<const uint8_t> bytes) {
    return digest<16>(md5Algorithm(), bytes.data(), bytes.size(), "MD5");
}

std::array<uint8_t, 16> md5(std::string_view bytes) {
    return digest<16>(md5Algorithm(), bytes.data(), bytes.size(), "MD5");
}

std::array<uint8_t, 32> sha256(std::span<const uint8_t> bytes) {
    return digest<32>(sha256Algorithm(), bytes.data(), bytes.size(), "SHA-256");
}

std::array<uint8_t, 32> sha256(std::string_view bytes) {
    return digest<32>(sha256Algorithm(), bytes.data(), bytes.size(), "SHA-256");
}

void fillRandom(std::span<uint8_t> buffer) {
    if (buffer.empty()) return;
    // The kernel's generator first: the crypto library's loads its configuration and providers on first
    // use, which costs a short command such as a search several milliseconds.
    size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t got = getrandom(buffer.data() + filled, buffer.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        filled += static_cast<size_t>(got);
    }
    if (filled == buffer.size()) return;
    const int kernelError = errno;
    constexpr size_t kMaxChunk = 1 << 30;
    for (size_t offset = filled; offset < buffer.size(); offset += kMaxChunk) {
        const size_t chunk = std::min(kMaxChunk, buffer.size() - offset);
        if (RAND_bytes(buffer.data() + offset, static_cast<int>(chunk)) != 1) {
            ERR_clear_error();
            throw DigestError(std::string("no secure random source: ") + std::strerror(kernelError));
        }
    }
}

}  // namespace lumidex::platform
