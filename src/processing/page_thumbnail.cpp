#include "processing/page_thumbnail.h"

#include <exception>

#include "core/settings/settings.h"
#include "folders/scanning/file_types.h"
#include "folders/scanning/on_disk_path.h"
#include "processing/extractors/nan_items_processing_pdf.h"
#include "processing/extractors/office_extraction.h"
#include "processing/pipeline/thumbnail_write_queue.h"
#include "processing/recognition/save_nan_images_helper.h"

namespace lumidex::processing {

std::optional<std::string> drawPageThumbnail(const NanItem& item, const std::filesystem::path& folderDataDirectory,
                                             int64_t pageIndex) {
    const auto route = folders::routeForExtension(folders::lowerCaseExtension(item.urlString));
    std::filesystem::path source;
    if (route == folders::FileRoute::pdf) source = folders::onDiskPath(item.urlString);
    else if (route == folders::FileRoute::cloud) source = convertedPdfPath(folderDataDirectory, item);
    else return std::nullopt;

    std::optional<std::string> drawn;
    const SaveNanImagesHelper helper(Settings::shared().lowResImages(), {}, folderDataDirectory,
                                     [&drawn](const std::string& file, std::string png) {
                                         ThumbnailWriteQueue::writePngFile(file, png);  // logs its failure
                                         drawn = std::move(png);
                                     });
    PagePreviews previews;
    previews.helper = &helper;
    previews.key = SaveNanImagesHelper::imageKey(item);
    previews.thumbnailOnly = true;
    PdfExtractorSettings settings;
    settings.lowResImages = helper.lowResImages();
    try {
        NanItemsProcessingPdf(settings, {}, [](std::string_view) {}).drawPreviews(source, {pageIndex}, previews);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return drawn;
}

}  // namespace lumidex::processing
