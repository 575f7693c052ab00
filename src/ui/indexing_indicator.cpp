#include "ui/indexing_indicator.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include <nlohmann/json.hpp>

#include "core/grouped_number.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "search/coordinator_folder_index.h"
#include "service/index_status.h"
#include "service/processing_service.h"
#include "ui/qt_scheduler.h"

namespace lumidex::ui {
namespace {

QString grouped(int64_t number) { return QString::fromStdString(groupedNumber(number)); }

IndexingFigures readFigures(folders::CoreManagerData& core) {
    IndexingFigures figures;
    service::FolderIndexStatus total;
    for (const service::FolderIndexStatus& folder :
         service::indexStatus(readyFolderList(core), [&core](const std::string& root) {
             const auto manager = core.balancedDataManager(root);
             return manager ? manager->folderDataDirectory() : std::filesystem::path();
         })) {
        total.documents += folder.documents;
        total.searchable += folder.searchable;
        total.waiting += folder.waiting;
        total.waitingForOfficeText += folder.waitingForOfficeText;
        total.errors += folder.errors;
        total.locked += folder.locked;
        total.previewPages += folder.previewPages;
        total.previewsOwed += folder.previewsOwed;
        total.officeDocuments += folder.officeDocuments;
        total.conversionsPending += folder.conversionsPending;
    }
    figures.documents = total.documents;
    figures.searchable = total.searchable;
    figures.waiting = total.waiting + total.waitingForOfficeText;
    figures.unreadable = total.errors + total.locked;
    figures.passes = QString::fromStdString(service::describePasses(total));

    const nlohmann::json progress = service::ProcessingService(core).progress();
    for (const auto& folder : progress["folders"]) figures.recognisedPages += folder.value("ocr_pages", int64_t{0});
    figures.processing = progress.value("is_processing", false);
    return figures;
}

}  // namespace

search::FolderListFunction readyFolderList(folders::CoreManagerData& core) {
    return [&core] {
        std::vector<std::shared_ptr<search::SearchableFolderIndex>> folders;
        for (auto& manager : core.balancedDataManagers()) {
            if (manager->isInitialized()) folders.push_back(search::makeCoordinatorFolderIndex(manager));
        }
        return folders;
    };
}

QString progressLine(const IndexingFigures& figures) {
    const QString passes = figures.documents > 0 ? QStringLiteral(" · ") + figures.passes : QString();
    if (figures.waiting == 0 && !figures.processing) {
        return (figures.documents == 1 ? QObject::tr("1 document indexed")
                                       : QObject::tr("%1 documents indexed").arg(grouped(figures.documents))) +
               passes;
    }
    return QObject::tr("Indexing: %1 files found, %2 processed, %3 pages recognised, %4 waiting")
               .arg(grouped(figures.documents), grouped(figures.searchable), grouped(figures.recognisedPages),
                    grouped(figures.waiting)) +
           passes;
}

IndexingIndicator::IndexingIndicator(folders::CoreManagerData& core, QtScheduler& scheduler, QMainWindow& window)
    : QObject(&window), core_(core), scheduler_(scheduler) {
    label_ = new QLabel;
    problems_ = new QToolButton;
    problems_->setAutoRaise(true);
    problems_->setIcon(window.style()->standardIcon(QStyle::SP_MessageBoxWarning));
    problems_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    problems_->setToolTip(tr("Documents that could not be read: open, show or process them again"));
    problems_->hide();
    window.statusBar()->addPermanentWidget(label_);
    window.statusBar()->addPermanentWidget(problems_);
    connect(problems_, &QToolButton::clicked, this, &IndexingIndicator::problemsRequested);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(window.windowIcon().isNull() ? window.style()->standardIcon(QStyle::SP_DriveHDIcon)
                                                                 : window.windowIcon(),
                                    this);
        auto* menu = new QMenu(&window);
        menu->addAction(tr("Show Window"), &window, [&window] {
            window.showNormal();
            window.raise();
            window.activateWindow();
        });
        menu->addAction(tr("Documents That Could Not Be Read…"), this, &IndexingIndicator::problemsRequested);
        menu->addSeparator();
        menu->addAction(tr("Quit"), qApp, &QApplication::quit);
        tray_->setContextMenu(menu);
        connect(tray_, &QSystemTrayIcon::activated, &window, [&window](QSystemTrayIcon::ActivationReason reason) {
            if (reason != QSystemTrayIcon::Trigger) return;
            window.showNormal();
            window.raise();
            window.activateWindow();
        });
        tray_->show();
    }

    timer_ = new QTimer(this);
    timer_->setInterval(2000);
    connect(timer_, &QTimer::timeout, this, &IndexingIndicator::tick);
    timer_->start();
    refresh();
}

IndexingIndicator::~IndexingIndicator() {
    if (tray_ != nullptr) tray_->hide();
}

void IndexingIndicator::tick() {
    constexpr int kIdleTicks = 30;  // a minute between readings while nothing happens
    bool busy = false;
    const auto managers = core_.balancedDataManagers();
    for (const auto& manager : managers) busy = busy || manager->isProcessing() || !manager->isInitialized();
    const bool foldersChanged = managers.size() != folderCount_;
    folderCount_ = managers.size();
    // The reading after the processing stopped shows its final figures.
    if (busy || wasBusy_ || foldersChanged || ++idleTicks_ >= kIdleTicks) {
        idleTicks_ = 0;
        refresh();
    }
    wasBusy_ = busy;
}

void IndexingIndicator::refresh() {
    if (reading_) {
        readAgain_ = true;  // what the running reading saw may already be old
        return;
    }
    reading_ = true;
    readAgain_ = false;
    QPointer<IndexingIndicator> self(this);
    scheduler_.postToBackground([self, &core = core_, &scheduler = scheduler_] {
        IndexingFigures figures = readFigures(core);
        scheduler.postToMain([self, figures = std::move(figures)] {
            if (self.isNull()) return;
            self->reading_ = false;
            self->show(figures);
            if (self->readAgain_) self->refresh();
        });
    });
}

void IndexingIndicator::show(const IndexingFigures& figures) {
    figures_ = figures;
    const QString line = progressLine(figures);
    label_->setText(line);
    problems_->setText(figures.unreadable == 1 ? tr("1 document could not be read")
                                                : tr("%1 documents could not be read").arg(grouped(figures.unreadable)));
    problems_->setVisible(figures.unreadable > 0);
    if (tray_ != nullptr) tray_->setToolTip(QStringLiteral("Lumidex\n") + line);
    emit updated();
}

}  // namespace lumidex::ui
