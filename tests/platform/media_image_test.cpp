#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/bitmap.h"
#include "platform/image_decoder.h"
#include "platform/image_encoder.h"
#include "platform/image_metadata.h"
#include "platform/media_fixtures.h"
#include "support/temp_home.h"

namespace lumidex::platform {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeBinaryFile;

// 64 x 48: left half black, right half white, a pure blue block in the top-right corner.
Bitmap testPattern() {
    Bitmap b = Bitmap::rgb(64, 48);
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
            uint8_t* p = b.bytes.data() + static_cast<std::size_t>(y) * b.stride() + static_cast<std::size_t>(x) * 3;
            if (x < 32) {
                p[0] = p[1] = p[2] = 0;
            } else if (y < 16 && x >= 48) {
                p[0] = 0, p[1] = 0, p[2] = 255;
            }
        }
    }
    return b;
}

std::array<int, 3> pixel(const Bitmap& b, int x, int y) {
    const uint8_t* p = b.bytes.data() + static_cast<std::size_t>(y) * b.stride() + static_cast<std::size_t>(x * b.channels);
    return b.channels == 1 ? std::array<int, 3>{p[0], p[0], p[0]} : std::array<int, 3>{p[0], p[1], p[2]};
}

void expectNear(std::array<int, 3> actual, std::array<int, 3> expected, int tolerance, const std::string& what) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(actual[c], expected[c], tolerance) << what << " channel " << c;
}

std::string le16(uint32_t v) { return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff)}; }
std::string le32(uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }
std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>((v >> 16) & 0xff), static_cast<char>((v >> 8) & 0xff),
            static_cast<char>(v & 0xff)};
}

class MediaImage : public ::testing::Test {
protected:
    ImageDecodeResult decodeBytes(const std::string& name, const std::string& bytes,
                                  const ImageDecodeOptions& options = {}) {
        writeBinaryFile(dir_ / name, bytes);
        return makeImageDecoder(options)->decodeFile(dir_ / name);
    }

    TempDir dir_;
};

TEST_F(MediaImage, EveryWritableFormatRoundTripsThroughItsDecoder) {
    const Bitmap pattern = testPattern();
    struct Case {
        ImageFormat format;
        const char* fileName;
        int tolerance;
    };
    const Case cases[] = {{ImageFormat::png, "a.png", 0},   {ImageFormat::jpeg, "a.jpg", 40},
                          {ImageFormat::jpeg, "a.jpeg", 40}, {ImageFormat::bmp, "a.bmp", 0},
                          {ImageFormat::gif, "a.gif", 8},    {ImageFormat::tiff, "a.tif", 0},
                          {ImageFormat::tiff, "a.tiff", 0},  {ImageFormat::pcx, "a.pcx", 0},
                          {ImageFormat::psd, "a.psd", 0},    {ImageFormat::heic, "a.heic", 60}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName);
        const auto encoded = encodeImage(pattern, c.format);
        if (!encoded && c.format == ImageFormat::heic) continue;  // no HEVC encoder on this system
        ASSERT_TRUE(encoded);
        const auto result = decodeBytes(c.fileName, *encoded);
        EXPECT_EQ(result.format, c.format);
        ASSERT_TRUE(result) << result.error->message();
        const Bitmap& b = *result.bitmap;
        EXPECT_TRUE(b.isValid());
        ASSERT_EQ(b.width, 64);
        ASSERT_EQ(b.height, 48);
        expectNear(pixel(b, 8, 40), {0, 0, 0}, c.tolerance, "black half");
        expectNear(pixel(b, 40, 40), {255, 255, 255}, c.tolerance, "white half");
        expectNear(pixel(b, 56, 8), {0, 0, 255}, c.tolerance, "blue block");
    }
}

TEST_F(MediaImage, OneDecoderServesSeveralThreads) {
    const Bitmap pattern = testPattern();
    const std::vector<ImageFormat> formats = {ImageFormat::png, ImageFormat::jpeg, ImageFormat::pcx, ImageFormat::psd};
    for (ImageFormat format : formats) {
        writeBinaryFile(dir_ / ("t." + std::string(imageFormatName(format))), *encodeImage(pattern, format));
    }
    const auto decoder = makeImageDecoder();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < formats.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const auto format = formats[(t + static_cast<std::size_t>(i)) % formats.size()];
                const auto result = decoder->decodeFile(dir_ / ("t." + std::string(imageFormatName(format))));
                if (!result || result.bitmap->width != 64) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(MediaImage, GrayImagesStayOneChannel) {
    Bitmap gray = Bitmap::gray(20, 10, 200);
    gray.bytes[0] = 0;
    const auto result = decodeBytes("g.png", *encodePng(gray));
    ASSERT_TRUE(result);
    EXPECT_EQ(*result.bitmap, gray);

    // A colour bitmap that holds only grey pixels is stored as grey, pixel for pixel.
    Bitmap rgbGray = Bitmap::rgb(20, 10, 200);
    rgbGray.bytes[0] = rgbGray.bytes[1] = rgbGray.bytes[2] = 0;
    const auto fromRgb = decodeBytes("h.png", *encodePng(rgbGray));
    ASSERT_TRUE(fromRgb);
    EXPECT_EQ(*fromRgb.bitmap, gray);
    // One coloured pixel keeps all three channels.
    rgbGray.bytes[5] = 17;
    const auto coloured = decodeBytes("c.png", *encodePng(rgbGray));
    ASSERT_TRUE(coloured);
    EXPECT_EQ(*coloured.bitmap, rgbGray);
}

TEST_F(MediaImage, FormatComesFromContentNotName) {
    const auto png = encodePng(testPattern());
    const auto result = decodeBytes("really-a-png.jpg", *png);
    EXPECT_EQ(result.format, ImageFormat::png);
    EXPECT_TRUE(result);

    const auto text = decodeBytes("notes.png", "just some text, not an image at all\n");
    EXPECT_EQ(text.format, ImageFormat::unknown);
    ASSERT_TRUE(text.error);
    EXPECT_EQ(text.error->kind, ImageDecodeError::Kind::unsupportedFormat);

    const auto empty = decodeBytes("empty.gif", "");
    ASSERT_TRUE(empty.error);
    EXPECT_EQ(empty.error->kind, ImageDecodeError::Kind::unsupportedFormat);

    const auto missing = makeImageDecoder()->decodeFile(dir_ / "missing.png");
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->kind, ImageDecodeError::Kind::fileUnreadable);
}

TEST(MediaImageSniff, RecognisesMagicBytes) {
    auto sniff = [](std::string bytes, std::string_view ext = {}) {
        bytes.resize(std::max<std::size_t>(bytes.size(), 32), '\0');
        return sniffImageFormat(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), ext);
    };
    EXPECT_EQ(sniff("\x89PNG\r\n\x1a\n"), ImageFormat::png);
    EXPECT_EQ(sniff("\xff\xd8\xff\xe0"), ImageFormat::jpeg);
    EXPECT_EQ(sniff("GIF89a"), ImageFormat::gif);
    EXPECT_EQ(sniff("8BPS"), ImageFormat::psd);
    EXPECT_EQ(sniff("BM"), ImageFormat::bmp);
    EXPECT_EQ(sniff(std::string("\0\0\0\x18" "ftypheic", 12)), ImageFormat::heic);
    EXPECT_EQ(sniff(std::string("\0\0\0\x18" "ftypmif1", 12)), ImageFormat::heic);
    EXPECT_EQ(sniff(std::string("\0\0\0\x18" "ftypisom", 12)), ImageFormat::unknown);  // an MP4 video
    EXPECT_EQ(sniff("%!PS-Adobe-3.0 EPSF-3.0"), ImageFormat::eps);
    EXPECT_EQ(sniff("\xc5\xd0\xd3\xc6"), ImageFormat::eps);
    EXPECT_EQ(sniff(std::string("\x0a\x05\x01\x08", 4)), ImageFormat::pcx);
    EXPECT_EQ(sniff(std::string("\x0a\x01\x01\x08", 4)), ImageFormat::unknown);  // no PCX version 1
    EXPECT_EQ(sniff(std::string("II*\0", 4)), ImageFormat::tiff);
    EXPECT_EQ(sniff(std::string("MM\0*", 4)), ImageFormat::tiff);
    EXPECT_EQ(sniff(std::string("II*\0", 4), "raw"), ImageFormat::raw);  // TIFF-structured camera raw
    EXPECT_EQ(sniff(std::string("II*\0\x10\0\0\0CR", 10)), ImageFormat::raw);  // Canon CR2
    EXPECT_EQ(sniff(std::string("IIU\0", 4)), ImageFormat::raw);
    EXPECT_EQ(sniff("FUJIFILMCCD-RAW"), ImageFormat::raw);
    EXPECT_EQ(sniff("random bytes", "raw"), ImageFormat::raw);  // left to the raw library
    EXPECT_EQ(sniff("random bytes", "png"), ImageFormat::unknown);
    EXPECT_EQ(sniffImageFormat({}), ImageFormat::unknown);
}

TEST_F(MediaImage, AbsurdSizeHeadersAreRefusedBeforeDecoding) {
    // PNG: signature and an IHDR of 100000 x 100000 (10 gigapixels), nothing else.
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + "IHDR" + be32(100000) + be32(100000) +
                      std::string("\x08\x02\0\0\0", 5) + be32(0);
    // PCX: 65536 x 65536, 8 bits, one plane.
    std::string pcx = std::string("\x0a\x05\x01\x08", 4) + le16(0) + le16(0) + le16(65535) + le16(65535);
    pcx.resize(128, '\0');
    pcx[65] = 1;
    // BMP: 70000 x 70000, 24 bits.
    std::string bmp = "BM" + le32(54) + le32(0) + le32(54) + le32(40) + le32(70000) + le32(70000) + le16(1) +
                      le16(24) + le32(0) + le32(0) + le32(0) + le32(0) + le32(0) + le32(0);
    // PSD: 30000 x 30000, 3 channels.
    std::string psd = "8BPS" + std::string("\0\x01", 2) + std::string(6, '\0') + std::string("\0\x03", 2) +
                      be32(30000) + be32(30000) + std::string("\0\x08\0\x03", 4);
    // GIF: the logical screen is capped at 65535 x 65535.
    std::string gif = "GIF89a" + le16(65535) + le16(65535) + std::string("\0\0\0", 3);

    // GIF: a small screen, a comment extension, then a 60000 x 60000 frame.
    std::string gifFrame = "GIF89a" + le16(10) + le16(10) + std::string("\0\0\0", 3) + "\x21\xfe" +
                           std::string("\x03" "abc" "\0", 5) + "\x2c" + le16(0) + le16(0) + le16(60000) + le16(60000) +
                           std::string("\0\x08\x01\0\0\x3b", 6);

    for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{{"huge.png", png},
                                                                                      {"huge.pcx", pcx},
                                                                                      {"huge.bmp", bmp},
                                                                                      {"huge.psd", psd},
                                                                                      {"huge.gif", gif},
                                                                                      {"frame.gif", gifFrame}}) {
        SCOPED_TRACE(name);
        const auto result = decodeBytes(name, bytes);
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->kind, ImageDecodeError::Kind::tooLarge) << result.error->message();
    }
}

TEST_F(MediaImage, PixelCapIsConfigurable) {
    ImageDecodeOptions options;
    options.maxPixels = 64 * 48 - 1;
    for (ImageFormat format : {ImageFormat::png, ImageFormat::jpeg, ImageFormat::tiff, ImageFormat::pcx}) {
        SCOPED_TRACE(std::string(imageFormatName(format)));
        const auto result = decodeBytes("capped." + std::string(imageFormatName(format)),
                                        *encodeImage(testPattern(), format), options);
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->kind, ImageDecodeError::Kind::tooLarge);
    }
    options.maxPixels = 64 * 48;
    EXPECT_TRUE(decodeBytes("exact.png", *encodePng(testPattern()), options));
}

TEST_F(MediaImage, TruncatedAndCorruptFilesFailWithoutCrashing) {
    const Bitmap pattern = testPattern();
    for (ImageFormat format : {ImageFormat::png, ImageFormat::jpeg, ImageFormat::gif, ImageFormat::bmp,
                               ImageFormat::tiff, ImageFormat::pcx, ImageFormat::psd, ImageFormat::heic}) {
        const auto encoded = encodeImage(pattern, format);
        if (!encoded) continue;
        const std::string name = "cut." + std::string(imageFormatName(format));
        SCOPED_TRACE(name);
        // Keep the header so the format is still recognised; lose most of the data.
        (void)decodeBytes(name, encoded->substr(0, std::min<std::size_t>(encoded->size(), 40)));
        std::string corrupt = *encoded;
        for (std::size_t i = 30; i < corrupt.size(); i += 7) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
        (void)decodeBytes("corrupt-" + name, corrupt);
    }
    const auto raw = decodeBytes("camera.raw", std::string(4096, '\x42'));
    ASSERT_TRUE(raw.error);
    EXPECT_EQ(raw.format, ImageFormat::raw);
}

TEST_F(MediaImage, ThirtyTwoBitBmpIsDecoded) {
    // 2 x 2, 32 bits per pixel (B, G, R, X), rows bottom-up: bottom row red, green; top row blue, white.
    std::string bmp = "BM" + le32(54 + 16) + le32(0) + le32(54) + le32(40) + le32(2) + le32(2) + le16(1) + le16(32) +
                      le32(0) + le32(16) + le32(2835) + le32(2835) + le32(0) + le32(0);
    bmp += std::string("\0\0\xff\0" "\0\xff\0\0" "\xff\0\0\0" "\xff\xff\xff\0", 16);
    const auto result = decodeBytes("deep.bmp", bmp);
    ASSERT_TRUE(result) << result.error->message();
    const Bitmap& b = *result.bitmap;
    ASSERT_EQ(b.width, 2);
    ASSERT_EQ(b.height, 2);
    expectNear(pixel(b, 0, 1), {255, 0, 0}, 0, "bottom-left red");
    expectNear(pixel(b, 1, 1), {0, 255, 0}, 0, "bottom-right green");
    expectNear(pixel(b, 0, 0), {0, 0, 255}, 0, "top-left blue");
}

class MediaImageEps : public MediaImage {
protected:
    void SetUp() override {
        if (!testing::commandAvailable("gs")) GTEST_SKIP() << "ghostscript is not installed";
    }
};

TEST_F(MediaImageEps, RendersAtUpToFourTimesPointSize) {
    const std::string eps =
        "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 50\n%%EndComments\n"
        "0 0 0 setrgbcolor 0 0 50 50 rectfill\n0 0 1 setrgbcolor 50 25 50 25 rectfill\nshowpage\n%%EOF\n";
    const auto result = decodeBytes("drawing.eps", eps);
    EXPECT_EQ(result.format, ImageFormat::eps);
    ASSERT_TRUE(result) << result.error->message();
    const Bitmap& b = *result.bitmap;
    EXPECT_EQ(b.width, 400);
    EXPECT_EQ(b.height, 200);
    expectNear(pixel(b, 100, 100), {0, 0, 0}, 10, "black left half");
    expectNear(pixel(b, 300, 50), {0, 0, 255}, 10, "blue top-right");
    expectNear(pixel(b, 300, 150), {255, 255, 255}, 10, "white bottom-right");
}

TEST_F(MediaImageEps, EndlessProgramIsKilledAtTheTimeLimit) {
    ImageDecodeOptions options;
    options.externalTimeout = std::chrono::milliseconds(300);
    const auto result =
        decodeBytes("loop.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n{ } loop\n", options);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->kind, ImageDecodeError::Kind::timedOut);
}

TEST_F(MediaImageEps, HugeBoundingBoxIsRefusedAndBrokenProgramFails) {
    ImageDecodeOptions options;
    options.maxPixels = 10000;
    const auto huge = decodeBytes("huge.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 1000 1000\nshowpage\n", options);
    ASSERT_TRUE(huge.error);
    EXPECT_EQ(huge.error->kind, ImageDecodeError::Kind::tooLarge);

    const auto broken = decodeBytes("broken.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\nnosuchoperator\n");
    EXPECT_TRUE(broken.error);

    ImageDecodeOptions noGs;
    noGs.ghostscript = "/nonexistent/gs";
    const auto missing = decodeBytes("any.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n", noGs);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->kind, ImageDecodeError::Kind::decodeFailed);
}

TEST(MediaImageMetadata, OnlyImageExtensionsOfTheLastComponentAreOpened) {
    EXPECT_TRUE(mayCarryImageMetadata("/photos/IMG_0001.JPG"));
    EXPECT_TRUE(mayCarryImageMetadata("/a.b/scan.tiff"));
    EXPECT_TRUE(mayCarryImageMetadata("raw.cr2"));
    EXPECT_FALSE(mayCarryImageMetadata("/photos.jpg/notes.txt"));  // the folder's extension does not count
    EXPECT_FALSE(mayCarryImageMetadata("/home/a/.jpg"));            // a hidden name, not an extension
    EXPECT_FALSE(mayCarryImageMetadata("/home/a/picture."));
    EXPECT_FALSE(mayCarryImageMetadata("/home/a/picture"));
    EXPECT_FALSE(mayCarryImageMetadata("/home/a/archive.jpgx"));
}

TEST(MediaBitmap, ScalesToThumbnailWidthAsRgb) {
    Bitmap gray = Bitmap::gray(400, 300, 0);
    const Bitmap thumb = scaleToWidth(gray, 200);
    EXPECT_EQ(thumb.width, 200);
    EXPECT_EQ(thumb.height, 150);
    EXPECT_EQ(thumb.channels, 3);
    EXPECT_TRUE(thumb.isValid());
    expectNear(pixel(thumb, 100, 75), {0, 0, 0}, 0, "stays black");

    EXPECT_EQ(scaleToWidth(Bitmap::rgb(300, 100), 200).height, 67);  // 66.67 rounds up
    EXPECT_EQ(scaleToWidth(Bitmap::rgb(1000, 1), 100).height, 1);    // at least one row
    EXPECT_EQ(scaleToWidth(Bitmap::rgb(50, 40), 100).width, 100);     // small pages grow
    EXPECT_TRUE(scaleToWidth(Bitmap{}, 100).empty());
    EXPECT_TRUE(scaleToWidth(Bitmap::rgb(10, 10), 0).empty());
}

TEST(MediaBitmap, PngEncodingRefusesInvalidBitmaps) {
    EXPECT_FALSE(encodePng(Bitmap{}));
    Bitmap wrongSize = Bitmap::rgb(10, 10);
    wrongSize.bytes.pop_back();
    EXPECT_FALSE(encodePng(wrongSize));
    Bitmap twoChannels{4, 4, 2, std::vector<uint8_t>(32, 0)};
    EXPECT_FALSE(encodePng(twoChannels));
    const auto png = encodePng(Bitmap::rgb(7, 5));
    ASSERT_TRUE(png);
    EXPECT_EQ(testing::pngSize(*png), std::make_pair(7, 5));
    EXPECT_FALSE(encodeImage(Bitmap::rgb(4, 4), ImageFormat::eps));
    EXPECT_FALSE(encodeImage(Bitmap::rgb(4, 4), ImageFormat::raw));
}

TEST(MediaBitmap, GreyColourBitmapsKeepOneChannelAndColourOnesThree) {
    Bitmap grey = Bitmap::rgb(3, 2);
    for (std::size_t i = 0; i < grey.pixelCount(); ++i) {
        std::fill_n(grey.bytes.begin() + static_cast<std::ptrdiff_t>(3 * i), 3, static_cast<uint8_t>(40 * i));
    }
    Bitmap colour = grey;
    colour.bytes.back() = 1;  // the last pixel's blue: one coloured pixel keeps the page in colour

    keepGrayAsOneChannel(grey);
    EXPECT_TRUE(grey.isValid());
    EXPECT_EQ(grey.channels, 1);
    EXPECT_EQ(grey.bytes, (std::vector<uint8_t>{0, 40, 80, 120, 160, 200}));
    const Bitmap before = colour;
    keepGrayAsOneChannel(colour);
    EXPECT_EQ(colour, before);
}

}  // namespace
}  // namespace lumidex::platform
