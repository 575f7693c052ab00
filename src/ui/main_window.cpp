#include "ui/main_window.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/settings/settings.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/scanning/excluded_extensions.h"
#include "search/coordinator_folder_index.h"
#include "search/display_snippet.h"
#include "search/search_engine.h"
#include "ui/desktop_actions.h"
#include "ui/filter_panel.h"
#include "ui/folder_sidebar.h"
#include "ui/indexing_indicator.h"
#include "ui/preferences_dialog.h"
#include "ui/preview_panel.h"
#include "ui/problems_dialog.h"
#include "ui/result_list_model.h"

namespace lumidex::ui {
namespace {

struct SortChoice {
    SortOrders order;
    const char* title;
};
constexpr SortChoice kSortChoices[] = {
    {SortOrders::new2Old, "Newest first"}, {SortOrders::old2New, "Oldest first"},
    {SortOrders::relevance, "Most matches"}, {SortOrders::a2z, "Name A–Z"},
    {SortOrders::z2a, "Name Z–A"},
};

}  // namespace

MainWindow::MainWindow(const WindowServices& services, QWidget* parent)
    : QMainWindow(parent),
      folderService_(*services.bookmarks, services.protectedFolders, services.core),
      documentService_(*services.core),
      processingService_(*services.core),
      results_(std::make_unique<search::ListSearchViewModel>(
          std::make_shared<search::SearchEngine>(search::coordinatorFolderList(*services.core)),
          Settings(*services.settings), QtScheduler::shared())),
      settingsStore_(services.settings),
      settingsService_(*services.settings,
                       {folders::excludedFileExtensionsPath(services.core->dataDirectory()), services.apiPort}),
      core_(services.core) {
    setWindowTitle(QStringLiteral("Lumidex"));
    setAcceptDrops(true);
    resize(1280, 800);

    sidebar_ = new FolderSidebar(folderService_, *services.core);

    searchField_ = new QLineEdit;
    searchField_->setPlaceholderText(tr("Search your documents"));
    searchField_->setClearButtonEnabled(true);
    sortBox_ = new QComboBox;
    for (const SortChoice& choice : kSortChoices) {
        sortBox_->addItem(tr(choice.title), static_cast<int>(choice.order));
    }
    sortBox_->setCurrentIndex(sortBox_->findData(static_cast<int>(results_->parameters().sortOrder)));
    filterButton_ = new QToolButton;
    filterButton_->setCheckable(true);
    countLabel_ = new QLabel;
    hintLabel_ = new QLabel;
    hintLabel_->setStyleSheet(QStringLiteral("color: #a05a00"));
    hintLabel_->setWordWrap(true);

    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(searchField_, 1);
    searchRow->addWidget(sortBox_);
    searchRow->addWidget(filterButton_);
    auto* infoRow = new QHBoxLayout;
    infoRow->addWidget(countLabel_);
    infoRow->addWidget(hintLabel_, 1);

    resultModel_ = new ResultListModel(*results_, this);
    resultView_ = new QTreeView;
    resultView_->setModel(resultModel_);
    resultView_->setRootIsDecorated(false);
    resultView_->setUniformRowHeights(true);  // rows are measured once, not each row's data
    resultView_->setAlternatingRowColors(true);
    resultView_->setSelectionMode(QAbstractItemView::SingleSelection);
    resultView_->setItemDelegateForColumn(ResultListModel::snippet, new SnippetDelegate(resultView_));
    resultView_->setContextMenuPolicy(Qt::CustomContextMenu);
    resultView_->header()->setStretchLastSection(true);
    resultView_->setColumnWidth(ResultListModel::name, 150);
    resultView_->setColumnWidth(ResultListModel::snippet, 280);
    resultView_->setColumnWidth(ResultListModel::matches, 58);
    resultView_->setColumnWidth(ResultListModel::pages, 45);
    resultView_->setColumnWidth(ResultListModel::modified, 115);

    filterPanel_ = new FilterPanel(results_->filterViewModel());
    filterPanel_->setVisible(false);
    auto* listSplit = new QSplitter(Qt::Horizontal);
    listSplit->addWidget(resultView_);
    listSplit->addWidget(filterPanel_);
    listSplit->setStretchFactor(0, 1);

    auto* center = new QWidget;
    auto* centerLayout = new QVBoxLayout(center);
    centerLayout->setContentsMargins(0, 0, 0, 0);
    centerLayout->addLayout(searchRow);
    centerLayout->addLayout(infoRow);
    centerLayout->addWidget(listSplit, 1);

    preview_ = new PreviewPanel(documentService_, QtScheduler::shared());

    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(sidebar_);
    split->addWidget(center);
    split->addWidget(preview_);
    split->setStretchFactor(1, 3);
    split->setStretchFactor(2, 2);
    split->setSizes({200, 680, 400});
    setCentralWidget(split);
    statusBar();

    connect(searchField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { results_->searchTextTyped(text.toStdString()); });
    connect(searchField_, &QLineEdit::returnPressed, this,
            [this] { results_->submitSearchText(searchField_->text().toStdString()); });
    connect(sortBox_, &QComboBox::activated, this, [this](int index) {
        results_->setSortOrder(static_cast<SortOrders>(sortBox_->itemData(index).toInt()));
    });
    connect(filterButton_, &QToolButton::toggled, filterPanel_, &QWidget::setVisible);
    connect(resultView_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (syncingSelection_) return;
                const NanItem* item = resultModel_->itemAt(current.row());
                results_->select(item != nullptr ? std::optional<NanItem>(*item) : std::nullopt);
            });
    connect(resultView_, &QTreeView::activated, this, [this] { openSelected(); });
    connect(resultView_, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    connect(sidebar_, &FolderSidebar::foldersChanged, this, [this] {
        results_->searchAgain();
    });

    indicator_ = new IndexingIndicator(*services.core, QtScheduler::shared(), *this);
    connect(indicator_, &IndexingIndicator::problemsRequested, this, [this] { showProblems(); });
    QMenu* appMenu = menuBar()->addMenu(tr("&Lumidex"));
    appMenu->addAction(tr("Preferences…"), QKeySequence(Qt::CTRL | Qt::Key_Comma), this, [this] { showPreferences(); });
    appMenu->addAction(tr("Documents That Could Not Be Read…"), this, [this] { showProblems(); });
    appMenu->addSeparator();
    appMenu->addAction(tr("Quit"), QKeySequence::Quit, this, &QWidget::close);

    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        searchField_->setFocus();
        searchField_->selectAll();
    });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &MainWindow::clearSearch);

    results_->setOnChange([this](search::ListSearchViewModel::Change change) { onResultsChange(change); });
    updateCountAndHints();
    updateFilterButton();
    sidebar_->refresh();
    searchField_->setFocus();
}

MainWindow::~MainWindow() {
    // The widgets read the view model and the services, which go before Qt deletes its children.
    results_->setOnChange({});
    delete takeCentralWidget();
    delete resultModel_;
}

void MainWindow::onResultsChange(search::ListSearchViewModel::Change change) {
    using Change = search::ListSearchViewModel::Change;
    switch (change) {
        case Change::results:
            syncingSelection_ = true;
            resultModel_->refresh();
            syncingSelection_ = false;
            updateCountAndHints();
            showSelection();
            break;
        case Change::selection: showSelection(); break;
        case Change::snippets: resultModel_->snippetsArrived(); break;
        case Change::parameters:
        case Change::busy: updateCountAndHints(); break;
        case Change::filters:
            filterPanel_->refresh();
            updateFilterButton();
            break;
    }
}

void MainWindow::showSelection() {
    const std::optional<NanItem>& selected = results_->selectedItem();
    syncingSelection_ = true;
    const std::optional<int> row = selected ? resultModel_->rowOf(*selected) : std::nullopt;
    if (row) {
        const QModelIndex index = resultModel_->index(*row, 0);
        resultView_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                                  QItemSelectionModel::Rows);
        resultView_->scrollTo(index);
    } else {
        resultView_->selectionModel()->clear();
    }
    syncingSelection_ = false;
    const std::optional<NanItem>& shown = preview_->document();
    const auto hashOf = [](const std::optional<NanItem>& item) { return item ? std::optional(item->combinedHash) : std::nullopt; };
    // A refined search may keep the selection; its words still change what is marked.
    std::vector<std::string> words = search::displayQueryWords(results_->parameters());
    if (hashOf(shown) != hashOf(selected) || words != preview_->queryWords()) {
        preview_->showDocument(selected, std::move(words));
    }
}

void MainWindow::updateCountAndHints() {
    const bool searched = results_->searchParametersOld().has_value() || !results_->allItems().empty();
    countLabel_->setText(results_->isBusy() ? tr("Searching…")
                         : searched         ? QString::fromStdString(results_->resultCountText())
                                            : QString());
    QStringList hints;
    for (const std::string& hint : results_->hints()) hints << QString::fromStdString(hint);
    hintLabel_->setText(hints.join(QStringLiteral("  ")));
}

void MainWindow::updateFilterButton() {
    const int active = results_->filterViewModel().activeFilterCount();
    filterButton_->setText(active > 0 ? tr("Filters (%1)").arg(active) : tr("Filters"));
}

void MainWindow::clearSearch() {
    searchField_->clear();
    results_->cancelSearch();
    results_->submitSearchText({});
    searchField_->setFocus();
}

void MainWindow::openSelected() {
    if (const auto item = results_->selectedItem()) {
        if (!openWithDefaultApplication(QString::fromStdString(item->urlString))) {
            statusBar()->showMessage(tr("Could not start xdg-open"), 5000);
        }
    }
}

PreferencesDialog& MainWindow::showPreferences() {
    settingsStore_->reloadIfChanged();  // `lumidex settings set` may have changed something meanwhile
    if (preferences_.isNull()) {
        preferences_ = new PreferencesDialog(settingsService_, this);
    } else if (!preferences_->isVisible()) {
        preferences_->load();
    }
    preferences_->show();
    preferences_->raise();
    preferences_->activateWindow();
    return *preferences_;
}

ProblemsDialog& MainWindow::showProblems() {
    if (problems_.isNull()) {
        problems_ = new ProblemsDialog(*core_, processingService_, QtScheduler::shared(), this);
    } else {
        problems_->reload();
    }
    problems_->show();
    problems_->raise();
    return *problems_;
}

void MainWindow::takeArguments(const QStringList& arguments) {
    showNormal();
    raise();
    activateWindow();
    for (const QString& path : arguments) {
        if (!sidebar_->addFolder(path, true)) statusBar()->showMessage(tr("%1 could not be added").arg(path), 10000);
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Up and Down from the search field move in the list, so a result can be chosen without the mouse.
    if ((event->key() == Qt::Key_Down || event->key() == Qt::Key_Up) && resultModel_->rowCount() > 0) {
        const int current = resultView_->currentIndex().isValid() ? resultView_->currentIndex().row() : -1;
        const int step = event->key() == Qt::Key_Down ? 1 : -1;
        const int row = std::clamp(current + step, 0, resultModel_->rowCount() - 1);
        resultView_->setCurrentIndex(resultModel_->index(row, 0));
        resultView_->setFocus();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    for (const QUrl& url : event->mimeData()->urls()) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && QFileInfo(path).isDir()) sidebar_->addFolder(path);
    }
}

void MainWindow::showContextMenu(const QPoint& position) {
    const NanItem* item = resultModel_->itemAt(resultView_->indexAt(position).row());
    if (item == nullptr) return;
    const QString path = QString::fromStdString(item->urlString);
    const uint32_t id = item->combinedHash;
    QMenu menu(this);
    menu.addAction(tr("Open"), this, [path] { openWithDefaultApplication(path); });
    menu.addAction(tr("Show in File Manager"), this, [path] { revealInFileManager(path); });
    menu.addAction(tr("Copy Path"), this, [path] { copyPathToClipboard(path); });
    menu.addSeparator();
    menu.addAction(tr("Process Again"), this, [this, id] {
        service::Refusal refusal;
        const auto answer = processingService_.reprocess(std::to_string(id), false, refusal);
        statusBar()->showMessage(answer ? tr("Queued to be processed again") : QString::fromStdString(refusal.message),
                                 5000);
    });
    menu.addAction(tr("Remove from Index"), this, [this, id, path] {
        const auto found = documentService_.find(id);
        if (!found || !documentService_.remove(*found)) {
            QMessageBox::warning(this, tr("Remove from Index"), tr("%1 could not be removed from the index.").arg(path));
            return;
        }
        results_->searchAgain();
    });
    menu.exec(resultView_->viewport()->mapToGlobal(position));
}

}  // namespace lumidex::ui
