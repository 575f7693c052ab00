#include "processing/recognition/save_nan_images_helper.h"

namespace lumidex::processing {

SaveNanImagesHelper::SaveNanImagesHelper(bool lowResImages, std::string rootFolderUrl,
                                         std::filesystem::path dataDirectory, Writer writer)
    : lowResImages_(lowResImages),
      rootFolderUrl_(std::move(rootFolderUrl)),
      dataDirectory_(std::move(dataDirectory)),
      writer_(std::move(writer)) {}

std::string SaveNanImagesHelper::imageKey(const NanItem& item) { return item.id.toString(); }

std::string SaveNanImagesHelper::pageImageFileName(std::string_view key, int64_t pageIndex) {
    return std::string(key) + "_nanimage_#" + std::to_string(pageIndex) + ".png";
}

std::string SaveNanImagesHelper::thumbnailFileName(std::string_view key, int64_t pageIndex) {
    return std::string(key) + "_thumbmage_#" + std::to_string(pageIndex) + ".png";
}

std::vector<int64_t> SaveNanImagesHelper::pagesWithoutThumbnail(const std::filesystem::path& dataDirectory,
                                                                const NanItem& item) {
    const std::string key = imageKey(item);
    std::vector<int64_t> pages;
    for (int64_t page = 0; page < item.totalPageCount; ++page) {
        std::error_code ec;
        // Whatever else is there under the name (a folder) is no preview and blocks writing one.
        if (!std::filesystem::is_regular_file(dataDirectory / thumbnailFileName(key, page), ec)) pages.push_back(page);
    }
    return pages;
}

bool SaveNanImagesHelper::savePageImageAndThumbnail(std::string_view key, int64_t pageIndex,
                                                    const platform::Bitmap& page, bool thumbnailOnly) const {
    if (!writer_ || !page.isValid()) return false;
    bool complete = true;
    const platform::Bitmap thumbnail =
        platform::scaleToWidth(page, lowResImages_ ? lowResThumbnailWidth : thumbnailWidth);
    if (auto png = platform::encodePng(thumbnail)) {
        writer_((dataDirectory_ / thumbnailFileName(key, pageIndex)).string(), std::move(*png));
    } else {
        complete = false;
    }
    if (!thumbnailOnly) {
        if (auto png = platform::encodePng(page)) {
            writer_((dataDirectory_ / pageImageFileName(key, pageIndex)).string(), std::move(*png));
        } else {
            complete = false;
        }
    }
    return complete;
}

}  // namespace lumidex::processing
