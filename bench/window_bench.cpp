// Window benchmark: opens the real main window (Qt's offscreen platform) over the searchable folders
// stored in the current home, as `lumidex window` does but without its start-up scan, and prints one
// table:
//   start to first paint  process start (the kernel's) to the end of the first event that painted the
//                         window: the folders opened, the window built, shown and drawn once
//   keystroke to list     each query is typed into the search field one key at a time (--key-ms apart);
//                         the interval runs from the end of the typing pause (the moment the search
//                         starts, after the last key) to the end of the result list's next paint after
//                         the results were published; "visible snippets" runs to the paint that shows
//                         every visible row's snippet; "last key to list" includes the pause itself
//   select to preview     a result row made current (as a click or an arrow key does) to the end of the
//                         preview page's paint once the document is read and the page image is there
//                         (or known to be missing), with the matches highlighted
//   scrolling             the list of --scroll-query (every result, no limit) scrolled top to bottom
//                         by half a page per frame, each frame painted; frames per second, and how many
//                         rows had their snippets read before scrolling and after
//   peak memory           the process's maximum resident set size
//
//   window_bench --queries FILE [--key-ms 120] [--selections 40] [--scroll-query WORD] [--verbose]
//
// --verbose: each query's rows and keystroke interval on stderr.
//
// FILE holds one query per line. Run it with HOME/XDG_* pointing at the home that holds the index and
// QT_QPA_PLATFORM=offscreen (the default set here); bench/window prepares both.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTreeView>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/settings/settings.h"
#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "search/coordinator_folder_index.h"
#include "ui/main_window.h"
#include "ui/page_view.h"
#include "ui/preview_panel.h"
#include "ui/result_list_model.h"

using namespace lumidex;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct Options {
    std::vector<std::string> queries;
    int keyMs = 120;
    int selections = 40;
    std::string scrollQuery;
    bool verbose = false;
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "window_bench: %s\nusage: window_bench --queries FILE [--key-ms N] [--selections N] "
                 "[--scroll-query WORD] [--verbose]\n",
                 message);
    std::exit(2);
}

Options parseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--queries") {
            std::ifstream in(value());
            if (!in) usage("cannot read the query file");
            for (std::string line; std::getline(in, line);) {
                if (!line.empty()) o.queries.push_back(line);
            }
        } else if (arg == "--key-ms") {
            o.keyMs = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--selections") {
            o.selections = std::max(0, std::atoi(value().c_str()));
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else if (arg == "--scroll-query") {
            o.scrollQuery = value();
        } else {
            usage(("unknown argument " + arg).c_str());
        }
    }
    if (o.queries.empty()) usage("no queries");
    return o;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double k = (static_cast<double>(values.size()) - 1) * p / 100;
    const auto lo = static_cast<std::size_t>(k);
    const std::size_t hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (k - static_cast<double>(lo));
}

double ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// How long ago the kernel started this process, from /proc (clock ticks since boot).
SteadyClock::duration sinceProcessStart() {
    std::ifstream in("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    // Field 22 (starttime); the text after ')' starts at field 3.
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const double started = std::atof(field.c_str()) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double uptime = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(uptime - started));
}

// Sees every event the window gets: when a paint ended, and when the view model's state changed.
class BenchApplication : public QApplication {
public:
    using QApplication::QApplication;

    QWidget* listViewport = nullptr;
    QWidget* pageView = nullptr;
    std::optional<SteadyClock::time_point> firstPaint;
    SteadyClock::time_point listPainted{};
    SteadyClock::time_point pagePainted{};
    int listPaints = 0;
    // Called after each event that was not delivered inside another one.
    std::function<void()> afterEvent;

    bool notify(QObject* receiver, QEvent* event) override {
        const bool paint = event->type() == QEvent::Paint;
        ++depth_;
        const bool result = QApplication::notify(receiver, event);
        --depth_;
        if (paint) {
            painted_ = true;
            if (receiver == listViewport) {
                listPainted = SteadyClock::now();
                ++listPaints;
            }
            if (receiver == pageView) pagePainted = SteadyClock::now();
        }
        if (depth_ == 0) {
            if (painted_ && !firstPaint) firstPaint = SteadyClock::now();
            painted_ = false;
            if (afterEvent) afterEvent();
        }
        return result;
    }

private:
    int depth_ = 0;
    bool painted_ = false;
};

int qtArgc = 1;
char qtName[] = "window_bench";
char* qtArgv[] = {qtName, nullptr};

// Runs the event loop as the application does, blocking until something happens (QTest's waiting
// sleeps between its checks, which would add to every interval measured), until `done` or the timeout.
bool waitUntil(const std::function<bool()>& done, int milliseconds = 30000) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick;  // wakes the loop now and then, so the timeout is noticed
    tick.start(20);
    while (!done()) {
        if (elapsed.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The offscreen platform says on every window resize that it cannot pass size hints on.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("propagateSizeHints"))) return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// Every row the list shows without scrolling has its snippet.
bool visibleSnippetsShown(ui::MainWindow& window) {
    QTreeView& view = window.resultView();
    ui::ResultListModel& model = window.resultModel();
    const int first = view.indexAt(QPoint(1, 1)).row();
    if (first < 0) return true;
    int last = view.indexAt(QPoint(1, view.viewport()->height() - 2)).row();
    if (last < 0) last = model.rowCount() - 1;
    for (int row = first; row <= last; ++row) {
        if (!model.hasSnippet(row)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const auto processStarted = SteadyClock::now() - sinceProcessStart();
    const Options options = parseArguments(argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    qInstallMessageHandler(quietMessages);
    BenchApplication application(qtArgc, qtArgv);
    // The same opening as the window's, without the scan of every folder that follows it there.
    auto& bookmarks = folders::SecurityBookmarks::shared();
    auto& core = folders::CoreManagerData::shared();
    for (const std::string& folder : bookmarks.list()) core.addFolder(folder)->startInBackground();
    ui::WindowServices services;
    services.core = &core;
    services.settings = &SettingsStore::shared();
    services.bookmarks = &bookmarks;
    services.protectedFolders = folders::ProtectedFolders::forCurrentUser();
    auto window = std::make_unique<ui::MainWindow>(services);
    application.listViewport = window->resultView().viewport();
    application.pageView = &window->preview().pageView();
    window->show();
    if (!waitUntil([&] { return application.firstPaint.has_value(); })) {
        std::fprintf(stderr, "window_bench: the window was never painted\n");
        return 1;
    }
    const double firstPaintMs = ms(*application.firstPaint - processStarted);
    for (const auto& folder : search::coordinatorFolderList(core)()) folder->waitForInitToComplete();

    auto& results = window->results();
    const auto autoSearchSeconds = Settings(SettingsStore::shared()).autoSearchDelaySeconds();

    // Keystrokes.
    std::vector<double> toList, toSnippets, lastKeyToList, toPreview;
    size_t hitsTotal = 0;
    int selectionsLeft = options.selections;
    for (const std::string& query : options.queries) {
        window->clearSearch();
        waitUntil([&] { return results.items().empty() && !results.isBusy(); });
        QTest::qWait(50);
        std::optional<SteadyClock::time_point> started, published;
        application.afterEvent = [&] {
            const auto now = SteadyClock::now();
            if (!started && results.isBusy()) started = now;
            if (started && !published && !results.isBusy() && results.searchParametersOld() &&
                results.searchParametersOld()->searchText == query) {
                published = now;
            }
        };
        const QString text = QString::fromStdString(query);
        SteadyClock::time_point lastKey;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (i > 0) QTest::qWait(options.keyMs);
            QTest::keyClicks(&window->searchField(), text.mid(i, 1));
            lastKey = SteadyClock::now();
        }
        const bool listed = waitUntil([&] { return published && application.listPainted > *published; });
        if (!listed) {
            std::fprintf(stderr, "window_bench: no list for \"%s\"\n", query.c_str());
            application.afterEvent = nullptr;
            continue;
        }
        toList.push_back(ms(application.listPainted - *started));
        if (options.verbose) {
            std::fprintf(stderr, "%-24s %6zu rows %8.1f ms (search %.1f ms, then list %.1f ms)\n", query.c_str(),
                         results.items().size(), toList.back(), ms(*published - *started),
                         ms(application.listPainted - *published));
        }
        lastKeyToList.push_back(ms(application.listPainted - lastKey));
        waitUntil([&] { return visibleSnippetsShown(*window); });
        // The paint after the last snippet arrived; a list whose snippets came with it is already there.
        const auto snippetsAt = SteadyClock::now();
        waitUntil([&] { return application.listPainted >= snippetsAt; }, 200);
        toSnippets.push_back(ms(std::max(application.listPainted, *published) - *started));
        application.afterEvent = nullptr;
        hitsTotal += results.items().size();

        // Selecting: the second row, as the first is selected while typing when the window does so.
        const int rows = window->resultModel().rowCount();
        if (selectionsLeft > 0 && rows > 0) {
            --selectionsLeft;
            const int row = std::min(1, rows - 1);
            ui::PreviewPanel& preview = window->preview();
            std::optional<SteadyClock::time_point> loaded;
            application.afterEvent = [&] {
                if (!loaded && preview.document() && !preview.isLoadingDocument() && !preview.isLoadingImage()) {
                    loaded = SteadyClock::now();
                }
            };
            const auto before = SteadyClock::now();
            window->resultView().setCurrentIndex(window->resultModel().index(row, 0));
            application.afterEvent();  // a document read at once is loaded now
            // The page's paint after the document and its image (or the lack of one) were applied.
            const bool shown = waitUntil([&] { return loaded && application.pagePainted > *loaded; });
            application.afterEvent = nullptr;
            if (shown) toPreview.push_back(ms(application.pagePainted - before));
        }
    }

    // Scrolling every result of a common word.
    double fps = 0;
    int frames = 0;
    std::vector<double> frameTimes;
    size_t scrollRows = 0, snippetsBefore = 0, snippetsAfter = 0;
    if (!options.scrollQuery.empty()) {
        SettingsStore::shared().setInt(SettingsKeys::limitSearchResultsTypeKey, 5);  // no limit
        window->clearSearch();
        window->searchField().setText(QString::fromStdString(options.scrollQuery));
        results.submitSearchText(options.scrollQuery);
        waitUntil([&] { return !results.isBusy() && !results.items().empty(); });
        waitUntil([&] { return visibleSnippetsShown(*window); });
        QTest::qWait(200);
        scrollRows = results.items().size();
        window->resultView().setFocus();
        snippetsBefore = results.snippetCount();
        QScrollBar* bar = window->resultView().verticalScrollBar();
        const int step = std::max(1, bar->pageStep() / 2);
        const auto scrollStart = SteadyClock::now();
        for (int value = step; value <= bar->maximum() + step - 1; value += step) {
            const auto frameStart = SteadyClock::now();
            bar->setValue(std::min(value, bar->maximum()));
            const int paintsBefore = application.listPaints;
            waitUntil([&] { return application.listPaints > paintsBefore; }, 1000);
            frameTimes.push_back(ms(SteadyClock::now() - frameStart));
            ++frames;
        }
        const double seconds = ms(SteadyClock::now() - scrollStart) / 1000;
        fps = seconds > 0 ? frames / seconds : 0;
        QTest::qWait(300);
        snippetsAfter = results.snippetCount();
    }

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;

    const size_t documents = [&] {
        size_t n = 0;
        for (const std::string& folder : bookmarks.list()) {
            if (const auto manager = core.balancedDataManager(folder)) n += manager->itemCount();
        }
        return n;
    }();
    std::printf("%zu documents indexed; %zu queries typed %d ms a key, typing pause %lld s, %zu rows listed in all\n\n",
                documents, options.queries.size(), options.keyMs, static_cast<long long>(autoSearchSeconds),
                hitsTotal);
    std::printf("| %-46s | %10s | %10s | %8s |\n|%s|%s|%s|%s|\n", "measure", "p50", "p95", "goal",
                std::string(48, '-').c_str(), std::string(12, '-').c_str(), std::string(12, '-').c_str(),
                std::string(10, '-').c_str());
    std::printf("| %-46s | %10s | %7.0f ms | %8s |\n", "start to first paint", "", firstPaintMs, "< 1 s");
    std::printf("| %-46s | %7.1f ms | %7.1f ms | %8s |\n", "keystroke to list (pause over to list painted)",
                percentile(toList, 50), percentile(toList, 95), "< 50 ms");
    std::printf("| %-46s | %7.1f ms | %7.1f ms | %8s |\n", "  ... to visible rows' snippets painted",
                percentile(toSnippets, 50), percentile(toSnippets, 95), "");
    std::printf("| %-46s | %7.1f ms | %7.1f ms | %8s |\n", "  last key to list, pause included",
                percentile(lastKeyToList, 50), percentile(lastKeyToList, 95), "");
    std::printf("| %-46s | %7.1f ms | %7.1f ms | %8s |\n", "select to preview page with highlights",
                percentile(toPreview, 50), percentile(toPreview, 95), "< 150 ms");
    std::printf("| %-46s | %10s | %6.1f fps | %8s |\n",
                ("scrolling " + std::to_string(scrollRows) + " rows, " + std::to_string(frames) + " frames").c_str(),
                "", fps, "60 fps");
    std::printf("| %-46s | %7.1f ms | %7.1f ms | %8s |\n", "  one frame", percentile(frameTimes, 50),
                percentile(frameTimes, 95), "16.7 ms");
    std::printf("| %-46s | %10zu | %10zu | %8s |\n", "  rows with snippets read: before / after", snippetsBefore,
                snippetsAfter, "");
    std::printf("| %-46s | %10s | %6.0f MiB | %8s |\n", "peak memory (max RSS)", "", peakMiB, "< 300 MB");

    window.reset();
    ui::QtScheduler::shared().waitForBackground();
    core.cancelAll();
    return 0;
}
