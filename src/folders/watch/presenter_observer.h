// Connects the inotify-backed change observer to a folder's coordinator: the factory builds one
// NanFilePresenter_v3 per searchable folder and forwards its deliveries to the coordinator's handlers.
// The observer starts watching at once; shutdown() stops deliveries before it returns.
#pragma once

#include "folders/coordinator/folder_observer.h"

namespace lumidex::folders {

FolderObserverFactory makePresenterObserverFactory();

}  // namespace lumidex::folders
