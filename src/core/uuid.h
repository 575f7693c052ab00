// A 128-bit universally unique identifier held as its 16 bytes in network order.
// Value type; ordering is by bytes. random(), unique() and nameBased() are thread-safe.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace lumidex {

class Uuid {
public:
    using Bytes = std::array<uint8_t, 16>;

    constexpr Uuid() = default;  // the nil UUID, all zero
    explicit constexpr Uuid(const Bytes& bytes) : bytes_(bytes) {}

    const Bytes& bytes() const { return bytes_; }
    bool isNil() const { return *this == Uuid(); }

    // Canonical 8-4-4-4-12 form in upper case, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string toString() const;
    // Accepts the canonical form in either case; anything else gives nullopt.
    static std::optional<Uuid> parse(std::string_view text);

    // Version 4 from a cryptographically secure source.
    static Uuid random();
    // Version 4 layout, unique but not secret (platform::fillUnique): for identities made in bulk, such
    // as one per item row read; random() for anything that must not be guessed.
    static Uuid unique();
    // The identity of a file: version-3 layout over the MD5 of the UTF-8 bytes of the NFC path, so the
    // composed and decomposed spellings of one path give the same value.
    static Uuid nameBased(std::string_view path);

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

}  // namespace lumidex

template <>
struct std::hash<lumidex::Uuid> {
    size_t operator()(const lumidex::Uuid& uuid) const noexcept;
};
