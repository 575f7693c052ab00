// The application's short status for the outside ways in: version, uptime, processing activity and
// how much the index holds. Borrows the CoreManagerData; thread-safe; never waits for a folder that is
// still starting up (its documents are not counted yet).
#pragma once

#include <chrono>

#include <nlohmann/json_fwd.hpp>

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::service {

class StatusService {
public:
    StatusService(folders::CoreManagerData& core, std::chrono::system_clock::time_point startTime);

    // {"version", "build_number", "uptime", "processing": {"is_active", "active_tasks", "queued_tasks",
    // "previews_pending" (documents whose later page previews are still to be drawn)},
    // "storage": {"total_folders", "total_documents"}}
    nlohmann::json status() const;

private:
    folders::CoreManagerData& core_;
    std::chrono::system_clock::time_point startTime_;
};

}  // namespace lumidex::service
