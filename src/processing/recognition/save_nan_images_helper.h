// Names, encodes and hands off the preview images of a page: the full page image
// "<key>_nanimage_#<page>.png" and the thumbnail "<key>_thumbmage_#<page>.png" (200 pixels wide, 100 in
// low-resolution mode, height in proportion), both in the folder's data directory.
//
// The key is the item's identifier (imageKey), so a re-processed file replaces its old previews.
// Writing goes through the injected writer (the thumbnail write queue in production), so saving only
// costs the PNG encoding on the caller's thread.
// Thread-safety: immutable after construction; the writer must be safe to call from any thread.
// Failure behaviour: an image that cannot be encoded is skipped and reported by the return value; the
// writer's own failures are its business. Nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/nan_item.h"
#include "platform/bitmap.h"

namespace lumidex::processing {

class SaveNanImagesHelper {
public:
    using Writer = std::function<void(std::string path, std::string pngBytes)>;

    static constexpr int thumbnailWidth = 200;
    static constexpr int lowResThumbnailWidth = 100;

    SaveNanImagesHelper(bool lowResImages, std::string rootFolderUrl, std::filesystem::path dataDirectory, Writer writer);

    bool lowResImages() const { return lowResImages_; }
    const std::string& rootFolderUrl() const { return rootFolderUrl_; }
    const std::filesystem::path& dataDirectory() const { return dataDirectory_; }

    static std::string imageKey(const NanItem& item);
    static std::string pageImageFileName(std::string_view key, int64_t pageIndex);
    static std::string thumbnailFileName(std::string_view key, int64_t pageIndex);
    // The pages (0-based, of item.totalPageCount) whose thumbnail is not in the data directory.
    static std::vector<int64_t> pagesWithoutThumbnail(const std::filesystem::path& dataDirectory, const NanItem& item);

    // Encodes and hands over the thumbnail, and unless thumbnailOnly the full page image. True when
    // everything asked for was handed to the writer.
    bool savePageImageAndThumbnail(std::string_view key, int64_t pageIndex, const platform::Bitmap& page,
                                   bool thumbnailOnly = false) const;

private:
    bool lowResImages_;
    std::string rootFolderUrl_;
    std::filesystem::path dataDirectory_;
    Writer writer_;
};

}  // namespace lumidex::processing
