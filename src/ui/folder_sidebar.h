// The sidebar of searchable folders: each with its document count and indexing progress, a warning
// sign when the folder cannot be reached, and buttons to add (with a folder chooser) and remove one
// and to list a folder's duplicates.
//
// Reads the stored folders through the FolderService and the progress from the running coordinators
// (`core`), refreshing itself every second. A folder still starting keeps its last counts until it is
// ready, and the timer looks at the folders themselves only every tenth time, since a dead mount can
// block. GUI thread only; the service and `core` are borrowed and must outlive the sidebar.
#pragma once

#include <QWidget>

#include <string>
#include <vector>

#include "core/model/enums.h"

class QListWidget;
class QPushButton;
class QTimer;

namespace lumidex::folders {
class CoreManagerData;
}
namespace lumidex::service {
class FolderService;
}

namespace lumidex::ui {

class DuplicatesDialog;

struct FolderRow {
    std::string path;
    bool reachable = true;
    int64_t documents = 0;
    int64_t waiting = 0;  // documents whose processing has not ended yet
    int64_t recognisedPages = 0;
    double progress = 1.0;
    QString statusText() const;
};

class FolderSidebar : public QWidget {
    Q_OBJECT
public:
    FolderSidebar(service::FolderService& folders, folders::CoreManagerData& core, QWidget* parent = nullptr);

    // Reads everything again, including whether each folder can be reached.
    void refresh() { reload(true); }
    const std::vector<FolderRow>& rows() const { return rows_; }
    QListWidget& list() { return *list_; }

    // Opens the duplicates of a running folder in a window of its own (deleted when closed); null when
    // the folder is not running.
    DuplicatesDialog* showDuplicates(const std::string& path);

    // Adds the folder (asks nothing); an error is shown in a message box unless `quiet`.
    bool addFolder(const QString& path, bool quiet = false);

signals:
    void foldersChanged();
    void refreshed();

private:
    void reload(bool checkFolders);
    void showRows();
    void chooseAndAdd();
    void removeSelected();

    service::FolderService& folders_;
    folders::CoreManagerData& core_;
    std::vector<FolderRow> rows_;
    QListWidget* list_;
    QPushButton* add_;
    QPushButton* remove_;
    QPushButton* duplicates_;
    QTimer* timer_;
    int ticks_ = 0;
};

}  // namespace lumidex::ui
