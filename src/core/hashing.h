// Non-cryptographic hashes with fixed, persisted definitions: the values end up in databases and on
// the API, so none of these may ever change. All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/model/date.h"

namespace lumidex {

// 32-bit FNV-1a over bytes: offset basis 2166136261, prime 16777619, XOR then multiply.
uint32_t fnv1a32(std::string_view bytes);

// djb2 over bytes: h = 5381, then h = h * 33 + byte, wrapping in 32 bits.
uint32_t djb2(std::string_view bytes);
// djb2 over the Unicode scalar values of UTF-8 text (ill-formed sequences count as U+FFFD).
uint32_t djb2Scalars(std::string_view utf8);

// Hash of a document's extracted text: 0 when the text, with every non-letter counted as one
// character, has fewer than 100 user-perceived characters; otherwise fnv1a32 of the text's bytes.
uint32_t contentHash(std::string_view text);

// The absolute file URL of a path: "file://" + the NFC path, percent-encoded outside the characters
// allowed in a URL path (upper-case hex). Trailing slashes are dropped so a directory hashes the same
// whether or not its path was given with one.
std::string fileUrlString(std::string_view path);

// Key of one version of a document: djb2 of fileUrlString(path), times 33, plus the modification
// date's whole seconds since 1970 (wrapping in 32 bits). Dates before 1970 count as 0 seconds, dates
// past 2106 as 4294967295, a non-finite date as 0.
uint32_t combinedHash(std::string_view path, Date modificationDate);
// The same value for a path known to be in NFC already, without normalising it again or building the URL.
uint32_t combinedHashOfNfcPath(std::string_view nfcPath, Date modificationDate);

// Mixes a value's hash into a running seed (order-sensitive), for std::hash of composite values.
inline size_t hashCombine(size_t seed, size_t value) {
    return seed ^ (value + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace lumidex
