// What the index holds for each searchable folder, and what it still owes: the numbers a person checks
// to trust it (everything seen is either findable or visibly waiting), shared by every way in.
//
// Reads the stored index only (no scan, no coordinator needed); a folder whose stores cannot be read
// reports what could be read. Thread-safe as the folder indexes it is given; nothing throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "search/searchable_folder.h"

namespace lumidex::service {

struct FolderIndexStatus {
    std::string folder;
    int64_t documents = 0;           // every file the index knows
    int64_t searchable = 0;          // text extracted and stored
    int64_t waiting = 0;             // not read yet (a scan reads them)
    int64_t waitingForOfficeText = 0;  // office files: findable by name until their text can be extracted
    int64_t errors = 0;              // could not be read; findable by name
    int64_t locked = 0;              // password-protected PDFs; findable by name
    int64_t notSupported = 0;        // kept out on purpose (type or size)
    int64_t recognitionPending = 0;  // documents whose digital pages still await text recognition
    int64_t previewPages = 0;        // pages of searchable PDFs, images and office documents
    int64_t previewsOwed = 0;        // of those, pages whose preview is not drawn yet
    int64_t previewsPending = 0;     // documents owing them (drawn after the text, or when opened)
    int64_t officeDocuments = 0;     // office documents stored with their text, converted or owing it
    int64_t conversionsPending = 0;  // of those, found by their own text and not converted to PDF yet
    // Office documents whose conversion failed for good (refused, or locked): found by their own text,
    // never converted; the debug log says why. Not among officeDocuments.
    int64_t conversionsFailed = 0;
    std::vector<std::filesystem::path> damagedFilesKeptAside;  // index files found damaged and replaced
};

// A document the index holds but could not read: findable by name only, until the user does something
// about it (removes the password, repairs or replaces the file) and has it processed again.
struct UnreadableDocument {
    NanItem item;
    std::string reason;  // for the user: "The pdf file is encrypted/locked with a password." ...
};

// The documents in `error`, `cloudFailed` or `pdfLocked` of every folder, in folder order and by path
// within a folder.
std::vector<UnreadableDocument> unreadableDocuments(const search::FolderListFunction& folders);

std::vector<FolderIndexStatus> indexStatus(
    const search::FolderListFunction& folders,
    const std::function<std::filesystem::path(const std::string& root)>& folderDataDirectoryOf);

// "searchable: 1 143 of 1 146; previews: 3 200 of 16 548; conversions: 40 of 57": the documents found
// by their text of those that will be, the previews drawn of those owed, and the office documents
// converted of those converted or owing it.
std::string describePasses(const FolderIndexStatus& status);

// The report as JSON text (snake_case keys, one object per folder in an array "folders", and
// "office_converter_missing": why office files cannot be converted here, or null).
std::string indexStatusJson(const std::vector<FolderIndexStatus>& statuses, const std::string& officeConverterMissing = {});

}  // namespace lumidex::service
