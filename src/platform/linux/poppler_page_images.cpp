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

#include <cmath>
#include <optional>

#include "platform/library_messages.h"

namespace lumidex::platform::linux_detail {
namespace {

// Pages drawing more images than this are tiled mosaics; the first ones tell enough.
constexpr std::size_t maxImagesPerPage = 4096;

void forwardError(ErrorCategory, Goffset, const char* message) {
    if (message != nullptr) reportLibraryMessage(std::string("poppler: ") + message);
}

// --- a quick look before interpreting: most pages of text documents name no image anywhere ---

constexpr int maxFormDepth = 8;

bool isSpace(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0; }

// Whether a content stream may hold an inline image: a "BI" token. A false alarm (the letters inside a
// text string) costs only the full interpretation.
bool mayHoldInlineImage(Object& contents) {
    if (contents.isArray()) {
        for (int i = 0; i < contents.arrayGetLength(); ++i) {
            Object part = contents.arrayGet(i);
            if (mayHoldInlineImage(part)) return true;
        }
        return false;
    }
    if (!contents.isStream()) return false;
    Stream* stream = contents.getStream();
    stream->reset();
    const std::vector<unsigned char> bytes = stream->toUnsignedChars();
    stream->close();
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != 'B' || bytes[i + 1] != 'I') continue;
        const bool startsToken = i == 0 || isSpace(bytes[i - 1]);
        const bool endsToken = i + 2 == bytes.size() || isSpace(bytes[i + 2]) || bytes[i + 2] == '/';
        if (startsToken && endsToken) return true;
    }
    return false;
}

// Whether resources name an image XObject, directly or in a form they name.
bool resourcesNameImages(Dict* resources, int depth) {
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
        if (formResources.isDict() && resourcesNameImages(formResources.getDict(), depth + 1)) return true;
        if (mayHoldInlineImage(xObject)) return true;
    }
    return false;
}

// False only when the page certainly draws no image: none named in its resources or forms, no inline
// image in its content, no annotation with an appearance of its own.
bool mayDrawImages(Page& page, XRef* xref) {
    if (resourcesNameImages(page.getResourceDict(), 0)) return true;
    Object contents = page.getContents();
    if (mayHoldInlineImage(contents)) return true;
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
    std::vector<PdfDrawnImage> images;

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

private:
    void note(GfxState* state, int width, int height) {
        if (images.size() >= maxImagesPerPage) return;
        const double* m = state->getCTM();
        images.push_back(PdfDrawnImage{std::hypot(m[0], m[1]), std::hypot(m[2], m[3]), width, height});
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

std::vector<PdfDrawnImage> PopplerPageImages::images(int pageIndex) {
    PDFDoc* document = impl_->open();
    if (document == nullptr || pageIndex < 0 || pageIndex >= document->getNumPages()) return {};
    ImageListingOutputDev out;
    try {
        Page* page = document->getPage(pageIndex + 1);
        // Interpreting costs about as much as taking the page's text; looking costs a fraction of it.
        if (page == nullptr || !mayDrawImages(*page, document->getXRef())) return {};
        document->displayPage(&out, pageIndex + 1, 72, 72, 0, false, true, false);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return {};
    }
    return std::move(out.images);
}

}  // namespace lumidex::platform::linux_detail
