#include "folders/coordinator/background_threads.h"

#include <exception>
#include <string>

#include "core/app_log.h"

namespace lumidex::folders {

void BackgroundThreads::spawn(std::function<void()> work) {
    std::list<std::shared_ptr<Worker>> reaped;
    {
        std::lock_guard lock(state_->mutex);
        auto& workers = state_->workers;
        for (auto it = workers.begin(); it != workers.end();) {
            if ((*it)->finished) {
                reaped.push_back(std::move(*it));
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
        auto worker = std::make_shared<Worker>();
        worker->thread = std::thread([state = state_, worker = std::weak_ptr<Worker>(worker), work = std::move(work)] {
            try {
                work();
            } catch (const std::exception& e) {
                appLog(std::string("[BackgroundThreads] work failed: ") + e.what());
            } catch (...) {
                appLog("[BackgroundThreads] work failed with a non-standard exception");
            }
            std::lock_guard inner(state->mutex);
            if (auto self = worker.lock()) self->finished = true;
        });
        workers.push_back(std::move(worker));
    }
    for (auto& worker : reaped) {
        if (worker->thread.joinable()) worker->thread.join();
    }
}

void BackgroundThreads::joinAll() {
    for (;;) {
        std::list<std::shared_ptr<Worker>> all;
        {
            std::lock_guard lock(state_->mutex);
            all.swap(state_->workers);
        }
        if (all.empty()) return;
        for (auto& worker : all) {
            if (!worker->thread.joinable()) continue;
            if (worker->thread.get_id() == std::this_thread::get_id()) {
                worker->thread.detach();
            } else {
                worker->thread.join();
            }
        }
    }
}

}  // namespace lumidex::folders
