// Lossless compression (zlib streams) for what the stores keep compressed.
//
// Pure functions and self-contained objects; thread-safe as far as each object is used by one thread
// at a time. Nothing throws except std::bad_alloc. A damaged stream, or one that does not inflate to
// exactly the size it was stored with, is reported, never returned as if it were the text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::platform {

std::vector<uint8_t> compressBytes(std::string_view bytes);

// A stream from compressBytes() inflated only as far as it is read: a passage near the start of a long
// text costs about its own bytes, not the whole text's.
class LazyInflatedText {
public:
    LazyInflatedText(std::vector<uint8_t> stream, size_t originalSize);
    ~LazyInflatedText();
    LazyInflatedText(LazyInflatedText&&) noexcept;
    LazyInflatedText& operator=(LazyInflatedText&&) noexcept;

    size_t size() const { return size_; }
    // At least the first `count` bytes (all of them when the text is shorter). Shorter than that when the
    // stream is damaged; damaged() then says so. Views stay valid as long as the object.
    std::string_view prefix(size_t count);
    bool damaged() const { return damaged_; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    size_t size_ = 0;
    size_t inflated_ = 0;
    bool damaged_ = false;
};

}  // namespace lumidex::platform
