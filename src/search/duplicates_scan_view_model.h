// The duplicates scan of one searchable folder: a background producer walks the folder's items and
// hands partial groups over (at most one hand-over per 3 seconds); the model merges them on the main
// queue and republishes the rows, so results grow while the scan runs.
//
// Main-queue object: every member must be called on the scheduler's main queue, and the change callback
// runs there. cancel() (or destruction) stops the producer at its next item; nothing is published after
// it. The folder is shared with the producer, which may outlive the model.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "search/duplicates.h"
#include "search/searchable_folder.h"
#include "search/view_model_scheduler.h"

namespace lumidex::search {

class DuplicatesScanViewModel {
public:
    using ChangeCallback = std::function<void()>;

    DuplicatesScanViewModel(std::shared_ptr<SearchableFolderIndex> folder, ViewModelScheduler& scheduler);
    ~DuplicatesScanViewModel();
    DuplicatesScanViewModel(const DuplicatesScanViewModel&) = delete;
    DuplicatesScanViewModel& operator=(const DuplicatesScanViewModel&) = delete;

    // Starts a scan, cancelling one that runs; earlier results are cleared.
    void start();
    void cancel();

    const std::string& rootFolderUrl() const { return rootFolderUrl_; }
    bool noDuplicatesFound() const { return noDuplicatesFound_; }
    // kNoDuplicatesFoundText once a finished scan found no group, else empty.
    std::string statusText() const;
    const std::vector<DuplicateItemViewModel>& items() const { return items_; }
    size_t itemsCount() const { return itemsCount_; }
    bool busy() const { return busy_; }
    const std::string& busyTitle() const { return busyTitle_; }
    // Set when new rows arrived; cleared by the user interface after it showed them.
    bool updatedAvailable() const { return updatedAvailable_; }
    void clearUpdatedAvailable() { updatedAvailable_ = false; }
    const std::optional<Uuid>& selectedItemId() const { return selectedItemId_; }
    void setSelectedItemId(std::optional<Uuid> id) { selectedItemId_ = std::move(id); }
    bool isRunning() const { return processingTask_.has_value(); }

    void setOnChange(ChangeCallback callback) { onChange_ = std::move(callback); }

private:
    void receive(DuplicateGroups partial);
    void finish();
    void notify() {
        if (onChange_) onChange_();
    }

    std::shared_ptr<SearchableFolderIndex> folder_;
    ViewModelScheduler& scheduler_;
    std::shared_ptr<bool> alive_;  // read only on the main queue

    bool noDuplicatesFound_ = false;
    std::optional<CancellationToken> processingTask_;
    std::string rootFolderUrl_;
    DuplicateGroups groups_;
    std::vector<DuplicateItemViewModel> items_;
    bool busy_ = false;
    std::string busyTitle_;
    bool updatedAvailable_ = false;
    std::optional<Uuid> selectedItemId_;
    size_t itemsCount_ = 0;
    ChangeCallback onChange_;
};

}  // namespace lumidex::search
