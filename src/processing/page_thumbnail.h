// A page preview drawn on demand, exactly as the preview pass draws it: for a page opened before the
// pass came to its document.
// Thread-safe; the document is decoded in one of POOL's worker processes and the call waits for it (the
// pool's time limits bound the wait). Nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/model/nan_item.h"
#include "processing/worker/extraction_worker_pool.h"

namespace lumidex::processing {

// Draws the thumbnail of page `pageIndex` (0-based) of a PDF, or of an office document's converted
// PDF, into its place in the folder's data directory and returns the PNG as written (nullopt when the
// write failed: the worker logs it); nullopt for other types, a document that is gone,
// damaged or locked, and a page it does not have. The preview size follows the setting lowResImages.
std::optional<std::string> drawPageThumbnail(ExtractionWorkerPool& pool, const NanItem& item,
                                             const std::filesystem::path& folderDataDirectory, int64_t pageIndex);

}  // namespace lumidex::processing
