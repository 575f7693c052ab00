// Runs one step of a window route on the GUI thread for the local server's handler threads, and hands
// its answer back.
//
// Steps are posted through the application's main loop and the calling thread waits for them. A step
// that the GUI thread has not taken within the start timeout is abandoned (it never runs later) and
// answered with 500 "internal"; a request made before attach() or after close(), or one still queued
// when the window closes, is answered with 409 "conflict" at once. A step taken runs to its end: steps
// must not wait for other threads. Called on the GUI thread itself, run() runs the step in place.
//
// Thread-safety: run() from any thread; attach() and close() on the GUI thread only. The object is
// shared (std::shared_ptr) by the routes and the queued steps, so it outlives whatever still refers
// to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "api/api_types.h"

namespace lumidex::ui {

class MainWindow;

class GuiCall : public std::enable_shared_from_this<GuiCall> {
public:
    using Poster = std::function<void(std::function<void()>)>;
    using Step = std::function<api::ApiResponse(MainWindow&)>;

    // `post` queues a task on the GUI thread's event loop.
    GuiCall(Poster post, std::chrono::milliseconds startTimeout);

    void attach(MainWindow& window);
    void close();
    api::ApiResponse run(Step step);

private:
    struct Pending;
    struct Ticket;

    Poster post_;
    std::chrono::milliseconds startTimeout_;
    std::mutex mutex_;
    std::condition_variable changed_;
    MainWindow* window_ = nullptr;  // set and cleared on the GUI thread, under mutex_
};

// The answer for a request while no window is open: 409 "conflict" "The window is not open".
api::ApiResponse windowNotOpen();

}  // namespace lumidex::ui
