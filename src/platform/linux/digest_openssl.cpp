#include "platform/digest.h"

#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>
#include <memory>
#include <mutex>
#include <string>

namespace lumidex::platform {
namespace {

// The crypto library is loaded on first use rather than linked: loading and relocating it cost every
// start of the quick command-line tool about a millisecond, and a search never needs it.
struct Crypto {
    decltype(&::EVP_MD_fetch) mdFetch = nullptr;
    decltype(&::EVP_MD_CTX_new) contextNew = nullptr;
    decltype(&::EVP_MD_CTX_free) contextFree = nullptr;
    decltype(&::EVP_DigestInit_ex) digestInit = nullptr;
    decltype(&::EVP_DigestUpdate) digestUpdate = nullptr;
    decltype(&::EVP_DigestFinal_ex) digestFinal = nullptr;
    decltype(&::ERR_get_error) errorGet = nullptr;
    decltype(&::ERR_error_string_n) errorString = nullptr;
    decltype(&::ERR_clear_error) errorClear = nullptr;
    decltype(&::RAND_bytes) randomBytes = nullptr;
    std::string loadError;  // empty when every function was found
};

template <class Function>
bool resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

const Crypto& crypto() {
    static const Crypto loaded = [] {
        Crypto c;
        const std::string soname = "libcrypto.so." + std::to_string(OPENSSL_VERSION_MAJOR);
        void* library = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept for the process's life
        if (library == nullptr) {
            const char* why = ::dlerror();
            c.loadError = "cannot load " + soname + (why != nullptr ? std::string(": ") + why : std::string());
            return c;
        }
        const bool found = resolve(library, "EVP_MD_fetch", c.mdFetch) && resolve(library, "EVP_MD_CTX_new", c.contextNew) &&
                           resolve(library, "EVP_MD_CTX_free", c.contextFree) &&
                           resolve(library, "EVP_DigestInit_ex", c.digestInit) &&
                           resolve(library, "EVP_DigestUpdate", c.digestUpdate) &&
                           resolve(library, "EVP_DigestFinal_ex", c.digestFinal) &&
                           resolve(library, "ERR_get_error", c.errorGet) &&
                           resolve(library, "ERR_error_string_n", c.errorString) &&
                           resolve(library, "ERR_clear_error", c.errorClear) &&
                           resolve(library, "RAND_bytes", c.randomBytes);
        if (!found) c.loadError = soname + " lacks a function this program needs";
        return c;
    }();
    if (!loaded.loadError.empty()) throw DigestError(loaded.loadError);
    return loaded;
}

[[noreturn]] void throwDigestError(const char* name) {
    const Crypto& c = crypto();
    const unsigned long code = c.errorGet();
    char reason[256] = "unknown error";
    if (code != 0) c.errorString(code, reason, sizeof reason);
    c.errorClear();
    throw DigestError(std::string(name) + " digest failed: " + reason);
}

// Algorithms are looked up once: the library's implicit look-up on every call took more time than
// hashing a path. Kept for the life of the process.
const EVP_MD* algorithm(const char* name) {
    EVP_MD* fetched = crypto().mdFetch(nullptr, name, nullptr);
    if (fetched == nullptr) throwDigestError(name);
    return fetched;
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { crypto().contextFree(context); }
};

template <size_t N>
std::array<uint8_t, N> digest(const EVP_MD* type, const void* data, size_t size, const char* name) {
    const Crypto& c = crypto();
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(c.contextNew());
    std::array<uint8_t, N> out{};
    unsigned int length = 0;
    if (!context || c.digestInit(context.get(), type, nullptr) != 1 || c.digestUpdate(context.get(), data, size) != 1 ||
        c.digestFinal(context.get(), out.data(), &length) != 1 || length != N) {
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

std::optional<FileDigest> sha256OfFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const Crypto& c = crypto();
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(c.contextNew());
    if (!context || c.digestInit(context.get(), sha256Algorithm(), nullptr) != 1) throwDigestError("SHA-256");
    FileDigest result;
    // Uninitialised, and small enough that the allocator hands back memory it has: a zeroed megabyte
    // for every file, on fresh pages, took a tenth of the indexing thread on a folder of small files.
    constexpr std::size_t chunkBytes = std::size_t{64} << 10;
    const std::unique_ptr<char[]> buffer(new char[chunkBytes]);
    while (in) {
        in.read(buffer.get(), static_cast<std::streamsize>(chunkBytes));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        if (c.digestUpdate(context.get(), buffer.get(), got) != 1) throwDigestError("SHA-256");
        result.size += got;
    }
    if (in.bad() || !in.eof()) return std::nullopt;
    unsigned int length = 0;
    if (c.digestFinal(context.get(), result.sha256.data(), &length) != 1 || length != 32) throwDigestError("SHA-256");
    return result;
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
        const Crypto& c = crypto();
        if (c.randomBytes(buffer.data() + offset, static_cast<int>(chunk)) != 1) {
            c.errorClear();
            throw DigestError(std::string("no secure random source: ") + std::strerror(kernelError));
        }
    }
}

namespace {

// Bumped in a forked child, whose copy of the forking thread's generator would repeat the parent's values.
std::atomic<uint64_t> forkGeneration{0};

// xoshiro256**: 256 bits of state from the secure source; a period no program comes near.
struct UniqueGenerator {
    uint64_t state[4]{};
    uint64_t generation = 0;
    bool seeded = false;

    uint64_t next() {
        const uint64_t generationNow = forkGeneration.load(std::memory_order_relaxed);
        if (!seeded || generation != generationNow) {
            static std::once_flag registered;
            std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); }); });
            do {
                fillRandom(std::span<uint8_t>(reinterpret_cast<uint8_t*>(state), sizeof(state)));
            } while ((state[0] | state[1] | state[2] | state[3]) == 0);  // the one state that never moves
            generation = generationNow;
            seeded = true;
        }
        const uint64_t result = std::rotl(state[1] * 5, 7) * 9;
        const uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = std::rotl(state[3], 45);
        return result;
    }
};

}  // namespace

void fillUnique(std::span<uint8_t> buffer) {
    thread_local UniqueGenerator generator;
    for (size_t at = 0; at < buffer.size(); at += 8) {
        const uint64_t value = generator.next();
        std::memcpy(buffer.data() + at, &value, std::min<size_t>(8, buffer.size() - at));
    }
}

}  // namespace lumidex::platform
