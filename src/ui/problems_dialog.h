// The documents the index could not read (locked PDFs, files in error, office files that could not
// be converted), each with why, and what the user can do about one: open it, show it in the file
// manager, or process it again once fixed (a password removed, a file repaired).
//
// Not modal: searching goes on while it is open. The list is read on a background thread. GUI thread
// only; `core` and `processing` are borrowed, and the scheduler's owner waits for its background work
// before `core` goes.
#pragma once

#include <QDialog>

#include <vector>

#include "service/index_status.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace lumidex::folders {
class CoreManagerData;
}
namespace lumidex::service {
class ProcessingService;
}

namespace lumidex::ui {

class QtScheduler;

class ProblemsDialog : public QDialog {
    Q_OBJECT
public:
    ProblemsDialog(folders::CoreManagerData& core, service::ProcessingService& processing, QtScheduler& scheduler,
                   QWidget* parent = nullptr);

    // Reads the list again (in the background).
    void reload();
    bool isLoading() const { return loading_; }
    const std::vector<service::UnreadableDocument>& documents() const { return documents_; }
    QTreeWidget& list() { return *list_; }
    QLabel& status() { return *status_; }

    // The actions on the selected document; false (with the reason in the status line) when there is
    // none or the action could not be done.
    bool openSelected();
    bool revealSelected();
    bool processSelectedAgain();

private:
    const service::UnreadableDocument* selected() const;
    void showDocuments(std::vector<service::UnreadableDocument> documents);

    folders::CoreManagerData& core_;
    service::ProcessingService& processing_;
    QtScheduler& scheduler_;
    std::vector<service::UnreadableDocument> documents_;
    QTreeWidget* list_;
    QLabel* status_;
    QPushButton* open_;
    QPushButton* reveal_;
    QPushButton* again_;
    bool loading_ = false;
    bool reloadAgain_ = false;
};

}  // namespace lumidex::ui
