// Counts as progress lines show them: "16 548", thousands set apart by a space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumidex {

inline std::string groupedNumber(int64_t number) {
    // The magnitude unsigned: the lowest number has no positive counterpart.
    const uint64_t magnitude = number < 0 ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
    const std::string digits = std::to_string(magnitude);
    std::string grouped = number < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ' ';
        grouped += digits[i];
    }
    return grouped;
}

// The passes of a folder as status and progress lines show them:
// "searchable: 1 143 of 1 143; previews: 3 200 of 16 548", "; conversions: 40 of 57" when office
// documents are stored (converted to PDF of those stored), and "; recognition owed: 12 documents" while
// digital PDFs wait for the recognition of their pictures.
inline std::string passesLine(int64_t searchable, int64_t documents, int64_t previewPages, int64_t previewsOwed,
                              int64_t officeDocuments = 0, int64_t conversionsOwed = 0, int64_t recognitionOwed = 0) {
    const int64_t drawn = previewPages > previewsOwed ? previewPages - previewsOwed : 0;
    std::string line = "searchable: " + groupedNumber(searchable) + " of " + groupedNumber(documents) + "; previews: " +
                       groupedNumber(drawn) + " of " + groupedNumber(previewPages);
    if (officeDocuments > 0) {
        const int64_t converted = officeDocuments > conversionsOwed ? officeDocuments - conversionsOwed : 0;
        line += "; conversions: " + groupedNumber(converted) + " of " + groupedNumber(officeDocuments);
    }
    if (recognitionOwed > 0) {
        line += "; recognition owed: " + groupedNumber(recognitionOwed) + (recognitionOwed == 1 ? " document" : " documents");
    }
    return line;
}

}  // namespace lumidex
