#include "service/recent_scans_service.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/atomic_file.h"
#include "core/app_log.h"
#include "core/settings/settings.h"
#include "service/folder_service.h"

namespace lumidex::service {

namespace {

Date addedDate(const NanItem& item) {
    return secondsSince1970(item.fileCreatedDate) > 0 ? item.fileCreatedDate : item.fileModifiedDate;
}

// Newest first. Files made within one clock tick of the file system share their creation time, so
// the modification time and then the path decide between them.
bool newerFirst(const NanItem& a, const NanItem& b) {
    if (addedDate(a) != addedDate(b)) return addedDate(a) > addedDate(b);
    if (a.fileModifiedDate != b.fileModifiedDate) return a.fileModifiedDate > b.fileModifiedDate;
    return a.urlString < b.urlString;
}

std::string extensionOf(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

}  // namespace

RecentScansService::RecentScansService(FolderService& folderService, RegisteredFolders folders, SettingsStore& settings,
                                       std::filesystem::path readMarksFile)
    : folderService_(&folderService), folders_(std::move(folders)), settings_(&settings), marksFile_(std::move(readMarksFile)) {}

std::set<std::string> RecentScansService::loadMarksLocked() {
    std::ifstream in(marksFile_);
    if (!in) return {};
    std::stringstream text;
    text << in.rdbuf();
    const auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
    std::set<std::string> marks;
    if (!parsed.is_array()) {
        appLog("[api] Gelesen-Markierungen unlesbar, beginne leer: " + marksFile_.string());
        return marks;
    }
    for (const auto& id : parsed) {
        if (id.is_string()) marks.insert(id.get<std::string>());
    }
    return marks;
}

std::vector<RecentScan> RecentScansService::list() {
    const double wanted = Settings(*settings_).numberOfRecentScanItems();
    const std::size_t limit = std::isfinite(wanted) && wanted >= 1 ? static_cast<std::size_t>(std::min(wanted, 10000.0)) : 25;
    std::vector<NanItem> newest;
    for (const std::string& path : folders_ ? folders_() : std::vector<std::string>{}) {
        for (NanItem& item : folderService_->itemsOf(FolderEntry{path})) newest.push_back(std::move(item));
        // Keep only the candidates that can still make the list, so memory stays at one folder's items.
        if (newest.size() > limit) {
            std::partial_sort(newest.begin(), newest.begin() + static_cast<std::ptrdiff_t>(limit), newest.end(), newerFirst);
            newest.resize(limit);
        }
    }
    std::sort(newest.begin(), newest.end(), newerFirst);
    std::set<std::string> marks;
    {
        std::lock_guard lock(mutex_);
        marks = loadMarksLocked();
    }
    std::vector<RecentScan> scans;
    scans.reserve(newest.size());
    for (const NanItem& item : newest) {
        RecentScan scan;
        scan.id = std::to_string(item.combinedHash);
        scan.fileName = item.fileName;
        scan.filePath = item.urlString;
        scan.fileType = extensionOf(item.fileName);
        if (secondsSince1970(addedDate(item)) > 0) scan.createdAt = addedDate(item);
        scan.isRead = marks.contains(scan.id);
        scans.push_back(std::move(scan));
    }
    return scans;
}

int64_t RecentScansService::unreadCount() {
    const auto scans = list();
    return std::count_if(scans.begin(), scans.end(), [](const RecentScan& scan) { return !scan.isRead; });
}

RecentScansService::MarkResult RecentScansService::markRead(const std::string& id) {
    const auto scans = list();
    if (std::none_of(scans.begin(), scans.end(), [&](const RecentScan& scan) { return scan.id == id; })) {
        return MarkResult::notFound;
    }
    std::lock_guard lock(mutex_);
    std::set<std::string> marks = loadMarksLocked();
    marks.insert(id);
    // Marks of documents that left the list are dropped, so the file stays as small as the list.
    nlohmann::json kept = nlohmann::json::array();
    for (const RecentScan& scan : scans) {
        if (marks.contains(scan.id)) kept.push_back(scan.id);
    }
    std::error_code ec;
    std::filesystem::create_directories(marksFile_.parent_path(), ec);
    if (auto error = writeFileAtomically(marksFile_, kept.dump())) {
        appLog("[api] Gelesen-Markierung nicht gespeichert: " + marksFile_.string());
        return MarkResult::writeFailed;
    }
    return MarkResult::marked;
}

}  // namespace lumidex::service
