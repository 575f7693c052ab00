#include "ui/problems_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "service/processing_service.h"
#include "ui/desktop_actions.h"
#include "ui/indexing_indicator.h"
#include "ui/qt_scheduler.h"

namespace lumidex::ui {

ProblemsDialog::ProblemsDialog(folders::CoreManagerData& core, service::ProcessingService& processing,
                               QtScheduler& scheduler, QWidget* parent)
    : QDialog(parent), core_(core), processing_(processing), scheduler_(scheduler) {
    setWindowTitle(tr("Documents That Could Not Be Read"));
    setModal(false);
    resize(760, 360);
    list_ = new QTreeWidget;
    list_->setColumnCount(3);
    list_->setHeaderLabels({tr("Document"), tr("Why"), tr("Folder")});
    list_->setRootIsDecorated(false);
    list_->setColumnWidth(0, 200);
    list_->setColumnWidth(1, 320);
    list_->header()->setStretchLastSection(true);
    status_ = new QLabel;
    status_->setWordWrap(true);
    open_ = new QPushButton(tr("Open"));
    reveal_ = new QPushButton(tr("Show in File Manager"));
    again_ = new QPushButton(tr("Process Again"));
    again_->setToolTip(tr("After removing the password or repairing the file"));
    auto* close = new QPushButton(tr("Close"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(open_);
    buttons->addWidget(reveal_);
    buttons->addWidget(again_);
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addWidget(status_);
    layout->addLayout(buttons);

    connect(open_, &QPushButton::clicked, this, [this] { openSelected(); });
    connect(reveal_, &QPushButton::clicked, this, [this] { revealSelected(); });
    connect(again_, &QPushButton::clicked, this, [this] { processSelectedAgain(); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(list_, &QTreeWidget::itemActivated, this, [this] { openSelected(); });
    connect(list_, &QTreeWidget::currentItemChanged, this, [this] {
        const bool any = selected() != nullptr;
        for (QPushButton* button : {open_, reveal_, again_}) button->setEnabled(any);
    });
    for (QPushButton* button : {open_, reveal_, again_}) button->setEnabled(false);
    reload();
}

void ProblemsDialog::reload() {
    if (loading_) {
        reloadAgain_ = true;  // what changed meanwhile may not be in the reading under way
        return;
    }
    loading_ = true;
    status_->setText(tr("Reading the index…"));
    QPointer<ProblemsDialog> self(this);
    scheduler_.postToBackground([self, &core = core_, &scheduler = scheduler_] {
        auto documents = service::unreadableDocuments(readyFolderList(core));
        scheduler.postToMain([self, documents = std::move(documents)]() mutable {
            if (self.isNull()) return;
            self->loading_ = false;
            self->showDocuments(std::move(documents));
            if (self->reloadAgain_) {
                self->reloadAgain_ = false;
                self->reload();
            }
        });
    });
}

void ProblemsDialog::showDocuments(std::vector<service::UnreadableDocument> documents) {
    documents_ = std::move(documents);
    list_->clear();
    for (size_t i = 0; i < documents_.size(); ++i) {
        const NanItem& item = documents_[i].item;
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, QString::fromStdString(item.fileName));
        row->setText(1, QString::fromStdString(documents_[i].reason));
        row->setText(2, QString::fromStdString(std::filesystem::path(item.urlString).parent_path().string()));
        row->setToolTip(0, QString::fromStdString(item.urlString));
        row->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
    }
    if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
    status_->setText(documents_.empty() ? tr("Every document could be read.")
                     : documents_.size() == 1
                         ? tr("1 document is findable by its name only.")
                         : tr("%1 documents are findable by their names only.").arg(documents_.size()));
}

const service::UnreadableDocument* ProblemsDialog::selected() const {
    const QTreeWidgetItem* row = list_->currentItem();
    if (row == nullptr) return nullptr;
    const auto index = static_cast<size_t>(row->data(0, Qt::UserRole).toULongLong());
    return index < documents_.size() ? &documents_[index] : nullptr;
}

bool ProblemsDialog::openSelected() {
    const auto* document = selected();
    if (document == nullptr) return false;
    if (openWithDefaultApplication(QString::fromStdString(document->item.urlString))) return true;
    status_->setText(tr("Could not start xdg-open"));
    return false;
}

bool ProblemsDialog::revealSelected() {
    const auto* document = selected();
    if (document == nullptr) return false;
    if (revealInFileManager(QString::fromStdString(document->item.urlString))) return true;
    status_->setText(tr("No file manager could be started"));
    return false;
}

bool ProblemsDialog::processSelectedAgain() {
    const auto* document = selected();
    if (document == nullptr) return false;
    service::Refusal refusal{};
    const QString name = QString::fromStdString(document->item.fileName);
    if (!processing_.reprocess(std::to_string(document->item.combinedHash), false, refusal)) {
        status_->setText(tr("%1: %2").arg(name, QString::fromStdString(refusal.message)));
        return false;
    }
    status_->setText(tr("%1 is queued to be processed again.").arg(name));
    delete list_->currentItem();  // the index no longer counts it as unreadable; a new failure lists it again
    return true;
}

}  // namespace lumidex::ui
