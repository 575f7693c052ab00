// Test fixtures made at test time: small hand-written PDFs (Helvetica text lines, filled rectangles, grey
// raster images, a font without a Unicode map) and helpers shared by the media and recognition tests. Header-only so
// both test binaries can use it.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace lumidex::testing {

struct PdfTextLine {
    double x = 72;
    double y = 700;
    double size = 24;
    std::string text;  // ASCII; parentheses and backslashes are escaped
    double angle = 0;  // degrees, counter-clockwise
};

struct PdfRect {
    double x = 0, y = 0, width = 0, height = 0;
    double r = 0, g = 0, b = 0;
};

// An 8-bit grey image drawn under the text: `pixels` holds pixelWidth × pixelHeight bytes, top row first
// (empty: flat mid-grey). An inline image is written into the content stream instead of an object.
struct PdfImage {
    double x = 0, y = 0, width = 0, height = 0;  // where it is drawn, in points
    int pixelWidth = 0, pixelHeight = 0;
    std::string pixels;
    bool inlineImage = false;
};

struct PdfPageFixture {
    double width = 612;
    double height = 792;
    int rotate = 0;
    std::vector<PdfTextLine> lines;
    std::vector<PdfRect> rects;
    std::vector<PdfImage> images = {};  // defaulted: older fixtures list the members before it
    std::string paths = {};             // content operators drawn after the rectangles (paths, fills)
};

// Operators that fill a circle of radius r around (x, y): one closed subpath of four curves.
inline std::string filledCircle(double x, double y, double r) {
    const double k = 0.5523 * r;  // control point distance of a quarter circle
    std::ostringstream out;
    out << x + r << ' ' << y << " m " << x + r << ' ' << y + k << ' ' << x + k << ' ' << y + r << ' ' << x << ' ' << y + r
        << " c " << x - k << ' ' << y + r << ' ' << x - r << ' ' << y + k << ' ' << x - r << ' ' << y << " c " << x - r
        << ' ' << y - k << ' ' << x - k << ' ' << y - r << ' ' << x << ' ' << y - r << " c " << x + k << ' ' << y - r
        << ' ' << x + r << ' ' << y - k << ' ' << x + r << ' ' << y << " c f\n";
    return out.str();
}

inline std::string escapePdfText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '(' || c == ')' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// A PDF file of the given objects (object n is objects[n - 1], the catalog first) with its cross-reference table.
inline std::string assemblePdf(const std::vector<std::string>& objects) {
    std::string pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    std::vector<std::size_t> offsets;
    for (std::size_t n = 0; n < objects.size(); ++n) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(n + 1) + " 0 obj\n" + objects[n] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char entry[21];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

// A complete PDF 1.4 file: catalog, page tree, one content stream per page, one shared Helvetica font,
// then the image objects.
inline std::string makePdf(const std::vector<PdfPageFixture>& pages) {
    std::vector<std::string> objects;  // object n is objects[n - 1]
    const std::size_t pageCount = pages.size();
    const std::size_t fontId = 3 + 2 * pageCount;
    std::size_t nextImageId = fontId + 1;
    std::vector<std::string> imageObjects;
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (std::size_t i = 0; i < pageCount; ++i) kids += std::to_string(3 + 2 * i) + " 0 R ";
    objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pageCount) + " >>");
    for (std::size_t i = 0; i < pageCount; ++i) {
        const PdfPageFixture& page = pages[i];
        std::ostringstream content;
        std::string xObjects;
        for (std::size_t k = 0; k < page.images.size(); ++k) {
            const PdfImage& image = page.images[k];
            const std::string pixels = image.pixels.empty()
                                           ? std::string(static_cast<std::size_t>(image.pixelWidth * image.pixelHeight), '\x80')
                                           : image.pixels;
            content << "q " << image.width << " 0 0 " << image.height << ' ' << image.x << ' ' << image.y << " cm ";
            if (image.inlineImage) {
                content << "BI /W " << image.pixelWidth << " /H " << image.pixelHeight << " /CS /G /BPC 8 ID " << pixels
                        << "\nEI Q\n";
                continue;
            }
            const std::string name = "/Im" + std::to_string(k);
            xObjects += name + " " + std::to_string(nextImageId++) + " 0 R ";
            content << name << " Do Q\n";
            imageObjects.push_back("<< /Type /XObject /Subtype /Image /Width " + std::to_string(image.pixelWidth) +
                                   " /Height " + std::to_string(image.pixelHeight) +
                                   " /ColorSpace /DeviceGray /BitsPerComponent 8 /Length " +
                                   std::to_string(pixels.size()) + " >>\nstream\n" + pixels + "\nendstream");
        }
        for (const PdfRect& r : page.rects) {
            content << r.r << ' ' << r.g << ' ' << r.b << " rg " << r.x << ' ' << r.y << ' ' << r.width << ' '
                    << r.height << " re f\n";
        }
        content << page.paths;
        for (const PdfTextLine& line : page.lines) {
            content << "BT 0 0 0 rg /F1 " << line.size << " Tf ";
            if (line.angle == 0) {
                content << line.x << ' ' << line.y << " Td (";
            } else {
                // PDF numbers have no exponent: values next to zero are written as 0.
                const double radians = line.angle * 3.14159265358979 / 180;
                const auto number = [](double v) { return std::abs(v) < 1e-9 ? 0.0 : v; };
                const double c = number(std::cos(radians)), s = number(std::sin(radians));
                content << c << ' ' << s << ' ' << number(-s) << ' ' << c << ' ' << line.x << ' ' << line.y << " Tm (";
            }
            content << escapePdfText(line.text) << ") Tj ET\n";
        }
        std::ostringstream pageObject;
        pageObject << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " << page.width << ' ' << page.height << "]";
        if (page.rotate != 0) pageObject << " /Rotate " << page.rotate;
        pageObject << " /Resources << /Font << /F1 " << fontId << " 0 R >>";
        if (!xObjects.empty()) pageObject << " /XObject << " << xObjects << ">>";
        pageObject << " >> /Contents " << 4 + 2 * i << " 0 R >>";
        objects.push_back(pageObject.str());
        const std::string stream = content.str();
        objects.push_back("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream");
    }
    objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    objects.insert(objects.end(), imageObjects.begin(), imageObjects.end());

    return assemblePdf(objects);
}

// One page whose text is drawn in a Type 3 font (filled boxes) that maps its glyphs to no characters:
// codes 1 to 4 with private glyph names and no Unicode map, as old bitmap fonts are made.
inline std::string makeUnmappedFontPdf(int glyphs = 60) {
    std::string codes;
    for (int i = 0; i < glyphs; ++i) codes += static_cast<char>(1 + i % 4);
    std::ostringstream content;
    content << "BT /T3 24 Tf 40 100 Td <";
    for (char c : codes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(c));
        content << hex;
        if (c == 4) content << "> Tj 6 0 Td <";  // a little space every fourth glyph: words
    }
    content << "> Tj ET";
    const std::string stream = content.str();
    const std::string glyph = "500 0 0 0 400 600 d1 0 0 400 600 re f";
    const std::vector<std::string> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(80 + 13 * glyphs) +
            " 200] /Resources << /Font << /T3 5 0 R >> >> /Contents 4 0 R >>",
        "<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream",
        "<< /Type /Font /Subtype /Type3 /FontBBox [0 0 500 700] /FontMatrix [0.001 0 0 0.001 0 0] "
        "/CharProcs << /g1 6 0 R /g2 6 0 R /g3 6 0 R /g4 6 0 R >> "
        "/Encoding << /Type /Encoding /Differences [1 /g1 /g2 /g3 /g4] >> /FirstChar 1 /LastChar 4 "
        "/Widths [500 500 500 500] /Resources << >> >>",
        "<< /Length " + std::to_string(glyph.size()) + " >>\nstream\n" + glyph + "\nendstream"};
    return assemblePdf(objects);
}

inline void writeBinaryFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool commandAvailable(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Width and height from a PNG's IHDR chunk; {0, 0} when the bytes are not a PNG.
inline std::pair<int, int> pngSize(const std::string& png) {
    if (png.size() < 24 || png.compare(1, 3, "PNG") != 0) return {0, 0};
    auto be32 = [&](std::size_t at) {
        return (static_cast<int>(static_cast<unsigned char>(png[at])) << 24) |
               (static_cast<int>(static_cast<unsigned char>(png[at + 1])) << 16) |
               (static_cast<int>(static_cast<unsigned char>(png[at + 2])) << 8) |
               static_cast<int>(static_cast<unsigned char>(png[at + 3]));
    };
    return {be32(16), be32(20)};
}

}  // namespace lumidex::testing
