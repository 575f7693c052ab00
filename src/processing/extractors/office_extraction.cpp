#include "processing/extractors/office_extraction.h"

#include <fstream>
#include <sstream>

#include "cloud/office_text.h"
#include "folders/scanning/file_types.h"
#include "processing/pipeline/digital_text_enrichment_queue.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "processing/text/text_decoding.h"
#include "storage/fts_tools.h"

namespace lumidex::processing {
namespace {

namespace fs = std::filesystem;

// A CSV file larger than this is indexed with the text of its PDF only.
constexpr std::uintmax_t maxCsvBytes = std::uintmax_t{64} << 20;

}  // namespace

bool readsOwnText(std::string_view extension) {
    for (std::string_view own : {"docx", "dotx", "xlsx", "xlsm", "pptx", "odt", "ods", "odp", "csv"}) {
        if (extension == own) return true;
    }
    return false;
}

fs::path convertedPdfPath(const fs::path& folderDataDirectory, const NanItem& item) {
    return folderDataDirectory / "converted" / (SaveNanImagesHelper::imageKey(item) + ".pdf");
}

fs::path convertedTextSourcePath(const fs::path& folderDataDirectory, const NanItem& item) {
    if (readsOwnText(folders::lowerCaseExtension(item.urlString))) return {};
    return folderDataDirectory / "converted" / (SaveNanImagesHelper::imageKey(item) + ".odf");
}

std::optional<std::string> officeOwnText(const fs::path& source, std::string_view extension, std::string& error) {
    if (extension == "csv") {
        std::error_code ec;
        const auto size = fs::file_size(source, ec);
        if (ec || size > maxCsvBytes) {
            error = ec ? ec.message() : "larger than " + std::to_string(maxCsvBytes) + " bytes";
            return std::nullopt;
        }
        std::ifstream in(source, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        DecodedText decoded = decodePlainText(bytes.str());
        if (decoded.error) {
            error = *decoded.error;
            return std::nullopt;
        }
        return std::move(decoded.text);
    }
    cloud::OfficeText text = cloud::readOfficeText(source);
    if (!text.ok()) {
        error = std::move(text.error);
        return std::nullopt;
    }
    return std::move(text.text);
}

std::string officeDocumentText(std::string_view ownText, std::string_view pdfText) {
    const MissingWords missing = findMissingWords(storage::FtsTools::fold(ownText), pdfText);
    std::string text(ownText);
    for (const std::string& word : missing.words) {
        text += text.empty() ? "" : " ";
        text += word;
    }
    return text;
}

}  // namespace lumidex::processing
