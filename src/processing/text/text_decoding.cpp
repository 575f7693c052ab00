#include "processing/text/text_decoding.h"

#include <algorithm>
#include <vector>

#include "platform/charset.h"

namespace lumidex::processing {
namespace {

constexpr int kMinimumDetectorConfidence = 10;
constexpr int kWesternTieMargin = 10;
constexpr std::string_view kFallbackEncoding = "windows-1252";

struct Bom {
    std::string_view bytes;
    std::string_view encoding;
};

// UTF-32LE must be tested before UTF-16LE: its mark starts with the UTF-16LE one.
constexpr Bom kBoms[] = {
    {"\xEF\xBB\xBF", "UTF-8"},
    {std::string_view("\xFF\xFE\x00\x00", 4), "UTF-32LE"},
    {std::string_view("\x00\x00\xFE\xFF", 4), "UTF-32BE"},
    {"\xFF\xFE", "UTF-16LE"},
    {"\xFE\xFF", "UTF-16BE"},
};

DecodedText decodeWith(std::string_view bytes, std::string_view encoding) {
    DecodedText out;
    out.encoding = std::string(encoding);
    if (auto text = platform::decodeCharset(bytes, encoding)) {
        out.text = std::move(*text);
    } else {
        out.error = "No decoder is available for the encoding " + out.encoding + ".";
        return out;
    }
    if (out.text.find('\0') != std::string::npos) {
        out.text.clear();
        out.error = "The file contains binary data, not text (read as " + out.encoding + ").";
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool isWesternLatin(std::string_view name) { return name == "ISO-8859-1" || name == "windows-1252"; }

// The detector is unsure on short texts and tends to pick Central European or Turkish Latin for
// Western text; a near tie goes to windows-1252. Its weak default UTF-16 guesses and the EBCDIC
// charsets, which desktop text files do not use, are ignored.
std::optional<std::string> chooseGuess(const std::vector<platform::CharsetGuess>& guesses) {
    const platform::CharsetGuess* best = nullptr;
    int western = -1;
    for (const auto& guess : guesses) {
        if (guess.confidence < kMinimumDetectorConfidence) continue;
        if (guess.name == "UTF-8" || startsWith(guess.name, "IBM4")) continue;
        if ((startsWith(guess.name, "UTF-16") || startsWith(guess.name, "UTF-32")) && guess.confidence < 60) continue;
        if (isWesternLatin(guess.name)) western = std::max(western, guess.confidence);
        if (best == nullptr && platform::openCharsetDecoder(guess.name)) best = &guess;
    }
    if (best == nullptr) return std::nullopt;
    if (isWesternLatin(best->name) || western >= best->confidence - kWesternTieMargin) {
        return std::string(kFallbackEncoding);
    }
    return best->name;
}

}  // namespace

DecodedText decodePlainText(std::string_view bytes) {
    for (const Bom& bom : kBoms) {
        if (bytes.substr(0, bom.bytes.size()) == bom.bytes) return decodeWith(bytes.substr(bom.bytes.size()), bom.encoding);
    }
    // NUL bytes are well-formed UTF-8 but suggest UTF-16 without a mark: let the detector decide.
    if (bytes.find('\0') == std::string_view::npos && platform::isValidUtf8(bytes)) {
        DecodedText out;
        out.encoding = "UTF-8";
        out.text = std::string(bytes);
        return out;
    }
    if (auto chosen = chooseGuess(platform::detectCharsets(bytes))) return decodeWith(bytes, *chosen);
    return decodeWith(bytes, kFallbackEncoding);
}

}  // namespace lumidex::processing
