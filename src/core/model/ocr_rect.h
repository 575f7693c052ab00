// One recognised text line or word on a page: a quadrilateral in page-relative coordinates.
// Equality and hashing are member-wise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/hashing.h"
#include "core/uuid.h"

namespace lumidex {

struct OcrRect {
    Uuid id;
    uint32_t combinedHash = 0;  // the owning document version
    int64_t pageIndex = 0;      // zero-based
    std::string ocrContent;
    double p0x = 0, p0y = 0;
    double p1x = 0, p1y = 0;
    double p2x = 0, p2y = 0;
    double p3x = 0, p3y = 0;

    friend bool operator==(const OcrRect&, const OcrRect&) = default;
};

}  // namespace lumidex

template <>
struct std::hash<lumidex::OcrRect> {
    size_t operator()(const lumidex::OcrRect& r) const noexcept {
        using lumidex::hashCombine;
        const std::hash<double> d;
        size_t h = std::hash<lumidex::Uuid>{}(r.id);
        h = hashCombine(h, r.combinedHash);
        h = hashCombine(h, std::hash<int64_t>{}(r.pageIndex));
        h = hashCombine(h, std::hash<std::string>{}(r.ocrContent));
        for (double v : {r.p0x, r.p0y, r.p1x, r.p1y, r.p2x, r.p2y, r.p3x, r.p3y}) h = hashCombine(h, d(v));
        return h;
    }
};
