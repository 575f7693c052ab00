#include "search/search_filter_view_model.h"

namespace lumidex::search {

SearchFilterViewModel::SearchFilterViewModel(ViewModelScheduler& scheduler, std::shared_ptr<FileInfoReader> files)
    : scheduler_(scheduler), files_(std::move(files)), alive_(std::make_shared<bool>(true)) {}

SearchFilterViewModel::~SearchFilterViewModel() {
    *alive_ = false;
    cancelMetadata();
}

void SearchFilterViewModel::setFilterState(SearchFilterState state) {
    if (state == filterState_) return;
    filterState_ = std::move(state);
    notify(Change::filterState);
}

std::vector<NanItem> SearchFilterViewModel::apply(const std::vector<NanItem>& items,
                                                  const MatchCounts& matchCounts) const {
    return applySearchFilter(filterState_, items, matchCounts, *files_);
}

void SearchFilterViewModel::updateMetadata(std::vector<NanItem> items, MatchCounts matchCounts) {
    cancelMetadata();
    CancellationToken token;
    metadataTask_ = token;
    metadata_.isLoading = true;
    notify(Change::metadata);
    scheduler_.postToBackground([this, alive = alive_, token, files = files_, items = std::move(items),
                                 counts = std::move(matchCounts), &scheduler = scheduler_]() mutable {
        SearchFilterMetadata computed = computeSearchFilterMetadata(items, counts, *files, token);
        scheduler.postToMain([this, alive, token, computed = std::move(computed)]() mutable {
            // `this` is only touched while the model is alive and this computation is still the current one.
            if (!*alive || token.isCancelled()) return;
            metadataTask_.reset();
            computed.isLoading = false;
            metadata_ = std::move(computed);
            notify(Change::metadata);
        });
    });
}

void SearchFilterViewModel::cancelMetadata() {
    if (!metadataTask_) return;
    metadataTask_->cancel();
    metadataTask_.reset();
    if (metadata_.isLoading && *alive_) {
        metadata_.isLoading = false;
        notify(Change::metadata);
    }
}

}  // namespace lumidex::search
