// Lumidex's main window: the searchable folders on the left, the search field with its result count
// and hints, the sort order and the filter panel above the result list, and the preview of the selected
// result (page image with the matches highlighted, transcript) on the right.
//
// The window only shows and drives: searching, filtering and ranking happen in the list view model,
// reading documents in the services. Keyboard: arrows move in the list, Enter opens the selected file,
// Ctrl+F goes to the search field, Esc clears the search, Ctrl+, opens the preferences. A folder dropped
// on the window is added. The status bar (and the tray, where there is one) shows what indexing does.
//
// GUI thread only. The services' `core`, settings store and bookmark store are borrowed and must
// outlive the window.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "folders/registry/rootfolder_manager.h"
#include "search/list_search_view_model.h"
#include "service/document_service.h"
#include "service/folder_service.h"
#include "service/processing_service.h"
#include "service/settings_service.h"
#include "ui/qt_scheduler.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QToolButton;
class QTreeView;

namespace lumidex {
class SettingsStore;
}
namespace lumidex::folders {
class CoreManagerData;
class SecurityBookmarks;
}  // namespace lumidex::folders

namespace lumidex::ui {

class FilterPanel;
class FolderSidebar;
class IndexingIndicator;
class PreferencesDialog;
class PreviewPanel;
class ProblemsDialog;
class ResultListModel;

struct WindowServices {
    folders::CoreManagerData* core = nullptr;
    SettingsStore* settings = nullptr;
    folders::SecurityBookmarks* bookmarks = nullptr;
    folders::ProtectedFolders protectedFolders;
    std::function<uint16_t()> apiPort;  // the running API server's port; none or 0: not running
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const WindowServices& services, QWidget* parent = nullptr);
    ~MainWindow() override;

    search::ListSearchViewModel& results() { return *results_; }
    QLineEdit& searchField() { return *searchField_; }
    QLabel& countLabel() { return *countLabel_; }
    QLabel& hintLabel() { return *hintLabel_; }
    QComboBox& sortBox() { return *sortBox_; }
    QToolButton& filterButton() { return *filterButton_; }
    FilterPanel& filterPanel() { return *filterPanel_; }
    QTreeView& resultView() { return *resultView_; }
    ResultListModel& resultModel() { return *resultModel_; }
    PreviewPanel& preview() { return *preview_; }
    FolderSidebar& sidebar() { return *sidebar_; }

    // The result shown in the preview.
    std::optional<NanItem> selectedItem() const { return results_->selectedItem(); }
    void clearSearch();
    void openSelected();

    // The preferences (Ctrl+,) and the list of documents that could not be read: one window each,
    // created when first asked for, shown and raised.
    PreferencesDialog& showPreferences();
    ProblemsDialog& showProblems();
    IndexingIndicator& indicator() { return *indicator_; }
    // What a later `lumidex window [FOLDER]` handed over: raises the window and adds the folders,
    // without asking anything (a refused folder is named in the status bar).
    void takeArguments(const QStringList& arguments);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void onResultsChange(search::ListSearchViewModel::Change change);
    void showSelection();
    void updateCountAndHints();
    void updateFilterButton();
    void showContextMenu(const QPoint& position);

    service::FolderService folderService_;
    service::DocumentService documentService_;
    service::ProcessingService processingService_;
    std::unique_ptr<search::ListSearchViewModel> results_;

    FolderSidebar* sidebar_;
    QLineEdit* searchField_;
    QLabel* countLabel_;
    QLabel* hintLabel_;
    QComboBox* sortBox_;
    QToolButton* filterButton_;
    FilterPanel* filterPanel_;
    QTreeView* resultView_;
    ResultListModel* resultModel_;
    PreviewPanel* preview_;
    bool syncingSelection_ = false;
    SettingsStore* settingsStore_;
    service::SettingsService settingsService_;
    folders::CoreManagerData* core_;
    IndexingIndicator* indicator_;
    QPointer<PreferencesDialog> preferences_;
    QPointer<ProblemsDialog> problems_;
};

}  // namespace lumidex::ui
