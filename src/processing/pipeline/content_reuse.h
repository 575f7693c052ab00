// What a processing run keeps of an extraction in the folder's content cache (storage/content_cache.h),
// and how it puts that back for another version of a file with the same bytes.
//
// One entry holds the worker's result (without its timings), the files the extraction left in the
// folder's data directory for the document (its page previews, kept by links: see storage::ContentCache,
// and an office document's converted PDF),
// and, added later, the text the recognition of a digital PDF's image pages found. The files are named
// relative to the data directory with the document's image key replaced by "*", so that they can be
// written back under another document's key.
//
// The key covers everything the result depends on: the bytes (size and SHA-256), the job kind, the
// file's lower-case extension and the job options that change what is extracted or drawn.
// Pure functions apart from the file access named; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "processing/extractors/extraction_result.h"
#include "storage/content_cache.h"

namespace lumidex::processing {

// nullopt when the file cannot be read.
std::optional<std::string> contentCacheKey(const std::filesystem::path& file, std::string_view jobKind,
                                           std::string_view extension, const ExtractionJobOptions& options);

// The entry for a finished extraction: the result as the worker reported it (timings dropped) and the
// document's files found under `imageKey` (previews of pages 0 ... pageCount-1, the converted PDF when
// `office`). nullopt when the result is not worth keeping (only complete documents are kept).
std::optional<storage::ContentCacheEntry> contentCacheEntry(const ExtractionResult& result,
                                                            const std::filesystem::path& dataDirectory,
                                                            std::string_view imageKey, bool office);

// Writes the entry's files for `imageKey` into the data directory. False when one could not be written
// (or names a place outside the directory); the extraction must then run as if nothing were cached.
bool restoreContentCacheFiles(const storage::ContentCacheEntry& entry, const std::filesystem::path& dataDirectory,
                              std::string_view imageKey);

}  // namespace lumidex::processing
