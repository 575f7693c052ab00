// The seam between a folder's coordinator and the content-processing pipeline.
//
// The coordinator hands a runner the items that need content extraction. It never runs two runs of one
// folder at once: items that arrive while a run is active are queued, and one follow-up run takes them
// after it ends. run() is called on a thread of the coordinator's own (not a pool thread) and may take as
// long as the work does; it must test `settings.cancellationToken` before each item and each page and
// return soon after it is set. Results go back through BalancedDataManager::saveItem(s), recognised
// pages through throttledProgressUpdater().addOcrPages(). An exception escaping run() is logged and
// ends the run.
#pragma once

#include <string>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/model/nan_item.h"

namespace lumidex::folders {

class BalancedDataManager;

// Scheduling weight of a run, with the values the platform's task priorities use.
enum class RunPriority : int { background = 9, low = 17, medium = 21 };

struct ProcessingRunSettings {
    std::string rootFolderUrl;
    CancellationToken cancellationToken;  // the folder's token, shared with the coordinator
    std::string activeProcessId;          // names this folder's runs in logs
    bool useCloudService = false;         // settings as they were when the run was built
    bool lowResImages = false;
    bool slowHardDrive = false;
    RunPriority priority = RunPriority::medium;
};

class ProcessingRunner {
public:
    virtual ~ProcessingRunner() = default;
    virtual void run(BalancedDataManager& manager, std::vector<NanItem> items, const ProcessingRunSettings& settings) = 0;
    // Work an earlier run or process left owed in the folder (deferred passes). A scan that hands
    // over nothing asks owesWork() on the coordinator's thread (it must be quick), and when it says
    // yes and no run is active, calls resumeOwedWork() in place of a run, under run()'s rules.
    virtual bool owesWork(const BalancedDataManager& /*manager*/) const { return false; }
    virtual void resumeOwedWork(BalancedDataManager& /*manager*/, const ProcessingRunSettings& /*settings*/) {}
};

}  // namespace lumidex::folders
