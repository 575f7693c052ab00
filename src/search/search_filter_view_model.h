// The filter panel's model: the filter settings, the ranges offered, and the background computation of
// those ranges from the current results (`metadataTask`).
//
// Main-queue object: every member must be called on the scheduler's main queue, and the change callback
// runs there. The metadata computation runs in the background; a newer computation (or destruction)
// cancels an older one, whose result is then dropped. Destroying the model while a computation runs is
// safe: the computation finishes in the background and its result is discarded.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "search/search_filter.h"
#include "search/view_model_scheduler.h"

namespace lumidex::search {

class SearchFilterViewModel {
public:
    enum class Change { filterState, metadata };
    using ChangeCallback = std::function<void(Change)>;

    explicit SearchFilterViewModel(ViewModelScheduler& scheduler,
                                   std::shared_ptr<FileInfoReader> files = systemFileInfoReader());
    ~SearchFilterViewModel();
    SearchFilterViewModel(const SearchFilterViewModel&) = delete;
    SearchFilterViewModel& operator=(const SearchFilterViewModel&) = delete;

    const SearchFilterState& filterState() const { return filterState_; }
    // Reports Change::filterState when the state differs from the current one.
    void setFilterState(SearchFilterState state);
    void reset() { setFilterState(SearchFilterState{}); }
    int activeFilterCount() const { return filterState_.activeFilterCount(); }

    // Applies the current state (reads the disk only for tag and size filters).
    std::vector<NanItem> apply(const std::vector<NanItem>& items, const MatchCounts& matchCounts) const;

    const SearchFilterMetadata& metadata() const { return metadata_; }
    bool isComputingMetadata() const { return metadataTask_.has_value(); }
    // Starts computing the ranges for these results; `metadata().isLoading` is true until it is done.
    void updateMetadata(std::vector<NanItem> items, MatchCounts matchCounts);
    void cancelMetadata();

    void setOnChange(ChangeCallback callback) { onChange_ = std::move(callback); }
    const std::shared_ptr<FileInfoReader>& fileInfoReader() const { return files_; }

private:
    void notify(Change change) {
        if (onChange_) onChange_(change);
    }

    ViewModelScheduler& scheduler_;
    std::shared_ptr<FileInfoReader> files_;
    std::shared_ptr<bool> alive_;  // read only on the main queue
    SearchFilterState filterState_;
    SearchFilterMetadata metadata_;
    std::optional<CancellationToken> metadataTask_;
    ChangeCallback onChange_;
};

}  // namespace lumidex::search
