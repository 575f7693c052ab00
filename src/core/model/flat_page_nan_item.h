// One page of a document as the result list shows it. Shared by reference between the list and the
// views that update it: hold it in std::shared_ptr; copying is disabled. Not thread-safe: touch it on
// the thread that owns the list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/enums.h"
#include "core/model/nan_item.h"

namespace lumidex {

struct FlatPageNanItem {
    FlatPageNanItem(NanItem item, int64_t page) : nanItem(std::move(item)), pageIndex(page) {}
    FlatPageNanItem(const FlatPageNanItem&) = delete;
    FlatPageNanItem& operator=(const FlatPageNanItem&) = delete;

    NanItem nanItem;
    const int64_t pageIndex;
    FlatPageNanItemStates state = FlatPageNanItemStates::notHandled;
    std::optional<std::vector<std::string>> displayResults;  // highlighted text fragments of the page
    std::optional<std::string> transcript;
};

}  // namespace lumidex
