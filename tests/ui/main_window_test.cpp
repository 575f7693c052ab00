#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QToolButton>
#include <QTreeView>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/concurrency/thread_pool.h"
#include "ui/duplicates_dialog.h"
#include "ui/filter_panel.h"
#include "ui/folder_sidebar.h"
#include "ui/page_view.h"
#include "ui/preview_panel.h"
#include "ui/qt_scheduler.h"
#include "ui/result_list_model.h"
#include "window_fixture.h"

namespace lumidex::ui::testing {
namespace {

using Names = std::vector<std::string>;

class MainWindowTest : public WindowFixture {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(openWindow()); }

    void selectRow(const std::string& name) {
        const Names names = listedNames();
        const auto found = std::find(names.begin(), names.end(), name);
        ASSERT_NE(found, names.end()) << name;
        window->resultView().setCurrentIndex(window->resultModel().index(static_cast<int>(found - names.begin()), 0));
        // The preview reads the document in the background.
        ASSERT_TRUE(waitFor([&] { return !window->preview().isLoadingDocument(); }));
    }
};

TEST_F(MainWindowTest, TypingSearchesAfterThePauseAndShowsCountAndMarkedSnippets) {
    QElapsedTimer sinceTyping;
    QTest::keyClicks(&window->searchField(), QStringLiteral("invoice"));
    sinceTyping.start();
    QTest::qWait(300);
    EXPECT_TRUE(listedNames().empty()) << "the typing pause has not passed yet";
    ASSERT_TRUE(waitFor([&] { return window->resultModel().rowCount() == 2; }));
    EXPECT_GE(sinceTyping.elapsed(), 900) << "one second of typing pause (the default)";

    std::vector<std::string> names = listedNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Names{"notes.txt", "scan.pdf"}));
    EXPECT_EQ(window->countLabel().text(), QStringLiteral("Found 2 results"));

    Names snippets;
    for (int r = 0; r < 2; ++r) {
        snippets.push_back(window->resultModel()
                               .data(window->resultModel().index(r, ResultListModel::snippet), Qt::DisplayRole)
                               .toString()
                               .toStdString());
    }
    std::sort(snippets.begin(), snippets.end());
    // The document's own spelling, the match marked, the rest escaped.
    EXPECT_EQ(snippets, (Names{"<b>Invoice</b> draft notes for Müller", "Cover page The <b>invoice</b> total is due"}));

    // Sorting by name reorders the shown list without searching again.
    window->sortBox().setCurrentIndex(window->sortBox().findText(QStringLiteral("Name Z–A")));
    emit window->sortBox().activated(window->sortBox().currentIndex());
    ASSERT_TRUE(waitFor([&] { return listedNames() == Names{"scan.pdf", "notes.txt"}; }));
    window->sortBox().setCurrentIndex(window->sortBox().findText(QStringLiteral("Name A–Z")));
    emit window->sortBox().activated(window->sortBox().currentIndex());
    ASSERT_TRUE(waitFor([&] { return listedNames() == Names{"notes.txt", "scan.pdf"}; }));
}

TEST_F(MainWindowTest, SelectionShowsTheMatchingPageWithItsRectanglesHighlighted) {
    search("invoice");
    selectRow("scan.pdf");
    PreviewPanel& preview = window->preview();
    ASSERT_TRUE(preview.document().has_value());
    EXPECT_EQ(preview.document()->fileName, "scan.pdf");
    EXPECT_EQ(preview.totalPages(), 2);
    EXPECT_EQ(preview.pageIndex(), 1) << "opens on the first page with a match";
    EXPECT_TRUE(waitFor([&] { return preview.hasImage(); })) << "the page image arrives from the background";
    ASSERT_EQ(preview.highlightedRects().size(), 1u) << "only the line holding the word";
    EXPECT_EQ(preview.highlightedRects()[0].ocrContent, "the invoice total");

    // The rectangle lands where the line is on the page, whatever the zoom (origin turned to top-left).
    for (const PreviewPanel::FitMode mode : {PreviewPanel::FitMode::width, PreviewPanel::FitMode::height}) {
        preview.setFitMode(mode);
        const PageView& page = preview.pageView();
        const double w = page.width(), h = page.height();
        EXPECT_NEAR(w / h, static_cast<double>(kPageWidth) / kPageHeight, 0.01);
        const auto polygons = page.highlightPolygons();
        ASSERT_EQ(polygons.size(), 1u);
        const QRectF box = polygons[0].boundingRect();
        EXPECT_NEAR(box.left(), 0.10 * w, 1.0);
        EXPECT_NEAR(box.top(), 0.45 * h, 1.0);
        EXPECT_NEAR(box.width(), 0.50 * w, 1.0);
        EXPECT_NEAR(box.height(), 0.05 * h, 1.0);
    }
    const int viewportHeight = preview.pageView().parentWidget()->height();
    EXPECT_NEAR(preview.pageView().height(), viewportHeight, 2) << "fit to height";

    EXPECT_TRUE(preview.transcript().toHtml().contains(QStringLiteral("invoice</span>")));
    EXPECT_TRUE(preview.transcript().toPlainText().contains(QStringLiteral("The invoice total is due")));

    if (const char* path = std::getenv("LUMIDEX_WINDOW_SCREENSHOT")) {
        preview.setFitMode(PreviewPanel::FitMode::width);
        QTest::qWait(50);
        window->grab().save(QString::fromLocal8Bit(path), "PNG");
    }

    // Page navigation: the cover has no match, the next-match jump comes back to page 2.
    EXPECT_TRUE(preview.previousPage());
    EXPECT_EQ(preview.pageIndex(), 0);
    EXPECT_TRUE(preview.highlightedRects().empty());
    EXPECT_FALSE(preview.previousPage()) << "no page before the first";
    EXPECT_TRUE(preview.nextMatchPage());
    EXPECT_EQ(preview.pageIndex(), 1);
    EXPECT_FALSE(preview.nextPage()) << "no page after the last";

    // The transcript's three visibilities: the matching lines of every page, then none.
    preview.previousPage();
    preview.setTranscriptVisibility(PreviewPanel::TranscriptVisibility::searchResultsFocus);
    EXPECT_EQ(preview.transcript().toPlainText().toStdString(), "Page 2\nthe invoice total\n")
        << "the recognised line with the match, whichever page is shown";
    preview.setTranscriptVisibility(PreviewPanel::TranscriptVisibility::hidden);
    EXPECT_TRUE(preview.transcript().isHidden());
    preview.setTranscriptVisibility(PreviewPanel::TranscriptVisibility::split);
    EXPECT_FALSE(preview.transcript().isHidden());
    EXPECT_TRUE(preview.transcript().toPlainText().contains(QStringLiteral("Cover page")));

    // A text document without a stored page image shows the placeholder page and its text.
    selectRow("notes.txt");
    EXPECT_EQ(preview.document()->fileName, "notes.txt");
    ASSERT_TRUE(waitFor([&] { return !preview.isLoadingImage(); }));
    EXPECT_FALSE(preview.hasImage());
    EXPECT_TRUE(preview.highlightedRects().empty());
    EXPECT_TRUE(preview.transcript().toPlainText().contains(QStringLiteral("for Müller")));

    // A refined search that keeps the selection marks its own words, not the previous search's.
    selectRow("scan.pdf");
    QTest::keyClicks(&window->searchField(), QStringLiteral(" cover"));
    ASSERT_TRUE(waitFor([&] { return preview.matchPages().contains(0); })) << "the cover page now holds a match";
    EXPECT_EQ(preview.document()->fileName, "scan.pdf");
}

TEST_F(MainWindowTest, FiltersNarrowTheListAndCountThemselves) {
    search("invoice");
    ASSERT_EQ(listedNames().size(), 2u);
    EXPECT_EQ(window->filterButton().text(), QStringLiteral("Filters"));

    window->filterPanel().fileTypeBox(search::FileTypeCategory::text)->setChecked(true);
    ASSERT_TRUE(waitFor([&] { return listedNames() == Names{"notes.txt"}; }));
    EXPECT_EQ(window->countLabel().text(), QStringLiteral("Found 1 results"));
    EXPECT_EQ(window->filterButton().text(), QStringLiteral("Filters (1)"));

    window->filterPanel().minimumMatches().setValue(5);
    ASSERT_TRUE(waitFor([&] { return listedNames().empty(); }));
    EXPECT_EQ(window->filterButton().text(), QStringLiteral("Filters (2)"));

    // The folder choices are the folders of the current results.
    QListWidget& folders = window->filterPanel().folderList();
    ASSERT_TRUE(waitFor([&] { return !window->results().filterViewModel().metadata().isLoading; }));
    ASSERT_EQ(folders.count(), 1);
    EXPECT_EQ(folders.item(0)->data(Qt::UserRole).toString().toStdString(), root.string());
    folders.item(0)->setCheckState(Qt::Checked);  // the change rebuilds the list this item belongs to
    ASSERT_TRUE(waitFor([&] { return window->results().filterViewModel().filterState().selectedRootFolders.size() == 1u; }));
    ASSERT_TRUE(waitFor([&] { return folders.count() == 1 && folders.item(0)->checkState() == Qt::Checked; }));

    window->results().filterViewModel().reset();
    ASSERT_TRUE(waitFor([&] { return listedNames().size() == 2u; }));
    EXPECT_EQ(window->filterButton().text(), QStringLiteral("Filters"));
    EXPECT_FALSE(window->filterPanel().fileTypeBox(search::FileTypeCategory::text)->isChecked())
        << "the panel shows the model's state";
}

TEST_F(MainWindowTest, KeyboardMovesOpensAndEscapeClears) {
    search("invoice");
    ASSERT_EQ(listedNames().size(), 2u);
    window->searchField().setFocus();
    QTest::keyClick(&window->searchField(), Qt::Key_Down);
    ASSERT_TRUE(window->selectedItem().has_value()) << "Down from the search field selects the first result";
    EXPECT_EQ(window->selectedItem()->fileName, listedNames()[0]);
    QTest::keyClick(&window->resultView(), Qt::Key_Down);
    EXPECT_EQ(window->selectedItem()->fileName, listedNames()[1]);
    EXPECT_EQ(window->preview().document()->fileName, listedNames()[1]);

    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_TRUE(window->searchField().text().isEmpty());
    EXPECT_TRUE(listedNames().empty());
    EXPECT_TRUE(window->countLabel().text().isEmpty());
    EXPECT_FALSE(window->preview().document().has_value());

    window->resultView().setFocus();
    QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(window->searchField().hasFocus());
}

TEST_F(MainWindowTest, SidebarCountsDocumentsTakesADroppedFolderAndWarnsWhenItVanishes) {
    FolderSidebar& sidebar = window->sidebar();
    ASSERT_EQ(sidebar.rows().size(), 1u);
    EXPECT_TRUE(sidebar.rows()[0].reachable);
    EXPECT_EQ(sidebar.rows()[0].documents, 3);
    EXPECT_EQ(sidebar.rows()[0].statusText(), QStringLiteral("3 documents"));
    const QListWidgetItem* shown = sidebar.list().item(0);
    sidebar.refresh();
    EXPECT_EQ(sidebar.list().item(0), shown) << "the same folders are updated in place, not listed anew";

    const auto gone = scratch / "Archive";
    std::filesystem::create_directories(gone);
    // A folder dropped on the window is added.
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(gone.string()))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    ASSERT_TRUE(enter.isAccepted()) << "the window takes folders";
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    ASSERT_EQ(sidebar.rows().size(), 2u);
    std::filesystem::remove_all(gone);
    sidebar.refresh();

    ASSERT_EQ(sidebar.rows().size(), 2u) << "a vanished folder stays listed";
    const auto archive = std::find_if(sidebar.rows().begin(), sidebar.rows().end(),
                                      [&](const FolderRow& row) { return row.path == gone.string(); });
    ASSERT_NE(archive, sidebar.rows().end());
    EXPECT_FALSE(archive->reachable);
    EXPECT_EQ(archive->statusText(), QStringLiteral("Folder not reachable"));
    const QListWidgetItem* entry = sidebar.list().item(static_cast<int>(archive - sidebar.rows().begin()));
    EXPECT_FALSE(entry->icon().isNull()) << "the warning sign";
    EXPECT_TRUE(entry->text().contains(QStringLiteral("Folder not reachable")));

    // Searching goes on over the reachable folder.
    search("invoice");
    EXPECT_EQ(listedNames().size(), 2u);
}

TEST_F(MainWindowTest, DuplicatesOfAFolderAreGroupedByTheirText) {
    DuplicatesDialog* dialog = window->sidebar().showDuplicates(root.string());
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(waitFor([&] { return !dialog->scan().isRunning(); }));
    QTreeWidget& groups = dialog->groups();
    ASSERT_EQ(groups.topLevelItemCount(), 1) << "scan.pdf has no text hash of its own";
    QTreeWidgetItem* group = groups.topLevelItem(0);
    ASSERT_EQ(group->childCount(), 2);
    Names paths{group->child(0)->text(0).toStdString(), group->child(1)->text(0).toStdString()};
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (Names{(root / "notes.txt").string(), (root / "other.txt").string()}));
    EXPECT_EQ(dialog->status().text(), QStringLiteral("1 group of documents with the same text"));
    EXPECT_EQ(window->sidebar().showDuplicates((scratch / "not-a-folder").string()), nullptr);
}

// The window's owner waits for the searches still running before the index they read goes.
TEST(QtSchedulerTest, WaitForBackgroundReturnsOnceEveryTaskRan) {
    ThreadPool pool(1);
    QtScheduler scheduler(&pool);
    std::atomic<bool> ran = false;
    scheduler.postToBackground([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ran = true;
    });
    scheduler.waitForBackground();
    EXPECT_TRUE(ran);
}

// The share of a quarter-size grey picture's pixels that differ clearly: text rendering and the dates
// shown differ between runs and machines, a panel that moved, vanished or grew does not.
double differingShare(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return 1.0;
    const QSize small = a.size() / 4;
    const auto shrink = [&](const QImage& image) {
        return image.scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_Grayscale8);
    };
    const QImage x = shrink(a);
    const QImage y = shrink(b);
    int64_t differing = 0;
    for (int row = 0; row < small.height(); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int column = 0; column < small.width(); ++column) differing += std::abs(p[column] - q[column]) > 48 ? 1 : 0;
    }
    return static_cast<double>(differing) / (static_cast<double>(small.width()) * small.height());
}

// The main states kept as pictures in tests/ui/golden; LUMIDEX_UPDATE_GOLDEN=1 writes them anew after a
// deliberate change of the layout.
TEST_F(MainWindowTest, MainStatesLookAsKept) {
    window->resize(1100, 720);
    const auto check = [&](const std::string& name) {
        QCoreApplication::processEvents();
        const QImage shot = window->grab().toImage();
        const QString path = QStringLiteral(LUMIDEX_UI_GOLDEN_DIR "/") + QString::fromStdString(name) + ".png";
        if (std::getenv("LUMIDEX_UPDATE_GOLDEN") != nullptr) {
            ASSERT_TRUE(shot.save(path)) << path.toStdString();
            return;
        }
        const QImage kept(path);
        ASSERT_FALSE(kept.isNull()) << "no kept picture " << path.toStdString();
        const double share = differingShare(shot, kept);
        if (share >= 0.03) shot.save(QString::fromStdString((scratch / (name + "-now.png")).string()));
        EXPECT_LT(share, 0.03) << name << " differs from " << path.toStdString();
    };
    check("window-empty");
    search("invoice");
    selectRow("scan.pdf");
    ASSERT_TRUE(waitFor([&] { return window->preview().hasImage(); }));
    check("window-results-and-preview");
}

}  // namespace
}  // namespace lumidex::ui::testing
