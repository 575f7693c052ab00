#include "processing/worker/frame_codec.h"

namespace lumidex {

std::string encodeFrame(std::string_view payload) {
    const auto size = static_cast<std::uint32_t>(payload.size());
    std::string frame;
    frame.reserve(4 + payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((size >> shift) & 0xFF));
    frame.append(payload);
    return frame;
}

void FrameDecoder::feed(std::string_view bytes) {
    if (failed_) return;
    // Drop what was handed out before growing, so the buffer holds at most one partial frame plus input.
    if (consumed_ > 0 && consumed_ * 2 >= buffer_.size()) {
        buffer_.erase(0, consumed_);
        consumed_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<std::string> FrameDecoder::next() {
    if (failed_ || buffered() < 4) return std::nullopt;
    std::uint32_t size = 0;
    for (std::size_t i = 0; i < 4; ++i) size = (size << 8) | static_cast<unsigned char>(buffer_[consumed_ + i]);
    if (size > maxFrameBytes) {
        failed_ = true;
        buffer_.clear();
        consumed_ = 0;
        return std::nullopt;
    }
    if (buffered() < 4 + static_cast<std::size_t>(size)) return std::nullopt;
    std::string payload = buffer_.substr(consumed_ + 4, size);
    consumed_ += 4 + size;
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
    return payload;
}

}  // namespace lumidex
