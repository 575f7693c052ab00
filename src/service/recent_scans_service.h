// The recently added documents, newest first, with a read mark per document: what "recent scans"
// are on a desktop without a scanner app. A document counts from when its file was created (its
// modification time when the file system keeps no creation time); the list is as long as the setting
// "numberOfRecentScanItems" says.
//
// The read marks live in one small JSON file (the ids of the documents marked read, pruned to the
// documents still listed), written atomically. Thread-safe: one mutex guards the marks; the folder
// service and the settings are borrowed and must outlive this one. FOLDERS names the folders to list
// (their documents come from the folder service: the running folder's, else what its last run stored).
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/model/date.h"
#include "service/index_lookup.h"

namespace lumidex {
class SettingsStore;
}

namespace lumidex::service {

class FolderService;

struct RecentScan {
    std::string id;  // the document id of the search and document routes
    std::string fileName;
    std::string filePath;
    std::string fileType;  // the lower-case extension, "" without one
    std::optional<Date> createdAt;
    bool isRead = false;
};

class RecentScansService {
public:
    RecentScansService(FolderService& folderService, RegisteredFolders folders, SettingsStore& settings,
                       std::filesystem::path readMarksFile);

    // The newest documents of every searchable folder, newest first.
    std::vector<RecentScan> list();
    int64_t unreadCount();

    enum class MarkResult { marked, notFound, writeFailed };
    MarkResult markRead(const std::string& id);

private:
    std::set<std::string> loadMarksLocked();

    FolderService* folderService_;
    RegisteredFolders folders_;
    SettingsStore* settings_;
    std::filesystem::path marksFile_;
    std::mutex mutex_;
};

}  // namespace lumidex::service
