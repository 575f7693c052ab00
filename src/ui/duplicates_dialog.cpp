#include "ui/duplicates_dialog.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <filesystem>

#include "ui/desktop_actions.h"
#include "ui/qt_scheduler.h"

namespace lumidex::ui {

DuplicatesDialog::DuplicatesDialog(std::shared_ptr<search::SearchableFolderIndex> folder, QWidget* parent)
    : QDialog(parent),
      scan_(std::make_unique<search::DuplicatesScanViewModel>(std::move(folder), QtScheduler::shared())) {
    setWindowTitle(tr("Duplicates in %1")
                       .arg(QString::fromStdString(std::filesystem::path(scan_->rootFolderUrl()).filename().string())));
    resize(720, 480);
    status_ = new QLabel;
    groups_ = new QTreeWidget;
    groups_->setHeaderLabels({tr("Document"), tr("Modified")});
    groups_->header()->setStretchLastSection(false);
    groups_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status_);
    layout->addWidget(groups_, 1);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(groups_, &QTreeWidget::itemActivated, this, [](QTreeWidgetItem* entry) {
        const QString path = entry->data(0, Qt::UserRole).toString();
        if (!path.isEmpty()) openWithDefaultApplication(path);
    });
    scan_->setOnChange([this] { refresh(); });
    scan_->start();
    refresh();
}

void DuplicatesDialog::refresh() {
    groups_->clear();
    QTreeWidgetItem* group = nullptr;
    int groupCount = 0;
    for (const search::DuplicateItemViewModel& row : scan_->items()) {
        switch (row.type) {
            case search::DuplicateItemViewModelTypes::header:
                group = new QTreeWidgetItem(groups_, {tr("Same text (%1)").arg(row.groupId)});
                group->setExpanded(true);
                ++groupCount;
                break;
            case search::DuplicateItemViewModelTypes::duplicate:
                if (group != nullptr && row.nanItem) {
                    const auto ms = static_cast<qint64>(secondsSince1970(row.modificationDate) * 1000.0);
                    auto* entry = new QTreeWidgetItem(
                        group, {QString::fromStdString(row.nanItem->urlString),
                                QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm"))});
                    entry->setData(0, Qt::UserRole, QString::fromStdString(row.nanItem->urlString));
                }
                break;
            case search::DuplicateItemViewModelTypes::seperator: group = nullptr; break;
        }
    }
    groups_->expandAll();
    scan_->clearUpdatedAvailable();
    if (scan_->busy()) {
        status_->setText(QString::fromStdString(scan_->busyTitle()));
    } else if (scan_->noDuplicatesFound()) {
        status_->setText(QString::fromStdString(scan_->statusText()));
    } else {
        status_->setText(groupCount == 1 ? tr("1 group of documents with the same text")
                                         : tr("%1 groups of documents with the same text").arg(groupCount));
    }
}

}  // namespace lumidex::ui
