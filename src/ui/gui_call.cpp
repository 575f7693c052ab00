#include "ui/gui_call.h"

#include <QCoreApplication>
#include <QThread>

#include <exception>

namespace lumidex::ui {

struct GuiCall::Pending {
    enum class State { queued, running, done, dropped };
    State state = State::queued;
    api::ApiResponse answer;
};

// Travels with the posted task: when the loop discards the task unrun (the application is going), the
// waiting caller hears of it instead of waiting for its timeout.
struct GuiCall::Ticket {
    std::shared_ptr<GuiCall> call;
    std::shared_ptr<Pending> pending;
    Ticket(std::shared_ptr<GuiCall> c, std::shared_ptr<Pending> p) : call(std::move(c)), pending(std::move(p)) {}
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() {
        std::lock_guard lock(call->mutex_);
        if (pending->state == Pending::State::queued) pending->state = Pending::State::dropped;
        call->changed_.notify_all();
    }
};

api::ApiResponse windowNotOpen() { return api::errorResponse(409, "conflict", "The window is not open"); }

GuiCall::GuiCall(Poster post, std::chrono::milliseconds startTimeout)
    : post_(std::move(post)), startTimeout_(startTimeout) {}

void GuiCall::attach(MainWindow& window) {
    std::lock_guard lock(mutex_);
    window_ = &window;
}

void GuiCall::close() {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
    changed_.notify_all();
}

namespace {

api::ApiResponse runGuarded(const GuiCall::Step& step, MainWindow& window) {
    try {
        return step(window);
    } catch (const std::exception&) {
        return api::errorResponse(500, "internal", "Internal error");
    }
}

bool onGuiThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application != nullptr && QThread::currentThread() == application->thread();
}

}  // namespace

api::ApiResponse GuiCall::run(Step step) {
    if (onGuiThread()) {
        MainWindow* window = nullptr;
        {
            std::lock_guard lock(mutex_);
            window = window_;
        }
        return window != nullptr ? runGuarded(step, *window) : windowNotOpen();
    }
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(mutex_);
        if (window_ == nullptr) return windowNotOpen();
    }
    auto ticket = std::make_shared<Ticket>(shared_from_this(), pending);
    post_([ticket, step = std::move(step)] {
        GuiCall& call = *ticket->call;
        Pending& p = *ticket->pending;
        MainWindow* window = nullptr;
        {
            std::lock_guard lock(call.mutex_);
            if (p.state != Pending::State::queued) return;  // abandoned by its caller
            if (call.window_ == nullptr) {
                p.state = Pending::State::dropped;
                call.changed_.notify_all();
                return;
            }
            p.state = Pending::State::running;
            window = call.window_;
        }
        api::ApiResponse answer = runGuarded(step, *window);
        std::lock_guard lock(call.mutex_);
        p.answer = std::move(answer);
        p.state = Pending::State::done;
        call.changed_.notify_all();
    });
    ticket.reset();

    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, startTimeout_,
                      [&] { return pending->state != Pending::State::queued || window_ == nullptr; });
    if (pending->state == Pending::State::queued) {
        pending->state = Pending::State::dropped;
        return window_ == nullptr ? windowNotOpen()
                                  : api::errorResponse(500, "internal", "The window did not answer in time");
    }
    if (pending->state == Pending::State::dropped) return windowNotOpen();
    // Taken: the step runs on the GUI thread and does not wait for anyone, so this ends.
    changed_.wait(lock, [&] { return pending->state == Pending::State::done; });
    return std::move(pending->answer);
}

}  // namespace lumidex::ui
