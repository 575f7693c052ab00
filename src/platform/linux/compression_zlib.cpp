#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "platform/compression.h"

namespace lumidex::platform {

std::vector<uint8_t> compressBytes(std::string_view bytes) {
    // Level 6 (zlib's default): text shrinks to about a quarter; the best levels save little more and
    // cost several times the time on every document stored.
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<uint8_t> out(size);
    const int rc = compress2(out.data(), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                             static_cast<uLong>(bytes.size()), Z_DEFAULT_COMPRESSION);
    // compressBound() leaves room for any input, so only memory can run out.
    if (rc != Z_OK) throw std::bad_alloc();
    out.resize(size);
    return out;
}

struct LazyInflatedText::Stream {
    std::vector<uint8_t> input;
    // Not zeroed: a passage near the start of a long text touches only the pages inflated.
    std::unique_ptr<char[]> output;
    z_stream z{};
    bool open = false;
    ~Stream() {
        if (open) inflateEnd(&z);
    }
};

LazyInflatedText::LazyInflatedText(std::vector<uint8_t> stream, size_t originalSize)
    : stream_(std::make_unique<Stream>()), size_(originalSize) {
    stream_->input = std::move(stream);
    stream_->output = std::make_unique_for_overwrite<char[]>(originalSize);
    const int rc = inflateInit(&stream_->z);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    stream_->open = rc == Z_OK;
    damaged_ = !stream_->open;
    stream_->z.next_in = stream_->input.data();
    stream_->z.avail_in = static_cast<uInt>(stream_->input.size());
}

LazyInflatedText::~LazyInflatedText() = default;
LazyInflatedText::LazyInflatedText(LazyInflatedText&&) noexcept = default;
LazyInflatedText& LazyInflatedText::operator=(LazyInflatedText&&) noexcept = default;

std::string_view LazyInflatedText::prefix(size_t count) {
    // Inflating a little more than asked saves calls: readers ask for a few bytes at a time.
    constexpr size_t kStep = 1024;
    const size_t wanted = std::min(size_, std::max(count, inflated_ + kStep));
    while (!damaged_ && inflated_ < count && inflated_ < size_) {
        z_stream& z = stream_->z;
        z.next_out = reinterpret_cast<Bytef*>(stream_->output.get() + inflated_);
        z.avail_out = static_cast<uInt>(wanted - inflated_);
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        const size_t produced = static_cast<size_t>(z.next_out - reinterpret_cast<Bytef*>(stream_->output.get())) - inflated_;
        inflated_ += produced;
        // The stream must end exactly at the stored size, and make progress until then.
        if (rc == Z_STREAM_END ? inflated_ != size_ : rc != Z_OK || produced == 0) damaged_ = true;
    }
    if (!damaged_ && inflated_ == size_ && size_ > 0 && stream_->open) {
        // Anything the stream still holds beyond the stored size means the size does not belong to it.
        Bytef extra = 0;
        stream_->z.next_out = &extra;
        stream_->z.avail_out = 1;
        if (inflate(&stream_->z, Z_NO_FLUSH) != Z_STREAM_END || stream_->z.avail_out == 0) damaged_ = true;
        inflateEnd(&stream_->z);
        stream_->open = false;
    }
    return std::string_view(stream_->output.get(), std::min(inflated_, size_));
}

}  // namespace lumidex::platform
