// The seam between a folder's coordinator and whatever watches that folder for changes.
//
// A factory builds one observer per searchable folder when the coordinator is created and hands it the
// two handlers: `fileEvent` for a changed path below the root (file or folder, present or gone) and
// `rescanNeeded` when the observer lost track (queue overflow, watch limit) and only a full scan can
// catch up. Handlers may be called from any thread and return quickly (the coordinator queues the work).
// The coordinator owns the observer and calls shutdown() before it goes away; after shutdown() returns
// the observer must not call a handler again.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace lumidex::folders {

class FolderObserver {
public:
    virtual ~FolderObserver() = default;
    virtual void shutdown() = 0;
};

struct FolderObserverHandlers {
    std::function<void(const std::string& path)> fileEvent;
    std::function<void()> rescanNeeded;
};

using FolderObserverFactory =
    std::function<std::unique_ptr<FolderObserver>(const std::string& rootFolder, FolderObserverHandlers handlers)>;

}  // namespace lumidex::folders
