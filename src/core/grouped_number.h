// Counts as progress lines show them: "16 548", thousands set apart by a space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumidex {

inline std::string groupedNumber(int64_t number) {
    std::string digits = std::to_string(number < 0 ? -number : number);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), " ");
    }
    return number < 0 ? "-" + digits : digits;
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
