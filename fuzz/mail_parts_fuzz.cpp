// Feeds arbitrary bytes as a message to the MIME walk: no crash or sanitizer report, bounded output
// (the parts never hold more than the body), part descriptions in the stated form, every text well-formed
// UTF-8. Attached messages are parsed one level further, as the indexer does.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/mail_message.h"
#include "platform/charset.h"

namespace {

using namespace lumidex::mail;

void requireUtf8(std::string_view text) {
    if (!lumidex::platform::isValidUtf8(text)) __builtin_trap();
}

void checkParts(const ParsedEmlx& message, bool descend) {
    const auto parts = extractParts(message);
    if (parts.size() > MimeLimits{}.maxLeaves) __builtin_trap();
    int64_t encoded = 0;
    for (const auto& part : parts) {
        const auto& info = part.info;
        if (info.contentType.empty() || info.contentType.find(';') != std::string::npos) __builtin_trap();
        for (const char c : info.contentType) {
            if (c >= 'A' && c <= 'Z') __builtin_trap();
        }
        requireUtf8(info.contentType);
        if (info.filename) requireUtf8(*info.filename);
        if (info.transferEncoding) requireUtf8(*info.transferEncoding);
        if (info.decodedByteCount != static_cast<int64_t>(part.decoded.size())) __builtin_trap();
        if (info.decodedByteCount > info.bodyByteCount) __builtin_trap();
        encoded += info.bodyByteCount;
        (void)nlohmann::json(info).dump();
        if (const auto text = bodyText(info.contentType, "", part.decoded)) requireUtf8(*text);
        if (descend && info.contentType == "message/rfc822") {
            requireUtf8(forwardedMessageText(part.decoded));
            checkParts(parseMessage(part.decoded), false);
        }
    }
    if (encoded > message.bodyByteCount) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkParts(parseMessage(bytes), true);
    return 0;
}
