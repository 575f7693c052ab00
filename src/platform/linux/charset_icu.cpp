// ICU implementation of the charset seam: ucnv converters for decoding, ucsdet for detection.
#include "platform/charset.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucsdet.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace lumidex::platform {
namespace {

constexpr size_t kDetectionWindow = 64 * 1024;

// Always U+FFFD for bytes the charset cannot map: ICU's own substitution gives U+001A for a single
// illegal byte in some multi-byte charsets, which would read as a control character.
void substituteReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                                    UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
    *status = U_ZERO_ERROR;
    const UChar replacement = 0xFFFD;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, status);
}

class IcuCharsetDecoder final : public CharsetDecoder {
public:
    explicit IcuCharsetDecoder(UConverter* converter) : converter_(converter) {}
    ~IcuCharsetDecoder() override { ucnv_close(converter_); }
    IcuCharsetDecoder(const IcuCharsetDecoder&) = delete;
    IcuCharsetDecoder& operator=(const IcuCharsetDecoder&) = delete;

    std::string canonicalName() const override {
        UErrorCode status = U_ZERO_ERROR;
        const char* name = ucnv_getName(converter_, &status);
        return U_SUCCESS(status) && name != nullptr ? std::string(name) : std::string();
    }

    std::string decode(std::string_view bytes) override {
        ucnv_reset(converter_);
        std::string out;
        out.reserve(bytes.size() + bytes.size() / 4);
        const char* source = bytes.data();
        const char* const sourceLimit = bytes.data() + bytes.size();
        std::array<UChar, 8192> buffer{};
        for (;;) {
            UChar* target = buffer.data();
            UErrorCode status = U_ZERO_ERROR;
            ucnv_toUnicode(converter_, &target, buffer.data() + buffer.size(), &source, sourceLimit, nullptr,
                           true, &status);
            appendUtf16(out, buffer.data(), static_cast<size_t>(target - buffer.data()));
            if (status == U_BUFFER_OVERFLOW_ERROR) continue;
            break;  // done, or an error the substitution callback could not absorb: keep what we have
        }
        if (pendingHigh_ != 0) {
            appendScalar(out, 0xFFFD);
            pendingHigh_ = 0;
        }
        return out;
    }

private:
    // Buffers may end between the two halves of a surrogate pair, so the high half is carried over.
    void appendUtf16(std::string& out, const UChar* units, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const UChar unit = units[i];
            if (U16_IS_LEAD(unit)) {
                if (pendingHigh_ != 0) appendScalar(out, 0xFFFD);
                pendingHigh_ = unit;
                continue;
            }
            if (U16_IS_TRAIL(unit)) {
                if (pendingHigh_ != 0) {
                    appendScalar(out, U16_GET_SUPPLEMENTARY(pendingHigh_, unit));
                    pendingHigh_ = 0;
                } else {
                    appendScalar(out, 0xFFFD);
                }
                continue;
            }
            if (pendingHigh_ != 0) {
                appendScalar(out, 0xFFFD);
                pendingHigh_ = 0;
            }
            appendScalar(out, unit);
        }
    }

    static void appendScalar(std::string& out, UChar32 c) {
        char encoded[4];
        int32_t length = 0;
        UBool error = false;
        U8_APPEND(reinterpret_cast<uint8_t*>(encoded), length, 4, c, error);
        if (error) {
            length = 0;
            U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(encoded), length, 0xFFFD);
        }
        out.append(encoded, static_cast<size_t>(length));
    }

    UConverter* converter_;
    UChar pendingHigh_ = 0;
};

}  // namespace

std::unique_ptr<CharsetDecoder> openCharsetDecoder(std::string_view charsetName) {
    if (charsetName.empty() || charsetName.size() > 64) return nullptr;
    const std::string name(charsetName);
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name.c_str(), &status);
    if (U_FAILURE(status) || converter == nullptr) {
        if (converter != nullptr) ucnv_close(converter);
        return nullptr;
    }
    ucnv_setToUCallBack(converter, substituteReplacementCharacter, nullptr, nullptr, nullptr, &status);
    return std::make_unique<IcuCharsetDecoder>(converter);
}

std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charsetName) {
    auto decoder = openCharsetDecoder(charsetName);
    if (!decoder) return std::nullopt;
    return decoder->decode(bytes);
}

std::optional<std::string> charsetNameForCodePage(int codePage) {
    std::string candidates[3];
    switch (codePage) {
        case 10000: candidates[0] = "macintosh"; break;
        case 65001: candidates[0] = "UTF-8"; break;
        case 932: candidates[0] = "windows-31j"; break;
        case 20127: candidates[0] = "US-ASCII"; break;
        case 28591: candidates[0] = "ISO-8859-1"; break;
        default:
            if (codePage <= 0 || codePage > 65535) return std::nullopt;
            candidates[0] = "windows-" + std::to_string(codePage);
            candidates[1] = "ibm-" + std::to_string(codePage);
            candidates[2] = "cp" + std::to_string(codePage);
    }
    for (const auto& candidate : candidates) {
        if (candidate.empty()) continue;
        UErrorCode status = U_ZERO_ERROR;
        UConverter* converter = ucnv_open(candidate.c_str(), &status);
        bool ok = U_SUCCESS(status) && converter != nullptr;
        // Some numbers name a compression of Unicode ("ibm-1214" is BOCU-1), in which one byte can stand
        // for a character outside the BMP; no document's code page is one.
        if (ok) {
            const UConverterType type = ucnv_getType(converter);
            ok = type != UCNV_BOCU1 && type != UCNV_SCSU;
        }
        if (converter != nullptr) ucnv_close(converter);
        if (ok) return candidate;
    }
    return std::nullopt;
}

std::vector<CharsetGuess> detectCharsets(std::string_view bytes) {
    std::vector<CharsetGuess> guesses;
    if (bytes.empty()) return guesses;
    UErrorCode status = U_ZERO_ERROR;
    UCharsetDetector* detector = ucsdet_open(&status);
    if (U_FAILURE(status) || detector == nullptr) return guesses;
    const auto window = static_cast<int32_t>(std::min(bytes.size(), kDetectionWindow));
    ucsdet_setText(detector, bytes.data(), window, &status);
    int32_t count = 0;
    const UCharsetMatch** matches = U_SUCCESS(status) ? ucsdet_detectAll(detector, &count, &status) : nullptr;
    if (U_SUCCESS(status) && matches != nullptr) {
        for (int32_t i = 0; i < count; ++i) {
            UErrorCode itemStatus = U_ZERO_ERROR;
            const char* name = ucsdet_getName(matches[i], &itemStatus);
            const int32_t confidence = ucsdet_getConfidence(matches[i], &itemStatus);
            if (U_SUCCESS(itemStatus) && name != nullptr) guesses.push_back({name, static_cast<int>(confidence)});
        }
    }
    ucsdet_close(detector);
    return guesses;
}

bool isValidUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        // Walk in int32-sized windows: U8_NEXT takes int32 indices.
        const size_t windowEnd = std::min(n, i + (size_t{1} << 30));
        int32_t j = 0;
        const auto limit = static_cast<int32_t>(windowEnd - i);
        UChar32 c = 0;
        U8_NEXT(s + i, j, limit, c);
        if (c < 0) return false;
        i += static_cast<size_t>(j);
    }
    return true;
}

}  // namespace lumidex::platform
