// Legacy character sets: decoding bytes in a named charset to UTF-8, and guessing the charset of
// unlabelled text.
//
// CharsetDecoder instances are not thread-safe (keep one per thread or per document); the free
// functions are. Nothing here throws except std::bad_alloc. Bytes that are invalid in a charset
// become U+FFFD; decoding never fails once a decoder exists.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::platform {

class CharsetDecoder {
public:
    virtual ~CharsetDecoder() = default;
    // The converter library's canonical name, e.g. "ibm-5348_P100-1997" for "windows-1252".
    virtual std::string canonicalName() const = 0;
    // Converts one complete chunk to UTF-8; no state is carried from one call to the next.
    virtual std::string decode(std::string_view bytes) = 0;
};

// nullptr when the name is unknown to the converter library. Names are IANA or converter aliases:
// "windows-1252", "UTF-16LE", "macintosh", "Shift_JIS", "ibm-437".
std::unique_ptr<CharsetDecoder> openCharsetDecoder(std::string_view charsetName);

// One-shot convenience over openCharsetDecoder(); nullopt when the charset is unknown.
std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charsetName);

// The converter name for a Windows/RTF code page number (1252 -> "windows-1252", 10000 ->
// "macintosh", 437 -> "ibm-437", 65001 -> "UTF-8"); nullopt when no converter exists for it.
std::optional<std::string> charsetNameForCodePage(int codePage);

struct CharsetGuess {
    std::string name;    // IANA name as the detector reports it, e.g. "windows-1252", "UTF-16LE"
    int confidence = 0;  // 0..100
};

// Statistical guesses for unlabelled bytes, best first; empty when the detector has no opinion.
// Only the first 64 KiB are examined.
std::vector<CharsetGuess> detectCharsets(std::string_view bytes);

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace lumidex::platform
