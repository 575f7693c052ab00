// Feeds arbitrary bytes, split at input-chosen points, to the decoder of the worker message frames and
// checks what must hold for any stream: the frames handed out re-encode to a prefix of the stream, the
// split does not change them, and a decoder fails only on a length above the limit. Every frame is
// then read as a worker's message, which must not throw whatever it holds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "processing/worker/frame_codec.h"
#include "processing/worker/worker_reply.h"

namespace {

struct Decoded {
    std::vector<std::string> frames;
    bool failed = false;
    std::size_t buffered = 0;
};

// Chunk sizes cycle through `splits` (a zero means one byte); frames are taken after every chunk.
Decoded decode(std::string_view stream, std::string_view splits) {
    lumidex::FrameDecoder decoder;
    Decoded out;
    std::size_t turn = 0;
    while (!stream.empty()) {
        std::size_t chunk = splits.empty() ? stream.size() : static_cast<unsigned char>(splits[turn++ % splits.size()]);
        chunk = std::min(std::max<std::size_t>(chunk, 1), stream.size());
        decoder.feed(stream.substr(0, chunk));
        stream.remove_prefix(chunk);
        while (auto frame = decoder.next()) out.frames.push_back(std::move(*frame));
    }
    out.failed = decoder.failed();
    out.buffered = decoder.buffered();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte says how many of the following bytes choose the split points.
    const std::size_t splitCount = std::min<std::size_t>(data[0] % 16, size - 1);
    const std::string_view splits(reinterpret_cast<const char*>(data) + 1, splitCount);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + splitCount, size - 1 - splitCount);

    const Decoded whole = decode(stream, {});
    const Decoded pieces = decode(stream, splits);
    if (whole.frames != pieces.frames || whole.failed != pieces.failed) __builtin_trap();

    std::string reencoded;
    for (const std::string& frame : whole.frames) {
        reencoded += lumidex::encodeFrame(frame);
        const lumidex::WorkerReply reply = lumidex::parseWorkerReply(frame, 1);
        if (reply.type == lumidex::WorkerReply::Type::invalid && reply.text.empty()) __builtin_trap();
        lumidex::isWorkerGreeting(frame, 1);
    }
    if (stream.substr(0, reencoded.size()) != reencoded) __builtin_trap();
    const std::string_view rest = stream.substr(reencoded.size());
    if (whole.failed) {
        // Only a length prefix above the limit fails the stream, and then nothing stays buffered.
        if (rest.size() < 4 || whole.buffered != 0) __builtin_trap();
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) length = (length << 8) | static_cast<unsigned char>(rest[i]);
        if (length <= lumidex::maxFrameBytes) __builtin_trap();
    } else {
        // What is left is one incomplete frame, kept whole.
        if (whole.buffered != rest.size() || pieces.buffered != rest.size()) __builtin_trap();
    }
    return 0;
}
