#include "processing/page_thumbnail.h"

#include <fstream>
#include <iterator>

#include "core/settings/settings.h"
#include "folders/scanning/file_types.h"
#include "folders/scanning/on_disk_path.h"
#include "processing/extractors/extraction_result.h"
#include "processing/extractors/office_extraction.h"
#include "processing/recognition/save_nan_images_helper.h"

namespace lumidex::processing {

std::optional<std::string> drawPageThumbnail(ExtractionWorkerPool& pool, const NanItem& item,
                                             const std::filesystem::path& folderDataDirectory, int64_t pageIndex) {
    const auto route = folders::routeForExtension(folders::lowerCaseExtension(item.urlString));
    std::filesystem::path source;
    if (route == folders::FileRoute::pdf) source = folders::onDiskPath(item.urlString);
    else if (route == folders::FileRoute::cloud) source = convertedPdfPath(folderDataDirectory, item);
    else return std::nullopt;

    ExtractionJobOptions options;
    options.lowResImages = Settings::shared().lowResImages();
    options.rootFolderUrl = item.rootFolderUrl;
    options.dataDirectory = folderDataDirectory;
    options.imageKey = SaveNanImagesHelper::imageKey(item);
    options.thumbnailOnly = true;
    options.pages = {pageIndex};
    // In a worker, as the preview pass draws it: a renderer that crashes on a bad file ends that worker,
    // not the program answering the request. Ahead of the indexing jobs: someone looks at the page.
    const ExtractionOutcome drawn = pool.run(
        ExtractionRequest{std::string(previewsPdfJob), source, encodeJobOptions(options), std::nullopt, true});
    if (!drawn.ok()) return std::nullopt;
    std::string error;
    const auto result = decodeExtractionResult(drawn.resultJson(), error);
    if (!result || result->state != NanItemProcessingStates::complete) return std::nullopt;
    std::ifstream file(folderDataDirectory / SaveNanImagesHelper::thumbnailFileName(options.imageKey, pageIndex),
                       std::ios::binary);
    if (!file) return std::nullopt;  // a page the document does not have
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace lumidex::processing
