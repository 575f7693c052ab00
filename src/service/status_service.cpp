#include "service/status_service.h"

#include <nlohmann/json.hpp>

#include "folders/coordinator/core_manager_data.h"
#include "service/app_identity.h"
#include "service/processing_service.h"

namespace lumidex::service {

StatusService::StatusService(folders::CoreManagerData& core, std::chrono::system_clock::time_point startTime)
    : core_(core), startTime_(startTime) {}

nlohmann::json StatusService::status() const {
    const auto managers = core_.balancedDataManagers();
    int64_t documents = 0;
    for (const auto& manager : managers) {
        if (manager->isInitialized()) documents += static_cast<int64_t>(manager->itemCount());
    }
    const auto queue = ProcessingService(core_).queue();
    const double uptime = std::chrono::duration<double>(std::chrono::system_clock::now() - startTime_).count();
    const AppIdentity app = appIdentity();
    return {{"version", app.version},
            {"build_number", app.buildNumber},
            {"uptime", uptime},
            {"processing",
             {{"is_active", queue.isProcessing},
              {"active_tasks", queue.activeTasks},
              {"queued_tasks", queue.queuedTasks},
              {"previews_pending", queue.previewsPending}}},
            {"storage", {{"total_folders", static_cast<int64_t>(managers.size())}, {"total_documents", documents}}}};
}

}  // namespace lumidex::service
