#include "search/duplicates_scan_view_model.h"

#include <exception>

#include "core/app_log.h"

namespace lumidex::search {

DuplicatesScanViewModel::DuplicatesScanViewModel(std::shared_ptr<SearchableFolderIndex> folder,
                                                 ViewModelScheduler& scheduler)
    : folder_(std::move(folder)), scheduler_(scheduler), alive_(std::make_shared<bool>(true)) {
    rootFolderUrl_ = folder_ ? folder_->rootPath() : std::string();
}

DuplicatesScanViewModel::~DuplicatesScanViewModel() {
    *alive_ = false;
    if (processingTask_) processingTask_->cancel();
}

void DuplicatesScanViewModel::start() {
    if (processingTask_) processingTask_->cancel();
    CancellationToken token;
    processingTask_ = token;
    groups_.clear();
    items_.clear();
    itemsCount_ = 0;
    noDuplicatesFound_ = false;
    busy_ = true;
    busyTitle_ = "Searching for duplicates...";
    notify();

    scheduler_.postToBackground([this, alive = alive_, &scheduler = scheduler_, folder = folder_, token] {
        bool completed = false;
        try {
            if (folder) {
                folder->waitForInitToComplete();
                const std::vector<NanItem> all = token.isCancelled() ? std::vector<NanItem>{} : folder->allItems();
                DuplicatesProducerClock clock{[&scheduler] { return scheduler.now(); }};
                completed = produceDuplicateGroups(all, clock, token, [&](DuplicateGroups partial) {
                    scheduler.postToMain([this, alive, token, partial = std::move(partial)]() mutable {
                        if (*alive && !token.isCancelled()) receive(std::move(partial));
                    });
                });
            } else {
                completed = true;
            }
        } catch (const std::exception& e) {
            appLog(std::string("duplicates scan failed: ") + e.what());
            completed = !token.isCancelled();
        }
        if (!completed) return;
        scheduler.postToMain([this, alive, token] {
            if (*alive && !token.isCancelled()) finish();
        });
    });
}

void DuplicatesScanViewModel::cancel() {
    if (!processingTask_) return;
    processingTask_->cancel();
    processingTask_.reset();
    busy_ = false;
    busyTitle_.clear();
    notify();
}

void DuplicatesScanViewModel::receive(DuplicateGroups partial) {
    mergeDuplicateGroups(groups_, std::move(partial));
    items_ = duplicateRows(groups_);
    itemsCount_ = items_.size();
    updatedAvailable_ = true;
    notify();
}

void DuplicatesScanViewModel::finish() {
    processingTask_.reset();
    busy_ = false;
    busyTitle_.clear();
    noDuplicatesFound_ = duplicateGroupCount(groups_) == 0;
    notify();
}

std::string DuplicatesScanViewModel::statusText() const {
    return noDuplicatesFound_ ? std::string(kNoDuplicatesFoundText) : std::string();
}

}  // namespace lumidex::search
