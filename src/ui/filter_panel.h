// The filter panel: file types, tags, size, modification date, pages, folders and minimum matches. It
// edits the filter view model's state and shows the choices its metadata offers (the folders and tags
// of the current results); it keeps no filter state of its own.
//
// GUI thread only; the view model is borrowed and must outlive the panel.
#pragma once

#include <QWidget>

#include <map>

#include "search/file_type_category.h"

class QCheckBox;
class QDateEdit;
class QListWidget;
class QSpinBox;

namespace lumidex::search {
class SearchFilterViewModel;
}

namespace lumidex::ui {

class FilterPanel : public QWidget {
    Q_OBJECT
public:
    explicit FilterPanel(search::SearchFilterViewModel& filters, QWidget* parent = nullptr);

    // Shows the view model's state and metadata again (after it reported a change). A change the panel
    // itself made is shown from the event loop: it may come from inside a list's own signal, whose item
    // the refresh would delete.
    void refresh();

    QCheckBox* fileTypeBox(search::FileTypeCategory category) { return typeBoxes_.at(category); }
    QSpinBox& minimumMatches() { return *minimumMatches_; }
    QListWidget& folderList() { return *folders_; }

private:
    void commit();
    void refreshLater();

    search::SearchFilterViewModel& filters_;
    bool syncing_ = false;
    bool committing_ = false;
    bool refreshQueued_ = false;
    std::map<search::FileTypeCategory, QCheckBox*> typeBoxes_;
    QListWidget* tags_;
    QSpinBox* sizeMinKb_;
    QSpinBox* sizeMaxKb_;
    QCheckBox* dateFromOn_;
    QDateEdit* dateFrom_;
    QCheckBox* dateToOn_;
    QDateEdit* dateTo_;
    QSpinBox* pagesMin_;
    QSpinBox* pagesMax_;
    QListWidget* folders_;
    QSpinBox* minimumMatches_;
};

}  // namespace lumidex::ui
