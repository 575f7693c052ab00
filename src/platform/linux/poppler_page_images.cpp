#include "platform/linux/poppler_page_images.h"

// Object.h first: the library's headers need it before Dict.h.
#include <Object.h>

#include <Dict.h>
#include <GfxState.h>
#include <GlobalParams.h>
#include <OutputDev.h>
#include <PDFDoc.h>
#include <Page.h>
#include <Stream.h>
#include <goo/GooString.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>

#include "platform/library_messages.h"

namespace lumidex::platform::linux_detail {
namespace {

// Pages drawing more images than this are tiled mosaics; the first ones tell enough.
constexpr std::size_t maxImagesPerPage = 4096;
// Curve operators a page's content needs before its shapes are looked at: a short word of outlined
// letters has a few dozen, a page of plain text and rules none.
constexpr int curvesForAWord = 16;
// A letter drawn as an outline is a shape with curves this many points high at most, and as wide.
constexpr double letterMinimumHeight = 3;
constexpr double letterMaximumSize = 72;

void forwardError(ErrorCategory, Goffset, const char* message) {
    if (message != nullptr) reportLibraryMessage(std::string("poppler: ") + message);
}

// --- a quick look before interpreting: most pages of text documents name no image anywhere ---

constexpr int maxFormDepth = 8;

bool isSpace(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0; }

// What a look at content streams tells: an inline image ("BI" token) and curve operators. A false
// alarm (the letters inside a text string) costs only the full interpretation.
struct ContentHints {
    bool inlineImage = false;
    int curves = 0;

    bool worthInterpreting() const { return inlineImage || curves >= curvesForAWord; }
};

void readHints(Object& contents, ContentHints& hints) {
    if (contents.isArray()) {
        for (int i = 0; i < contents.arrayGetLength() && !hints.inlineImage; ++i) {
            Object part = contents.arrayGet(i);
            readHints(part, hints);
        }
        return;
    }
    if (!contents.isStream()) return;
    Stream* stream = contents.getStream();
    stream->reset();
    const std::vector<unsigned char> bytes = stream->toUnsignedChars();
    stream->close();
    const std::size_t size = bytes.size();
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0 && !isSpace(bytes[i - 1])) continue;  // tokens start after white space
        const unsigned char c = bytes[i];
        const bool oneLetter = i + 1 == size || isSpace(bytes[i + 1]);
        if ((c == 'c' || c == 'v' || c == 'y') && oneLetter) {
            ++hints.curves;
        } else if (c == 'B' && i + 1 < size && bytes[i + 1] == 'I' &&
                   (i + 2 == size || isSpace(bytes[i + 2]) || bytes[i + 2] == '/')) {
            hints.inlineImage = true;
            return;
        }
    }
}

// Whether resources name an image XObject, directly or in a form they name; the forms' content adds
// to the hints.
bool resourcesNameImages(Dict* resources, int depth, ContentHints& hints) {
    if (depth > maxFormDepth) return true;  // nested too deep to tell: look by interpreting
    if (resources == nullptr) return false;
    Object xObjects = resources->lookup("XObject");
    if (!xObjects.isDict()) return false;
    for (int i = 0; i < xObjects.dictGetLength(); ++i) {
        Object xObject = xObjects.dictGetVal(i);
        if (!xObject.isStream()) continue;
        Dict* dict = xObject.streamGetDict();
        Object subtype = dict->lookup("Subtype");
        if (subtype.isName("Image")) return true;
        if (!subtype.isName("Form")) continue;
        Object formResources = dict->lookup("Resources");
        if (formResources.isDict() && resourcesNameImages(formResources.getDict(), depth + 1, hints)) return true;
        readHints(xObject, hints);
        if (hints.worthInterpreting()) return true;
    }
    return false;
}

// False only when interpreting the page could find nothing: no image named in its resources or forms,
// no inline image and too few curves in its content, no annotation with an appearance of its own.
bool worthInterpreting(Page& page, XRef* xref) {
    ContentHints hints;
    if (resourcesNameImages(page.getResourceDict(), 0, hints)) return true;
    Object contents = page.getContents();
    readHints(contents, hints);
    if (hints.worthInterpreting()) return true;
    Object annotations = page.getAnnotsObject(xref);
    if (!annotations.isArray()) return false;
    for (int i = 0; i < annotations.arrayGetLength(); ++i) {
        Object annotation = annotations.arrayGet(i);
        if (annotation.isDict() && annotation.dictLookup("AP").isDict()) return true;
    }
    return false;
}

// Interprets a page without drawing anything, noting each image with the transformation that places it.
// Device space is the page at 72 dpi, so the lengths of the matrix's axes are the drawn size in points.
class ImageListingOutputDev final : public OutputDev {
public:
    PdfPageDrawing drawing;

    bool upsideDown() override { return true; }
    bool useDrawChar() override { return false; }
    bool interpretType3Chars() override { return false; }  // bitmap-font glyphs are text, not pictures
    // Shadings and patterns are taken as drawn, so the interpreter does not break them into small fills.
    bool useTilingPatternFill() override { return true; }
    bool useShadedFills(int) override { return true; }
    bool tilingPatternFill(GfxState*, Gfx*, Catalog*, GfxTilingPattern*, const double*, int, int, int, int, double,
                           double) override {
        return true;
    }
    bool functionShadedFill(GfxState*, GfxFunctionShading*) override { return true; }
    bool axialShadedFill(GfxState*, GfxAxialShading*, double, double) override { return true; }
    bool radialShadedFill(GfxState*, GfxRadialShading*, double, double) override { return true; }
    bool gouraudTriangleShadedFill(GfxState*, GfxGouraudTriangleShading*) override { return true; }
    bool patchMeshShadedFill(GfxState*, GfxPatchMeshShading*) override { return true; }

    // The base implementations skip the data of inline images, which the interpreter needs.
    void drawImageMask(GfxState* state, Object* ref, Stream* str, int width, int height, bool invert, bool interpolate,
                       bool inlineImg) override {
        note(state, width, height);
        OutputDev::drawImageMask(state, ref, str, width, height, invert, interpolate, inlineImg);
    }
    void drawImage(GfxState* state, Object* ref, Stream* str, int width, int height, GfxImageColorMap* colorMap,
                   bool interpolate, const int* maskColors, bool inlineImg) override {
        note(state, width, height);
        OutputDev::drawImage(state, ref, str, width, height, colorMap, interpolate, maskColors, inlineImg);
    }
    void drawMaskedImage(GfxState* state, Object*, Stream*, int width, int height, GfxImageColorMap*, bool, Stream*,
                         int, int, bool, bool) override {
        note(state, width, height);  // never inline: nothing to skip
    }
    void drawSoftMaskedImage(GfxState* state, Object*, Stream*, int width, int height, GfxImageColorMap*, bool,
                             Stream*, int, int, GfxImageColorMap*, bool) override {
        note(state, width, height);
    }

    void fill(GfxState* state) override { countLetterLikeShapes(state); }
    void eoFill(GfxState* state) override { countLetterLikeShapes(state); }

private:
    void note(GfxState* state, int width, int height) {
        if (drawing.images.size() >= maxImagesPerPage) {
            drawing.moreImages = true;
            return;
        }
        const double* m = state->getCTM();
        // The image fills the unit square of its own space; the matrix takes its corners onto the page.
        const double xs[] = {m[4], m[0] + m[4], m[2] + m[4], m[0] + m[2] + m[4]};
        const double ys[] = {m[5], m[1] + m[5], m[3] + m[5], m[1] + m[3] + m[5]};
        const auto [left, right] = std::minmax_element(std::begin(xs), std::end(xs));
        const auto [top, bottom] = std::minmax_element(std::begin(ys), std::end(ys));
        drawing.images.push_back(PdfDrawnImage{std::hypot(m[0], m[1]), std::hypot(m[2], m[3]), width, height,
                                               PdfRegion{*left, *top, *right - *left, *bottom - *top}});
    }

    // Each subpath is one closed outline of a glyph ("o" has two); straight ones (rules, boxes, bars)
    // are no letters of interest.
    void countLetterLikeShapes(GfxState* state) {
        const GfxPath* path = state->getPath();
        for (int i = 0; i < path->getNumSubpaths(); ++i) {
            const GfxSubpath* subpath = path->getSubpath(i);
            bool curved = false;
            double left = 0, right = 0, top = 0, bottom = 0;
            for (int j = 0; j < subpath->getNumPoints(); ++j) {
                curved = curved || subpath->getCurve(j);
                double x = 0, y = 0;
                state->transform(subpath->getX(j), subpath->getY(j), &x, &y);
                if (j == 0) {
                    left = right = x;
                    top = bottom = y;
                }
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
            const double height = bottom - top;
            if (curved && height >= letterMinimumHeight && height <= letterMaximumSize && right - left <= letterMaximumSize) {
                ++drawing.letterLikeShapes;
            }
        }
    }
};

}  // namespace

struct PopplerPageImages::Impl {
    // Keeps the library's global settings alive while this parser uses them.
    GlobalParamsIniter globals{forwardError};
    std::filesystem::path path;
    std::string password;
    std::unique_ptr<PDFDoc> document;
    bool failed = false;

    PDFDoc* open() {
        if (document || failed) return document.get();
        std::optional<GooString> secret;
        secret.emplace(password);
        document = std::make_unique<PDFDoc>(std::make_unique<GooString>(path.string()), secret, secret);
        if (!document->isOk()) {
            document.reset();
            failed = true;
        }
        return document.get();
    }
};

PopplerPageImages::PopplerPageImages(std::filesystem::path path, std::string password)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = std::move(path);
    impl_->password = std::move(password);
}

PopplerPageImages::~PopplerPageImages() = default;

PdfPageDrawing PopplerPageImages::drawing(int pageIndex) {
    PDFDoc* document = impl_->open();
    if (document == nullptr || pageIndex < 0 || pageIndex >= document->getNumPages()) return {};
    ImageListingOutputDev out;
    try {
        Page* page = document->getPage(pageIndex + 1);
        // Interpreting costs about as much as taking the page's text; looking costs a fraction of it.
        if (page == nullptr || !worthInterpreting(*page, document->getXRef())) return {};
        document->displayPage(&out, pageIndex + 1, 72, 72, 0, false, true, false);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return {};
    }
    return std::move(out.drawing);
}

}  // namespace lumidex::platform::linux_detail
