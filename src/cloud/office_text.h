// The text of an office document read from the document itself, beside the PDF its conversion gives:
// a PDF shows only what is printed, while cells clipped by their neighbours, hidden sheets, speaker
// notes and comments are searchable too.
//
// readOfficeText() reads OOXML (Word, Excel, PowerPoint: docx, dotx, docm, xlsx, xlsm, pptx) and
// OpenDocument files (odt, ods, odp, and the OpenDocument export of any other format the converter
// wrote): the text of every part that carries the document's words (body, headers, footers, footnotes,
// comments; every sheet's cells, hidden or not; slides and their notes), block elements separated by
// white space, words split into several runs kept whole. Limits bound what a hostile archive can cost:
// a part inflating beyond maxPartBytes, or all parts together beyond maxTotalBytes, ends the reading
// with an error; text beyond maxTextBytes is cut.
//
// checkBeforeConversion() is the cheap look the conversion queue takes before it hands a file to the
// converter: password-protected OOXML and OpenDocument files, archives that cannot be read and archives
// that declare more content than any real document (a zip bomb) are answered without the converter.
//
// Pure functions over the file; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace lumidex::cloud {

struct OfficeTextLimits {
    std::size_t maxPartBytes = std::size_t{128} << 20;
    std::size_t maxTotalBytes = std::size_t{512} << 20;
    std::size_t maxTextBytes = std::size_t{64} << 20;
};

struct OfficeText {
    std::string text;
    std::string error;  // empty when the document was read
    bool ok() const { return error.empty(); }
};

OfficeText readOfficeText(const std::filesystem::path& path, const OfficeTextLimits& limits = {});

// The character data of one XML part with entities decoded: paragraphs end in a line break, cells,
// tabs and line breaks become spaces, runs of a paragraph join without one; field instructions,
// formulas and the numbers of shared-string cells (t="s") are left out.
std::string xmlText(std::string_view xml);

enum class Admission {
    convert,  // hand it to the converter
    locked,   // protected with a password
    refused,  // damaged or hostile: the converter would fail or be exhausted
};

struct ConversionCheck {
    Admission admission = Admission::convert;
    std::string reason;  // empty for convert
};

// Declared content beyond this, in sum over an archive's members, is refused as a zip bomb.
inline constexpr std::uint64_t maxDeclaredArchiveBytes = std::uint64_t{2} << 30;
// A member declaring more than this while packed more than a hundredfold is refused the same way.
inline constexpr std::uint64_t maxDeclaredMemberBytes = std::uint64_t{256} << 20;

ConversionCheck checkBeforeConversion(const std::filesystem::path& path);

}  // namespace lumidex::cloud
