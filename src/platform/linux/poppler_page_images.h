// Internal to the Linux platform sources: the raster images and letter-like shapes a PDF page draws,
// read through poppler's core API (its C++ wrapper lists no images). Opens its own parser of the file
// on first use.
// Not thread-safe: the owning PdfDocument serialises calls. Nothing throws except std::bad_alloc.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/pdf_document.h"

namespace lumidex::platform::linux_detail {

class PopplerPageImages {
public:
    // `password` is the one that unlocked the document ("" when it needed none).
    PopplerPageImages(std::filesystem::path path, std::string password);
    ~PopplerPageImages();
    PopplerPageImages(const PopplerPageImages&) = delete;
    PopplerPageImages& operator=(const PopplerPageImages&) = delete;

    PdfPageDrawing drawing(int pageIndex);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumidex::platform::linux_detail
