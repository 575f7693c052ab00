// An uncompressed raster image as a plain value, and the few pixel operations the pipeline needs:
// PNG encoding and scaling to a thumbnail width.
//
// Pixels are 8 bits per channel, rows top to bottom, tightly packed (no row padding): one channel is
// grey, three are R, G, B. Alpha never reaches a Bitmap; decoders flatten transparency onto white.
// Free functions are pure and thread-safe and never throw (except std::bad_alloc); an invalid bitmap
// (see isValid) gives nullopt or an empty bitmap instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumidex::platform {

struct Bitmap {
    int width = 0;
    int height = 0;
    int channels = 0;  // 1 (grey) or 3 (RGB)
    std::vector<uint8_t> bytes;
    // Set for a page drawn from a document at a resolution of our choosing (pixels per inch); 0 for
    // pixels as a file or camera gave them.
    double drawnAtPixelsPerInch = 0;

    static Bitmap gray(int width, int height, uint8_t fill = 255);
    static Bitmap rgb(int width, int height, uint8_t fill = 255);

    std::size_t stride() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(channels); }
    std::size_t pixelCount() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
    // Positive size, 1 or 3 channels, and exactly width × height × channels bytes.
    bool isValid() const;
    bool empty() const { return width <= 0 || height <= 0; }

    friend bool operator==(const Bitmap&, const Bitmap&) = default;
};

// PNG file bytes (8-bit grey or 24-bit RGB), or nullopt for an invalid bitmap or an encoder failure.
std::optional<std::string> encodePng(const Bitmap& bitmap);

// A colour bitmap whose every pixel is grey becomes one channel, in place: the same pixels in a third
// of the memory (and a quarter in the recogniser's four-byte copies). Others are left as they are.
void keepGrayAsOneChannel(Bitmap& bitmap);

// The bitmap scaled to `width` pixels wide, the height in proportion (rounded to the nearest pixel,
// at least 1), always as RGB. An invalid bitmap or a width below 1 gives an empty Bitmap.
Bitmap scaleToWidth(const Bitmap& bitmap, int width);

}  // namespace lumidex::platform
