#include "ui/folder_sidebar.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "search/coordinator_folder_index.h"
#include "service/folder_service.h"
#include "ui/duplicates_dialog.h"

namespace lumidex::ui {

QString FolderRow::statusText() const {
    if (!reachable) return QObject::tr("Folder not reachable");
    QString text = documents == 1 ? QObject::tr("1 document") : QObject::tr("%1 documents").arg(documents);
    if (waiting > 0) {
        text += QObject::tr(" · indexing %1% (%2 waiting)").arg(static_cast<int>(progress * 100)).arg(waiting);
    }
    return text;
}

FolderSidebar::FolderSidebar(service::FolderService& folders, folders::CoreManagerData& core, QWidget* parent)
    : QWidget(parent), folders_(folders), core_(core) {
    auto* heading = new QLabel(tr("Searchable folders"));
    heading->setStyleSheet(QStringLiteral("font-weight: bold"));
    list_ = new QListWidget;
    list_->setWordWrap(true);
    add_ = new QPushButton(tr("Add…"));
    remove_ = new QPushButton(tr("Remove"));
    duplicates_ = new QPushButton(tr("Duplicates…"));
    duplicates_->setToolTip(tr("Documents of the selected folder with the same text"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add_);
    buttons->addWidget(remove_);
    buttons->addWidget(duplicates_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(heading);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(add_, &QPushButton::clicked, this, [this] { chooseAndAdd(); });
    connect(remove_, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(duplicates_, &QPushButton::clicked, this, [this] {
        const QListWidgetItem* entry = list_->currentItem() != nullptr ? list_->currentItem() : list_->item(0);
        if (entry != nullptr) showDuplicates(entry->data(Qt::UserRole).toString().toStdString());
    });
    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { reload(++ticks_ % 10 == 0); });
    timer_->start();
    refresh();
}

void FolderSidebar::reload(bool checkFolders) {
    std::vector<FolderRow> rows;
    for (const service::StoredFolder& stored : folders_.storedFolders()) {
        if (stored.bookmark.folderPath.empty()) continue;
        FolderRow row;
        row.path = stored.bookmark.folderPath;
        const auto previous = std::find_if(rows_.begin(), rows_.end(),
                                           [&](const FolderRow& shown) { return shown.path == row.path; });
        const bool known = previous != rows_.end();
        std::error_code ec;
        row.reachable = (stored.bookmark.state == SecurityBookmarkStates::valid ||
                         stored.bookmark.state == SecurityBookmarkStates::stale) &&
                        (checkFolders || !known ? std::filesystem::is_directory(row.path, ec) : previous->reachable);
        if (const auto manager = core_.balancedDataManager(row.path); manager && row.reachable) {
            // The counts of a folder still starting would wait for it.
            if (manager->isInitialized()) {
                const auto progress = manager->progressItem();
                row.documents = static_cast<int64_t>(manager->itemCount());
                row.waiting = progress.notProcessedCount;
                row.progress = progress.progress;
                row.recognisedPages = progress.ocrPagesCount;
            } else if (known) {
                row.documents = previous->documents;
                row.waiting = previous->waiting;
                row.progress = previous->progress;
                row.recognisedPages = previous->recognisedPages;
            }
        }
        rows.push_back(std::move(row));
    }
    rows_ = std::move(rows);
    showRows();
    remove_->setEnabled(!rows_.empty());
    duplicates_->setEnabled(!rows_.empty());
    emit refreshed();
}

void FolderSidebar::showRows() {
    // Rows are updated in place while the folders stay the same, so the selection and scrolling stay.
    bool samePaths = list_->count() == static_cast<int>(rows_.size());
    for (int i = 0; samePaths && i < list_->count(); ++i) {
        samePaths = list_->item(i)->data(Qt::UserRole).toString().toStdString() == rows_[static_cast<size_t>(i)].path;
    }
    const QString selected = list_->currentItem() != nullptr ? list_->currentItem()->data(Qt::UserRole).toString() : QString();
    if (!samePaths) list_->clear();
    for (size_t i = 0; i < rows_.size(); ++i) {
        const FolderRow& row = rows_[i];
        const QString path = QString::fromStdString(row.path);
        const QString name = QString::fromStdString(std::filesystem::path(row.path).filename().string());
        const QString text = name + QStringLiteral("\n") + row.statusText();
        QListWidgetItem* entry = samePaths ? list_->item(static_cast<int>(i)) : new QListWidgetItem(list_);
        if (entry->text() != text) entry->setText(text);
        if (!samePaths) {
            entry->setData(Qt::UserRole, path);
            entry->setToolTip(path);
            if (path == selected) list_->setCurrentItem(entry);
        }
        const bool warned = !entry->icon().isNull();
        if (warned != !row.reachable) {
            entry->setIcon(row.reachable ? QIcon() : style()->standardIcon(QStyle::SP_MessageBoxWarning));
        }
    }
}

DuplicatesDialog* FolderSidebar::showDuplicates(const std::string& path) {
    auto manager = core_.balancedDataManager(path);
    if (!manager) return nullptr;
    auto* dialog = new DuplicatesDialog(search::makeCoordinatorFolderIndex(std::move(manager)), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    return dialog;
}

bool FolderSidebar::addFolder(const QString& path, bool quiet) {
    const folders::AddFolderResult result =
        folders_.add(path.toStdString(), folders::RootFolderTypes::searchableFolder);
    if (!result.success()) {
        if (!quiet) {
            const QString text = result.alert ? QString::fromStdString(result.alert->text)
                                              : tr("%1 cannot be added as a searchable folder.").arg(path);
            QMessageBox::warning(this, tr("Add folder"), text);
        }
        return false;
    }
    refresh();
    emit foldersChanged();
    return true;
}

void FolderSidebar::chooseAndAdd() {
    const QString path = QFileDialog::getExistingDirectory(this, tr("Choose a folder to search"));
    if (!path.isEmpty()) addFolder(path);
}

void FolderSidebar::removeSelected() {
    const QListWidgetItem* entry = list_->currentItem();
    if (entry == nullptr) return;
    const QString path = entry->data(Qt::UserRole).toString();
    const auto answer = QMessageBox::question(
        this, tr("Remove folder"),
        tr("Remove %1 from the searchable folders?\nNo files or folders will be deleted.").arg(path));
    if (answer != QMessageBox::Yes) return;
    if (folders_.remove(path.toStdString()) == service::FolderRemoval::failed) {
        QMessageBox::warning(this, tr("Remove folder"), tr("%1 could not be removed.").arg(path));
    }
    refresh();
    emit foldersChanged();
}

}  // namespace lumidex::ui
