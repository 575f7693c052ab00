// The framing between Lumidex and its extraction workers: each message is a 4-byte big-endian length
// followed by that many bytes of UTF-8 JSON. Pure byte handling, no JSON here.
//
// FrameDecoder collects bytes as they arrive (in any split) and hands out complete frames in order.
// A length above maxFrameBytes means the stream is corrupt: the decoder then fails for good.
// Not thread-safe (one decoder per stream); never throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumidex {

inline constexpr std::size_t maxFrameBytes = 128u << 20;

// The length prefix followed by the payload. The payload must not exceed maxFrameBytes.
std::string encodeFrame(std::string_view payload);

class FrameDecoder {
public:
    void feed(std::string_view bytes);
    // The next complete payload, or nullopt when more bytes are needed (or the stream failed).
    std::optional<std::string> next();

    bool failed() const { return failed_; }
    // Bytes received but not yet handed out.
    std::size_t buffered() const { return buffer_.size() - consumed_; }

private:
    std::string buffer_;
    std::size_t consumed_ = 0;
    bool failed_ = false;
};

}  // namespace lumidex
