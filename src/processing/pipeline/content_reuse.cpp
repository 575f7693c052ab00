#include "processing/pipeline/content_reuse.h"

#include <fstream>
#include <iterator>

#include "core/atomic_file.h"
#include "platform/digest.h"
#include "processing/recognition/save_nan_images_helper.h"

namespace lumidex::processing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view keyMark = "*";

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

std::string hex(const std::array<uint8_t, 32>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (const uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// A stored name back to a path below the data directory; nullopt for anything that could leave it.
std::optional<fs::path> placeOf(std::string_view name, std::string_view imageKey) {
    const auto mark = name.find(keyMark);
    if (mark == std::string_view::npos) return std::nullopt;
    std::string relative(name.substr(0, mark));
    relative += imageKey;
    relative += name.substr(mark + keyMark.size());
    const fs::path path(relative);
    if (path.is_absolute() || relative.empty()) return std::nullopt;
    for (const auto& part : path) {
        if (part == "..") return std::nullopt;
    }
    return path;
}

}  // namespace

std::optional<std::string> contentCacheKey(const fs::path& file, std::string_view jobKind, std::string_view extension,
                                           const ExtractionJobOptions& options) {
    // Opening a pipe put in the file's place would wait for a writer: only a plain file is read.
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    std::optional<platform::FileDigest> digest;
    try {
        digest = platform::sha256OfFile(file);
    } catch (const platform::DigestError&) {
        return std::nullopt;
    }
    if (!digest) return std::nullopt;
    std::string key = hex(digest->sha256) + " " + std::to_string(digest->size) + " " + std::string(jobKind) + " " +
                      std::string(extension);
    key += options.lowResImages ? " low" : " full";
    key += options.ignoreSmallImages ? " skip" : " all";
    key += options.recognizeText ? " ocr" : " no-ocr";
    key += options.thumbnailOnly ? " thumbs" : " pages";
    key += options.deferPreviews ? " later" : " now";
    key += " " + std::to_string(options.maxTextBytes);
    return key;
}

std::optional<storage::ContentCacheEntry> contentCacheEntry(const ExtractionResult& result, const fs::path& dataDirectory,
                                                            std::string_view imageKey, bool office) {
    if (result.state != NanItemProcessingStates::complete || imageKey.empty()) return std::nullopt;
    ExtractionResult kept = result;
    kept.phases.clear();
    kept.workerPeakRssKb = 0;
    storage::ContentCacheEntry entry;
    entry.result = encodeExtractionResult(kept);
    // Kept by a link to the document's own file: no second copy on disk while both exist.
    const auto keep = [&](const std::string& fileName, std::string name) {
        std::error_code ec;
        if (fs::is_regular_file(dataDirectory / fileName, ec)) {
            entry.files.push_back(storage::ContentCacheFile{std::move(name), {}, dataDirectory / fileName});
        }
    };
    const std::string mark(keyMark);
    // Only what this extraction wrote: a file of a later page may be an earlier version's.
    for (int64_t page = 0; page < previewPagesWritten(result); ++page) {
        keep(SaveNanImagesHelper::pageImageFileName(imageKey, page), SaveNanImagesHelper::pageImageFileName(mark, page));
        keep(SaveNanImagesHelper::thumbnailFileName(imageKey, page), SaveNanImagesHelper::thumbnailFileName(mark, page));
    }
    if (office) {
        // Without it the document's pages cannot be shown: an entry without it would restore less.
        // Held as bytes, not linked: a conversion of the next version writes into the same file.
        const std::string converted = "converted/" + std::string(imageKey) + ".pdf";
        auto bytes = readFile(dataDirectory / converted);
        if (!bytes) return std::nullopt;
        entry.files.push_back(storage::ContentCacheFile{"converted/" + mark + ".pdf", std::move(*bytes), {}});
    }
    return entry;
}

bool restoreContentCacheFiles(const storage::ContentCacheEntry& entry, const fs::path& dataDirectory,
                              std::string_view imageKey) {
    for (const storage::ContentCacheFile& file : entry.files) {
        const auto relative = placeOf(file.name, imageKey);
        if (!relative) return false;
        const fs::path target = dataDirectory / *relative;
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        if (ec) return false;
        if (!file.kept.empty()) {
            if (!storage::ContentCache::placeKeptFile(file.kept, target)) return false;
        } else if (writeFileAtomically(target, file.bytes, defaultFilePermissions, FileDurability::cache)) {
            return false;
        }
    }
    return true;
}

}  // namespace lumidex::processing
