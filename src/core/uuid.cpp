#include "core/uuid.h"

#include "core/hashing.h"
#include "platform/digest.h"
#include "platform/unicode.h"

#include <cstring>

namespace lumidex {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// The version nibble and the RFC 4122 variant bits over otherwise unchanged bytes.
Uuid::Bytes withVersion(Uuid::Bytes bytes, uint8_t version) {
    bytes[6] = static_cast<uint8_t>((version << 4) | (bytes[6] & 0x0F));
    bytes[8] = static_cast<uint8_t>(0x80 | (bytes[8] & 0x3F));
    return bytes;
}

}  // namespace

std::string Uuid::toString() const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[bytes_[i] >> 4]);
        out.push_back(kHex[bytes_[i] & 0x0F]);
    }
    return out;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes bytes{};
    size_t nibble = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isDashPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int v = hexValue(text[i]);
        if (v < 0) return std::nullopt;
        bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
        ++nibble;
    }
    return Uuid(bytes);
}

Uuid Uuid::random() {
    Bytes bytes{};
    platform::fillRandom(bytes);
    return Uuid(withVersion(bytes, 4));
}

Uuid Uuid::unique() {
    Bytes bytes{};
    platform::fillUnique(bytes);
    return Uuid(withVersion(bytes, 4));
}

Uuid Uuid::nameBased(std::string_view path) {
    return Uuid(withVersion(platform::md5(platform::toNfc(path)), 3));
}

}  // namespace lumidex

size_t std::hash<lumidex::Uuid>::operator()(const lumidex::Uuid& uuid) const noexcept {
    uint64_t high = 0;
    uint64_t low = 0;
    std::memcpy(&high, uuid.bytes().data(), 8);
    std::memcpy(&low, uuid.bytes().data() + 8, 8);
    return lumidex::hashCombine(static_cast<size_t>(high), static_cast<size_t>(low));
}
