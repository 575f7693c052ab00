#include "folders/scanning/file_candidate.h"

#include "core/hashing.h"
#include "folders/scanning/file_types.h"
#include "platform/unicode.h"
#include "storage/shard_layout.h"

namespace lumidex::folders {

bool canProcess(std::string_view lowerCaseExtension, const ExtensionSet* excluded) {
    if (!isSupportedExtension(lowerCaseExtension)) return false;
    return excluded == nullptr || !excluded->contains(std::string(lowerCaseExtension));
}

bool isPackageName(std::string_view path) {
    const std::string extension = lowerCaseExtension(path);
    return extension == "rtfd" || extension == "pages" || extension == "numbers" || extension == "key" ||
           extension == "keynote";
}

std::optional<std::string> enclosingPackage(std::string_view path, std::string_view root) {
    if (path.size() <= root.size() || path.substr(0, root.size()) != root) return std::nullopt;
    std::size_t start = root.size() + (root == "/" ? 0 : 1);
    for (;;) {
        const std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) return std::nullopt;  // the entry itself is not inside one
        if (isPackageName(path.substr(start, slash - start))) return std::string(path.substr(0, slash));
        start = slash + 1;
    }
}

std::optional<HandleUrlResult> handleNfcUrl(std::string nfcPath, const FileStatus& status,
                                            const std::string& rootFolder, const ExtensionSet* excluded,
                                            bool identityOnly) {
    const bool accepted = status.isRegularFile() || (status.isDirectory() && isPackageName(nfcPath));
    if (!accepted || !status.modified) return std::nullopt;
    while (nfcPath.size() > 1 && nfcPath.back() == '/') nfcPath.pop_back();

    HandleUrlResult result;
    result.combinedHash = combinedHashOfNfcPath(nfcPath, *status.modified);
    result.balancerId = storage::balancerId(result.combinedHash);
    result.isProcessingItem = canProcess(lowerCaseExtension(nfcPath), excluded);
    result.identityOnly = true;

    NanItem& item = result.nanItem;
    item.urlString = std::move(nfcPath);
    item.combinedHash = result.combinedHash;
    item.fileModifiedDate = *status.modified;
    item.fileCreatedDate = status.created.value_or(dateFromSecondsSince1970(0));
    if (!identityOnly) completeCandidate(result, rootFolder);
    return result;
}

void completeCandidate(HandleUrlResult& candidate, const std::string& rootFolder) {
    if (!candidate.identityOnly) return;
    candidate.identityOnly = false;
    NanItem& item = candidate.nanItem;
    item.id = Uuid::nameBased(item.urlString);
    item.fileName = std::string(lastPathComponent(item.urlString));
    item.contentHash = 0;
    item.totalPageCount = -1;
    item.fileContentCreatedDate = dateFromSecondsSince1970(0);
    item.type = NanItemTypes::file;
    item.searchResultType = SearchResultTypes::normal;
    item.rootFolderUrl = rootFolder;
    item.mailbox.reset();
    item.processingState = candidate.isProcessingItem ? NanItemProcessingStates::readyForProcessing
                                                      : NanItemProcessingStates::notSupported;
}

std::optional<HandleUrlResult> handleUrl(const std::string& path, const FileStatus& status,
                                         const std::string& rootFolder, const ExtensionSet* excluded) {
    const bool accepted = status.isRegularFile() || (status.isDirectory() && isPackageName(path));
    if (!accepted || !status.modified) return std::nullopt;
    return handleNfcUrl(platform::toNfc(path), status, rootFolder, excluded);
}

std::optional<HandleUrlResult> handleUrl(const std::string& path, const std::string& rootFolder,
                                         const ExtensionSet* excluded, ScanFileSystem& fileSystem) {
    std::error_code error;
    const auto status = fileSystem.status(path, false, error);
    if (!status) return std::nullopt;
    return handleUrl(path, *status, rootFolder, excluded);
}

uint32_t combinedHashFor(const std::string& path, std::optional<Date> modificationDate, ScanFileSystem& fileSystem) {
    if (!modificationDate) {
        std::error_code error;
        if (auto status = fileSystem.status(path, false, error)) modificationDate = status->modified;
    }
    return combinedHash(path, modificationDate.value_or(dateFromSecondsSince1970(0)));
}

NanItem folderItem(const std::string& nfcPath, const std::string& rootFolder) {
    NanItem item;
    item.id = Uuid::nameBased(nfcPath);
    item.urlString = nfcPath;
    item.fileName = std::string(lastPathComponent(nfcPath));
    item.combinedHash = 0;
    item.contentHash = 0;
    item.totalPageCount = 0;
    item.fileModifiedDate = dateFromSecondsSince1970(0);
    item.fileCreatedDate = dateFromSecondsSince1970(0);
    item.fileContentCreatedDate = dateFromSecondsSince1970(0);
    item.type = NanItemTypes::folder;
    item.rootFolderUrl = rootFolder;
    item.processingState = NanItemProcessingStates::notProcessed;
    return item;
}

}  // namespace lumidex::folders
