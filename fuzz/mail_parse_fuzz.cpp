// Feeds arbitrary bytes to the message file parser as an .emlx file and as a bare message, and to the
// text converters: no crash or sanitizer report, every text out well-formed UTF-8, sizes consistent,
// the JSON form writable.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "mail/mail_message.h"
#include "mail/mail_text.h"
#include "platform/charset.h"

namespace {

using namespace lumidex::mail;

void requireUtf8(std::string_view text) {
    if (!lumidex::platform::isValidUtf8(text)) __builtin_trap();
}

void checkMessage(const ParsedEmlx& message) {
    for (const auto& [name, value] : message.headers) {
        requireUtf8(name);
        requireUtf8(value);
    }
    requireUtf8(message.bodyPreview);
    if (message.bodyPreview.size() > kBodyPreviewLimit) __builtin_trap();
    if (!message.rawBody || message.bodyByteCount != static_cast<int64_t>(message.rawBody->size())) __builtin_trap();
    if (const auto text = messageBodyText(message)) {
        requireUtf8(*text);
        if (text->empty()) __builtin_trap();
    }
    (void)nlohmann::json(message).dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto result = parseEmlx(bytes);
    if (const auto* parsed = std::get_if<ParsedEmlx>(&result)) {
        checkMessage(*parsed);
        if (parsed->rawBody->size() > size) __builtin_trap();
    } else {
        requireUtf8(std::get<EmlxParserError>(result).message());
    }
    checkMessage(parseMessage(bytes));

    requireUtf8(decodeEncodedWords(bytes));
    requireUtf8(decodeBody(bytes, bytes.substr(0, size % 16)));
    if (lumidex::platform::isValidUtf8(bytes)) {
        requireUtf8(normalizeText(htmlToText(bytes)));
        requireUtf8(calendarToText(bytes));
    }
    if (decodeBase64(bytes).size() > size || decodeQuotedPrintable(bytes).size() > size) __builtin_trap();
    return 0;
}
