// Threads for the long work of a coordinator (scans, processing runs), which must not occupy the shared
// pool's few threads for minutes. spawn() starts a thread and keeps it; finished threads are joined on
// the next spawn or by joinAll(). Thread-safe. joinAll() (and destruction) waits for every thread except
// the calling one, which is detached instead, so a thread that ends up destroying its owner cannot
// deadlock on itself.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace lumidex::folders {

class BackgroundThreads {
public:
    BackgroundThreads() = default;
    ~BackgroundThreads() { joinAll(); }
    BackgroundThreads(const BackgroundThreads&) = delete;
    BackgroundThreads& operator=(const BackgroundThreads&) = delete;

    void spawn(std::function<void()> work);
    void joinAll();

private:
    struct Worker {
        std::thread thread;
        bool finished = false;
    };
    // Shared with the threads, so that a detached thread can still mark itself finished.
    struct State {
        std::mutex mutex;
        std::list<std::shared_ptr<Worker>> workers;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace lumidex::folders
