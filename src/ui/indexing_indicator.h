// What indexing is doing, shown while the user searches: a line in the window's status bar (files
// found, processed, pages recognised, waiting, and the passes of `lumidex status`) with a button
// naming the documents that could not be read, and, where the desktop has a tray, a tray icon with
// the same line as its tooltip and a menu to show the window or quit.
//
// The figures come from the status services (index status, processing progress), read on a background
// thread so that searching never waits for them: every two seconds while a folder processes or starts
// (and once after), on refresh(), and otherwise once a minute, as reading them visits every item of
// every folder on the pool the searches use. Folders still starting are left out until they are ready. GUI thread only. `core` is borrowed; the scheduler's owner waits for
// its background work before `core` goes (QtScheduler::waitForBackground).
#pragma once

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "search/searchable_folder.h"

class QLabel;
class QMainWindow;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::ui {

class QtScheduler;

struct IndexingFigures {
    int64_t documents = 0;   // files found
    int64_t searchable = 0;  // processed: their text is stored
    int64_t waiting = 0;     // not read yet, office files included
    int64_t unreadable = 0;  // errors and locked PDFs
    int64_t recognisedPages = 0;
    bool processing = false;
    QString passes;  // "searchable: 3 of 4; previews: 2 of 2", folder by folder
};

// The running folders that have finished starting: reading them never waits.
search::FolderListFunction readyFolderList(folders::CoreManagerData& core);

// "Indexing: 4 files found, 3 processed, 2 pages recognised, 1 waiting · searchable: 3 of 4; ..." while
// anything is waiting or running, else "4 documents indexed · ...".
QString progressLine(const IndexingFigures& figures);

class IndexingIndicator : public QObject {
    Q_OBJECT
public:
    // Puts its label and button into the window's status bar, and a tray icon up when the platform has
    // a tray.
    IndexingIndicator(folders::CoreManagerData& core, QtScheduler& scheduler, QMainWindow& window);
    ~IndexingIndicator() override;

    // Starts a new reading of the figures; one under way is followed by another.
    void refresh();
    bool isReading() const { return reading_; }
    const IndexingFigures& figures() const { return figures_; }
    QLabel& label() { return *label_; }
    QToolButton& problemsButton() { return *problems_; }
    QSystemTrayIcon* trayIcon() { return tray_; }  // null without a tray

signals:
    void problemsRequested();
    void updated();

private:
    void show(const IndexingFigures& figures);
    void tick();

    folders::CoreManagerData& core_;
    QtScheduler& scheduler_;
    IndexingFigures figures_;
    QLabel* label_;
    QToolButton* problems_;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* timer_;
    bool reading_ = false;
    bool readAgain_ = false;  // refresh() came while reading
    bool wasBusy_ = true;     // a folder processed or started at the last tick
    int idleTicks_ = 0;
    std::size_t folderCount_ = 0;
};

}  // namespace lumidex::ui
