#include "processing/worker/frame_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace lumidex {
namespace {

TEST(FrameCodec, DecodesFramesHoweverTheBytesAreSplit) {
    const std::string stream = encodeFrame(R"({"a":1})") + encodeFrame("") + encodeFrame(std::string(70000, 'x'));
    EXPECT_EQ(stream.substr(0, 4), std::string("\0\0\0\x07", 4));  // big-endian length

    for (const std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
        FrameDecoder decoder;
        std::vector<std::string> frames;
        for (std::size_t at = 0; at < stream.size(); at += step) {
            decoder.feed(std::string_view(stream).substr(at, step));
            while (auto frame = decoder.next()) frames.push_back(*frame);
        }
        ASSERT_EQ(frames.size(), 3u) << "step " << step;
        EXPECT_EQ(frames[0], R"({"a":1})");
        EXPECT_EQ(frames[1], "");
        EXPECT_EQ(frames[2], std::string(70000, 'x'));
        EXPECT_EQ(decoder.buffered(), 0u);
        EXPECT_FALSE(decoder.failed());
    }
}

TEST(FrameCodec, KeepsAPartialFrameUntilItIsComplete) {
    FrameDecoder decoder;
    const std::string frame = encodeFrame("hello");
    decoder.feed(frame.substr(0, 6));
    EXPECT_FALSE(decoder.next());
    EXPECT_EQ(decoder.buffered(), 6u);
    decoder.feed(frame.substr(6));
    EXPECT_EQ(decoder.next(), "hello");
    EXPECT_FALSE(decoder.next());
}

TEST(FrameCodec, ALengthOverTheLimitFailsTheStreamForGoodAndOneAtTheLimitWaitsForItsBytes) {
    const auto header = [](std::size_t size) {
        std::string bytes(4, '\0');
        for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
        return bytes;
    };
    FrameDecoder atLimit;
    atLimit.feed(header(maxFrameBytes) + "abc");
    EXPECT_FALSE(atLimit.next());
    EXPECT_FALSE(atLimit.failed());

    for (const std::size_t size : {maxFrameBytes + 1, std::size_t{0xffffffffu}}) {
        FrameDecoder decoder;
        decoder.feed(header(size));
        EXPECT_FALSE(decoder.next());
        EXPECT_TRUE(decoder.failed()) << size;
        decoder.feed(encodeFrame("later"));
        EXPECT_FALSE(decoder.next());
    }
}

}  // namespace
}  // namespace lumidex
