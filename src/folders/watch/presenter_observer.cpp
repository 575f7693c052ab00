#include "folders/watch/presenter_observer.h"

#include <utility>

#include "folders/watch/nan_file_presenter.h"

namespace lumidex::folders {
namespace {

class PresenterObserver final : public FolderObserver {
public:
    PresenterObserver(const std::string& root, FolderObserverHandlers handlers) : presenter_(root) {
        presenter_.setHandler(std::move(handlers.fileEvent));
        presenter_.setRescanHandler(std::move(handlers.rescanNeeded));
    }
    ~PresenterObserver() override { presenter_.shutdown(); }

    void shutdown() override { presenter_.shutdown(); }

private:
    NanFilePresenter_v3 presenter_;
};

}  // namespace

FolderObserverFactory makePresenterObserverFactory() {
    return [](const std::string& root, FolderObserverHandlers handlers) -> std::unique_ptr<FolderObserver> {
        return std::make_unique<PresenterObserver>(root, std::move(handlers));
    };
}

}  // namespace lumidex::folders
