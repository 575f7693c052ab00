// The routes through which an outside client (an assistant over MCP, a test driver) reads and drives
// the window: the list and its selection, focus, the search field, the preview's matches, zoom, page
// and transcript, the sort order and filters, opening a document outside, a screenshot, the open
// popups and alerts, and layout diagnostics.
//
// They are added to the router before the server starts, while the window may not exist yet; until
// attach() and after close() they answer 409 "conflict". Each handler does its whole reading and
// changing in one step on the GUI thread (GuiCall), so its answer shows the window after its own
// change; only slow reads that need no widget (whether listed files exist) happen on the handler's
// thread. Work the window finishes in the background is awaited on the handler's thread, in short
// GUI steps: selecting a row answers once the preview shows the document, a search once it has ended
// (or, after searchTimeout, with its count so far).
//
// Thread-safety: the routes run on the server's handler threads; attach() and close() on the GUI
// thread. `core` is borrowed and must outlive the router.
#pragma once

#include <chrono>
#include <memory>

#include "api/api_router.h"
#include "ui/gui_call.h"

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::ui {

class MainWindow;

class WindowRoutes {
public:
    struct Options {
        std::chrono::milliseconds guiTimeout{10'000};  // longest wait for the GUI thread to take a step
        // Longest wait for a started search to end (then answered with its count so far) or for the
        // preview to show a newly selected document.
        std::chrono::milliseconds searchTimeout{10'000};
    };

    WindowRoutes(GuiCall::Poster post, folders::CoreManagerData& core, Options options);
    WindowRoutes(GuiCall::Poster post, folders::CoreManagerData& core) : WindowRoutes(std::move(post), core, Options{}) {}
    ~WindowRoutes();
    WindowRoutes(const WindowRoutes&) = delete;
    WindowRoutes& operator=(const WindowRoutes&) = delete;

    // Adds the window's routes (alerts, debug, ui) to the router.
    void registerOn(api::ApiRouter& router);

    void attach(MainWindow& window) { call_->attach(window); }
    void close() { call_->close(); }

    struct State;  // what the handlers share beyond the window (watcher, document lookups)

private:
    std::shared_ptr<GuiCall> call_;
    std::shared_ptr<State> state_;
};

}  // namespace lumidex::ui
