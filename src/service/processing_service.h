// Watching and steering processing from outside: progress and statistics over the running folder
// coordinators, one folder's processing figures, processing a document again and rescanning a folder.
// Answers are the records of the local API (snake_case keys, ids as decimal text).
//
// Borrows the CoreManagerData, which must outlive the service. Thread-safe (the coordinators are);
// reads never wait for a folder that is still starting up, it simply reports nothing for it yet.
// Nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "service/index_lookup.h"

namespace lumidex::service {

class ProcessingService {
public:
    struct Options {
        RegisteredFolders registeredFolders;        // none: the coordinators' folders
        std::function<bool()> busyIndicatorShowing;  // the window's busy indicator; none: no window, false
    };

    explicit ProcessingService(folders::CoreManagerData& core, Options options = {});

    struct QueueFigures {
        int64_t activeTasks = 0;  // documents handed to the running processing runs
        int64_t queuedTasks = 0;  // documents queued behind them
        bool isProcessing = false;
        int64_t previewsPending = 0;  // documents whose later page previews are not drawn yet
    };
    QueueFigures queue() const;

    // {"folders": [{"folder_id", "not_processed", "completed", "ocr_pages", "progress", "previews_pending"}], "queue":
    // {"active_tasks", "queued_tasks"}, "is_processing", "ui_busy_indicator"}
    nlohmann::json progress() const;
    // {"total_documents", "by_state": {name: count}, "folders": [{"folder_id", "path", "total",
    // "completed", "error"}]}; states without documents are left out of "by_state".
    nlohmann::json stats() const;
    // {"folder_id", "path", "progress": {...}, "by_state", "total_files"}; a registered folder without a
    // running coordinator is refused with "Folder has no active data manager" (not found).
    std::optional<nlohmann::json> folderProcessing(std::string_view folderId, Refusal& refusal) const;

    // Sets the document back to waiting and queues it. Refused while it is in a processing run unless
    // `force`, and for a file type the pipeline cannot read.
    // {"id", "file_name", "previous_state", "new_state": "not_processed", "message"}
    std::optional<nlohmann::json> reprocess(std::string_view documentId, bool force, Refusal& refusal);
    // Starts a full scan of the folder without waiting for it. {"folder_id", "path", "message"}
    std::optional<nlohmann::json> rescan(std::string_view folderId, Refusal& refusal);

private:
    folders::CoreManagerData& core_;
    Options options_;
};

}  // namespace lumidex::service
