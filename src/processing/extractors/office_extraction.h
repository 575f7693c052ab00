// The office documents' part of the processing run: where their converted PDFs live, which files need
// the converter's OpenDocument copy to be read in full, and the text they are indexed with.
//
// An office document is read twice: its PDF goes down the PDF road (text of each page, recognition of
// pages without text, previews), and its own text is read from the document's XML, which holds what
// the PDF leaves out (hidden sheets, clipped cells, speaker notes, comments). The indexed text is the
// document's own text followed by the words that only the PDF shows (numbers and dates as displayed,
// page-number fields), each once and folded. Formats whose own text is read here (readsOwnText) are
// first stored with that text alone and converted by a later pass (nan_items_processing.h).
// Pure functions; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/model/nan_item.h"

namespace lumidex::processing {

// "<folder data directory>/converted/<image key>.pdf": replaced when the document changes, kept for the
// recognition that enriches it later and for showing its pages.
std::filesystem::path convertedPdfPath(const std::filesystem::path& folderDataDirectory, const NanItem& item);
// Where the converter writes the OpenDocument copy of a file whose own format is not read here (doc,
// xls, pages, numbers, key, keynote); removed after the extraction. Empty for OOXML, OpenDocument and CSV.
std::filesystem::path convertedTextSourcePath(const std::filesystem::path& folderDataDirectory, const NanItem& item);

// True for the formats whose own text is read here without the converter (OOXML, OpenDocument, CSV).
bool readsOwnText(std::string_view extension);

// The document's own text: OOXML or OpenDocument XML (from `source`, the document or its OpenDocument
// copy), or the decoded bytes of a CSV file. nullopt with `error` set when it cannot be read.
std::optional<std::string> officeOwnText(const std::filesystem::path& source, std::string_view extension,
                                         std::string& error);

std::string officeDocumentText(std::string_view ownText, std::string_view pdfText);

}  // namespace lumidex::processing
