// The duplicates of one searchable folder: documents whose extracted text is the same, group by
// group, growing while the scan runs. Drives a DuplicatesScanViewModel and only shows its rows.
//
// GUI thread only. The scan starts when the dialog is constructed and stops when it is destroyed.
#pragma once

#include <QDialog>

#include <memory>

#include "search/duplicates_scan_view_model.h"

class QLabel;
class QTreeWidget;

namespace lumidex::ui {

class DuplicatesDialog : public QDialog {
    Q_OBJECT
public:
    DuplicatesDialog(std::shared_ptr<search::SearchableFolderIndex> folder, QWidget* parent = nullptr);

    const search::DuplicatesScanViewModel& scan() const { return *scan_; }
    QTreeWidget& groups() { return *groups_; }
    QLabel& status() { return *status_; }

private:
    void refresh();

    std::unique_ptr<search::DuplicatesScanViewModel> scan_;
    QTreeWidget* groups_;
    QLabel* status_;
};

}  // namespace lumidex::ui
