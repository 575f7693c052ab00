// The window's routes through a router, against the real window over a real index: the answers show
// the window after each request's change, and the window shows what the requests asked for.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "api/api_routes.h"
#include "ui/desktop_actions.h"
#include "ui/filter_panel.h"
#include "ui/page_view.h"
#include "ui/preview_panel.h"
#include "ui/ui_routes.h"
#include "window_fixture.h"

namespace lumidex::ui::testing {
namespace {

using api::ApiResponse;
using api::HttpMethod;
using Json = nlohmann::json;
using Names = std::vector<std::string>;

api::ApiRequest request(HttpMethod method, std::string path, std::optional<std::string> body = std::nullopt) {
    api::ApiRequest out;
    out.method = method;
    out.path = std::move(path);
    out.body = std::move(body);
    return out;
}

GuiCall::Poster mainLoop() {
    return [](std::function<void()> task) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
    };
}

class WindowRoutesTest : public WindowFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(openWindow());
        routes = std::make_unique<WindowRoutes>(mainLoop(), *core);
        routes->registerOn(router);
        routes->attach(*window);
        setDesktopLaunchers({[this](const QString& path) {
                                 opened.push_back(path.toStdString());
                                 return launchWorks;
                             },
                             [this](const QString& path) {
                                 revealed.push_back(path.toStdString());
                                 return launchWorks;
                             }});
    }
    void TearDown() override {
        if (routes) routes->close();
        setDesktopLaunchers({});
    }

    // Sends the request from a handler thread, as the server does, while this (the GUI) thread runs
    // the event loop.
    static ApiResponse send(api::ApiRouter& on, HttpMethod method, const std::string& path,
                            std::optional<std::string> body = std::nullopt) {
        auto answer = std::async(std::launch::async, [&on, sent = request(method, path, std::move(body))] {
            return on.handle(sent);
        });
        EXPECT_TRUE(waitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 40000));
        return answer.get();
    }
    ApiResponse send(HttpMethod method, const std::string& path, std::optional<std::string> body = std::nullopt) {
        return send(router, method, path, std::move(body));
    }
    Json json(HttpMethod method, const std::string& path, std::optional<std::string> body = std::nullopt,
              int status = 200) {
        const ApiResponse answer = send(method, path, std::move(body));
        EXPECT_EQ(answer.statusCode, status) << path << ": " << answer.body.value_or("");
        return Json::parse(answer.body.value_or("null"), nullptr, false);
    }
    // The message of a refusal answered with STATUS.
    std::string refusal(HttpMethod method, const std::string& path, std::optional<std::string> body, int status = 400) {
        return json(method, path, std::move(body), status)["error"]["message"].get<std::string>();
    }
    Names namesOf(const Json& listItems) {
        Names names;
        for (const Json& item : listItems["items"]) names.push_back(item["file_name"]);
        return names;
    }

    api::ApiRouter router;
    std::unique_ptr<WindowRoutes> routes;
    std::vector<std::string> opened, revealed;
    bool launchWorks = true;
};

TEST_F(WindowRoutesTest, SearchListSelectAndNavigateDriveTheWindow) {
    Json state = json(HttpMethod::get, "/api/v1/ui/state");
    EXPECT_EQ(state["ui_state"], "browse");
    EXPECT_EQ(json(HttpMethod::get, "/api/v1/ui/list-items")["source"], "ListViewModel.items");

    const Json searched = json(HttpMethod::post, "/api/v1/ui/search", R"({"query":"invoice"})");
    EXPECT_EQ(searched["result_count"], 2) << "answered once the search has ended";
    EXPECT_EQ(window->searchField().text(), QStringLiteral("invoice"));
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/search", R"({"query":5})"), "Expected JSON body with 'query': String");

    Json list = json(HttpMethod::get, "/api/v1/ui/list-items");
    EXPECT_EQ(list["source"], "ListSearchViewModel.items");
    EXPECT_EQ(namesOf(list), listedNames());
    EXPECT_EQ(list["items_on_disk"], 2);
    EXPECT_EQ(list["items"][0]["processing_state"], "completed");

    // Refusals name what was wrong; none of them moves the selection.
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/navigate", R"({"direction":"sideways"})"),
              "Invalid direction 'sideways'. Use: up, down, first, last");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/navigate", std::nullopt),
              "Expected JSON body with 'direction': 'up' | 'down' | 'first' | 'last'");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/select", R"({"index":"1"})"),
              "Expected JSON body with 'index' (Int) or 'document_id' (String)");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/select", "{}"), "Provide 'index' or 'document_id'");
    EXPECT_TRUE(refusal(HttpMethod::post, "/api/v1/ui/select", R"({"index":2})").ends_with(" out of range (0..1)"));
    EXPECT_TRUE(refusal(HttpMethod::post, "/api/v1/ui/select", R"({"document_id":"7"})")
                    .ends_with(" not found in current list"));
    EXPECT_FALSE(window->selectedItem().has_value());

    const std::string scanId = list["items"][namesOf(list)[0] == "scan.pdf" ? 0 : 1]["id"];
    Json selected = json(HttpMethod::post, "/api/v1/ui/select", Json{{"document_id", scanId}}.dump());
    ASSERT_TRUE(window->selectedItem().has_value());
    EXPECT_EQ(window->selectedItem()->fileName, "scan.pdf");
    EXPECT_EQ(selected["selected_item"]["id"], scanId);
    EXPECT_EQ(selected["message"], "Selected item at index " + std::to_string(selected["selected_item"]["index"].get<int>()));
    EXPECT_EQ(window->preview().document()->fileName, "scan.pdf") << "the preview follows the selection";

    Json moved = json(HttpMethod::post, "/api/v1/ui/navigate", R"({"direction":"last"})");
    EXPECT_EQ(moved["selected_item"]["index"], 1);
    EXPECT_EQ(window->resultView().currentIndex().row(), 1);
    moved = json(HttpMethod::post, "/api/v1/ui/navigate", R"({"direction":"up"})");
    EXPECT_EQ(moved["selected_item"]["index"], 0);
    EXPECT_EQ(window->selectedItem()->fileName, listedNames()[0]);

    // With another window in front, the focus goes to the list for when the user comes back.
    window->searchField().setFocus();
    QWidget other;
    other.show();
    other.activateWindow();
    EXPECT_TRUE(waitFor([&] { return QApplication::activeWindow() == &other; }, 20000));
    json(HttpMethod::post, "/api/v1/ui/focus");
    state = json(HttpMethod::get, "/api/v1/ui/state");
    EXPECT_EQ(state["focused_field"], "list");
    other.close();
    EXPECT_EQ(state["item_count"], 2);
    EXPECT_EQ(state["selected_item"]["file_name"], listedNames()[0]);

    // A file deleted on disk stays listed until the index hears of it, and is reported missing.
    std::filesystem::remove(root / "notes.txt");
    list = json(HttpMethod::get, "/api/v1/ui/list-items");
    EXPECT_EQ(list["items_missing_on_disk"], 1);
    EXPECT_EQ(list["items_on_disk"], 1);
    for (const Json& item : list["items"]) EXPECT_EQ(item["on_disk"], item["file_name"] != "notes.txt");
}

TEST_F(WindowRoutesTest, PreviewRoutesReportAndTurnWhatThePreviewShows) {
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/page", R"({"page_number":1})"), "No document loaded");
    search("invoice");
    json(HttpMethod::post, "/api/v1/ui/select", Json{{"index", listedNames()[0] == "scan.pdf" ? 0 : 1}}.dump());
    PreviewPanel& preview = window->preview();

    Json page = json(HttpMethod::get, "/api/v1/ui/page");
    EXPECT_EQ(page["page_index"], 1) << "opened on the page with the match";
    EXPECT_EQ(page["total_pages"], 2);
    for (const char* body : {R"({"page_number":0})", R"({"page_number":3})"}) {
        EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/page", body), "page_number must be between 1 and 2");
    }
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/page", R"({"page_index":2})"), "page_index must be between 0 and 1");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/page", R"({"action":"back"})"),
              "action must be 'first', 'previous', 'next' or 'last'");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/page", "{}"), "Provide 'action', 'page_index' or 'page_number'");
    EXPECT_EQ(preview.pageIndex(), 1);

    // The match rectangles are the ones the page view draws, in its top-left coordinates.
    json(HttpMethod::patch, "/api/v1/ui/zoom", R"({"fit_mode":"height"})");
    Json state = json(HttpMethod::get, "/api/v1/ui/search-state");
    EXPECT_EQ(state["search_text"], "invoice");
    ASSERT_EQ(state["match_rects"].size(), 1u);
    EXPECT_EQ(state["match_rects"][0]["text"], "the invoice total");
    EXPECT_EQ(state["match_rects"][0]["page"], 2);
    const auto drawn = preview.pageView().highlightPolygons();
    ASSERT_EQ(drawn.size(), 1u);
    const Json& points = state["match_rects"][0]["points"];
    ASSERT_EQ(points.size(), 4u);
    for (int corner = 0; corner < 4; ++corner) {
        EXPECT_NEAR(points[corner][0].get<double>() * preview.pageView().width(), drawn[0][corner].x(), 0.5);
        EXPECT_NEAR(points[corner][1].get<double>() * preview.pageView().height(), drawn[0][corner].y(), 0.5);
    }
    page = json(HttpMethod::post, "/api/v1/ui/page", R"({"action":"first"})");
    EXPECT_EQ(page["page_number"], 1);
    EXPECT_EQ(preview.pageIndex(), 0);
    EXPECT_TRUE(json(HttpMethod::get, "/api/v1/ui/search-state")["match_rects"].empty()) << "the cover has no match";

    EXPECT_EQ(refusal(HttpMethod::patch, "/api/v1/ui/zoom", R"({"zoom_level":20})"), "zoom_level must be between 0.1 and 8.0");
    EXPECT_EQ(refusal(HttpMethod::patch, "/api/v1/ui/zoom", R"({"fit_mode":"page"})"),
              "fit_mode must be 'none', 'width' or 'height'");
    const Json zoom = json(HttpMethod::patch, "/api/v1/ui/zoom", R"({"zoom_level":2})");
    EXPECT_EQ(zoom["fit_mode"], "none");
    EXPECT_DOUBLE_EQ(preview.zoom(), 2.0);

    Json transcript = json(HttpMethod::patch, "/api/v1/ui/transcript", R"({"visibility":"toggle"})");
    EXPECT_EQ(transcript["visibility"], "hidden");
    EXPECT_TRUE(preview.transcript().isHidden());
    EXPECT_EQ(refusal(HttpMethod::patch, "/api/v1/ui/transcript", R"({"visibility":"full"})"),
              "visibility must be 'hidden', 'split', 'search_results_focus' or 'toggle'");

    // Sort words of the search endpoint are not the list's.
    EXPECT_EQ(refusal(HttpMethod::patch, "/api/v1/ui/sort", R"({"sort_order":"newest"})"),
              "sort_order must be one of: a2z, z2a, new2Old, old2New, relevance");
    EXPECT_EQ(json(HttpMethod::patch, "/api/v1/ui/sort", R"({"sort_order":"z2a"})")["sort_order"], "z2a");
    EXPECT_TRUE(waitFor([&] { return listedNames() == Names{"scan.pdf", "notes.txt"}; }));
    EXPECT_EQ(window->sortBox().currentData().toInt(), static_cast<int>(SortOrders::z2a));
}

TEST_F(WindowRoutesTest, FiltersPatchResetsFirstThenAppliesAndTheListFollows) {
    search("invoice");
    Json filters = json(HttpMethod::patch, "/api/v1/ui/filters", R"({"file_types":["pdf"],"show_panel":true})");
    EXPECT_EQ(filters["active_filter_count"], 1);
    EXPECT_TRUE(filters["is_panel_visible"]);
    EXPECT_FALSE(window->filterPanel().isHidden());
    EXPECT_TRUE(waitFor([&] { return listedNames() == Names{"scan.pdf"}; }));

    filters = json(HttpMethod::patch, "/api/v1/ui/filters", R"({"reset":true,"file_types":["txt"],"minimum_match_count":1})");
    EXPECT_EQ(filters["file_types"], Json::array({"text"})) << "an extension stands for its kind";
    EXPECT_EQ(filters["active_filter_count"], 2);
    EXPECT_TRUE(waitFor([&] { return listedNames() == Names{"notes.txt"}; }));
    EXPECT_EQ(window->filterButton().text(), QStringLiteral("Filters (2)"));

    for (const char* body : {R"({"file_types":["bogus"]})", R"({"file_size_min":-1})", R"({"page_count_min":5,"page_count_max":2})",
                             R"({"file_size_min":9223372036854775807})", R"({"date_range_min":"2024-05-02","date_range_max":"2024-05-01"})"}) {
        EXPECT_EQ(refusal(HttpMethod::patch, "/api/v1/ui/filters", body), "Invalid JSON body") << body;
    }
    EXPECT_EQ(json(HttpMethod::get, "/api/v1/ui/filters")["active_filter_count"], 2) << "a refused patch changes nothing";
    filters = json(HttpMethod::patch, "/api/v1/ui/filters", R"({"reset":true})");
    EXPECT_FALSE(filters["is_active"]);
    EXPECT_TRUE(waitFor([&] { return listedNames().size() == 2; }));
}

TEST_F(WindowRoutesTest, ScreenshotAndDesktopActions) {
    const ApiResponse shot = send(HttpMethod::get, "/api/v1/ui/screenshot");
    EXPECT_EQ(shot.headers.at("Content-Type"), "image/png");
    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(shot.body->data()), static_cast<int>(shot.body->size()), "PNG"));
    EXPECT_EQ(image.size(), window->size() * window->devicePixelRatio());

    search("invoice");
    const Json list = json(HttpMethod::get, "/api/v1/ui/list-items");
    const std::string path = list["items"][0]["file_path"];
    EXPECT_EQ(json(HttpMethod::post, "/api/v1/ui/open-in-finder", Json{{"document_id", list["items"][0]["id"]}}.dump())["message"],
              "Revealed in Finder: " + path);
    EXPECT_EQ(revealed, Names{path});
    launchWorks = false;
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/open-external", Json{{"file_path", path}}.dump(), 500),
              "Failed to open: " + path);
    EXPECT_EQ(opened, Names{path});
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/open-external", "[]"), "Expected JSON with 'document_id' or 'file_path'");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/open-in-finder", "{}"), "Provide 'document_id' or 'file_path'");
    EXPECT_EQ(opened.size() + revealed.size(), 2u);

    // A path outside the searchable folders, a folder, or a link out of one never reaches the launcher.
    const std::filesystem::path outside = scratch / "run.desktop";
    { std::ofstream(outside) << "[Desktop Entry]\n"; }
    std::filesystem::create_symlink(outside, root / "link.desktop");
    for (const std::filesystem::path& refused : {outside, root, root / "link.desktop"}) {
        EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/ui/open-external", Json{{"file_path", refused.string()}}.dump(), 404),
                  "File not found: " + refused.string());
    }
    EXPECT_EQ(opened.size() + revealed.size(), 2u);
}

TEST_F(WindowRoutesTest, RightClickScreenshotsReplaceALinkPlantedAtTheirNames) {
    const std::filesystem::path victim = scratch / "victim.txt";
    { std::ofstream(victim) << "keep"; }
    const std::filesystem::path planted = "/tmp/lmx_rightclick_before.png";
    std::filesystem::remove(planted);
    std::filesystem::create_symlink(victim, planted);
    const Json answer = json(HttpMethod::post, "/api/v1/debug/right-click-test");
    EXPECT_EQ(answer["screenshot_before"], planted.string());
    EXPECT_EQ(std::filesystem::symlink_status(planted).type(), std::filesystem::file_type::regular);
    EXPECT_EQ(std::filesystem::file_size(victim), 4u) << "the link's target is left alone";
}

TEST_F(WindowRoutesTest, AlertsAndPopupsAreTheWindowsOwnDialogs) {
    // The window waits in its alert's own loop, as it does for a question; the requests arrive meanwhile.
    auto client = std::async(std::launch::async, [this] {
        Json listed = Json::object();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (listed.value("count", 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            listed = Json::parse(*router.handle(request(HttpMethod::get, "/api/v1/alerts")).body);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const auto dismiss = request(HttpMethod::post, "/api/v1/alerts/dismiss", R"({"button_title":"No"})");
        return std::pair(listed, Json::parse(*router.handle(dismiss).body));
    });
    QTimer::singleShot(30000, window.get(), [] {  // never left hanging should the client fail
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget)) box->done(QMessageBox::Cancel);
        }
    });
    const auto answer = QMessageBox::question(window.get(), QStringLiteral("Remove from Index"),
                                              QStringLiteral("Remove scan.pdf?"), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(answer, QMessageBox::No);
    const auto [listed, dismissed] = client.get();
    ASSERT_EQ(listed["count"], 1);
    EXPECT_EQ(listed["alerts"][0]["title"], "Remove from Index");
    EXPECT_EQ(listed["alerts"][0]["texts"], Json::array({"Remove scan.pdf?"}));
    EXPECT_EQ(listed["alerts"][0]["host_window_title"], "Lumidex");
    EXPECT_EQ(dismissed["clicked"], "No");
    EXPECT_TRUE(dismissed["remaining"].empty());
    EXPECT_EQ(json(HttpMethod::get, "/api/v1/alerts")["note"], "no alert visible");

    auto* dialog = new QDialog(window.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("preferences"));
    dialog->open();
    EXPECT_EQ(json(HttpMethod::get, "/api/v1/ui/popups")["popup_type"], "preferences");
    EXPECT_EQ(json(HttpMethod::post, "/api/v1/ui/popups/dismiss")["message"], "Dismissed popup: preferences");
    const Json again = json(HttpMethod::post, "/api/v1/ui/popups/dismiss");
    EXPECT_FALSE(again["success"]);
    EXPECT_EQ(again["message"], "No popup is currently shown");
}

TEST_F(WindowRoutesTest, ARequestNeverWaitsForABusyOrClosedWindow) {
    WindowRoutes::Options quick;
    quick.guiTimeout = std::chrono::milliseconds(100);
    WindowRoutes impatient(mainLoop(), *core, quick);
    api::ApiRouter other;
    impatient.registerOn(other);
    impatient.attach(*window);
    const auto hide = request(HttpMethod::patch, "/api/v1/ui/transcript", R"({"visibility":"hidden"})");
    // This thread, the GUI thread, is busy until the request has given up.
    auto answer = std::async(std::launch::async, [&] { return other.handle(hide); });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const ApiResponse late = answer.get();
    EXPECT_EQ(late.statusCode, 500);
    EXPECT_NE(late.body->find("The window did not answer in time"), std::string::npos);
    QTest::qWait(50);
    EXPECT_FALSE(window->preview().transcript().isHidden()) << "a request given up on never runs later";

    impatient.close();
    const ApiResponse closed = send(other, HttpMethod::get, "/api/v1/ui/state");
    EXPECT_EQ(closed.statusCode, 409);
    EXPECT_NE(closed.body->find("The window is not open"), std::string::npos);
}

TEST_F(WindowRoutesTest, EveryWindowRouteIsDocumented) {
    const std::string document(api::openApiDocument());
    for (const auto& route : router.routes()) {
        const std::string path = std::regex_replace(route.pattern, std::regex(R"(:(\w+))"), "{$1}");
        const size_t at = document.find("\n  " + path + ":\n");
        ASSERT_NE(at, std::string::npos) << path;
        const size_t end = document.find("\n  /", at + 1);
        std::string method(api::methodToken(route.method));
        for (char& c : method) c = static_cast<char>(std::tolower(c));
        const std::string block = document.substr(at, end - at);
        EXPECT_NE(block.find("\n    " + method + ":\n      tags: [window]\n"), std::string::npos)
            << method << ' ' << path << " documented and tagged as a window route";
    }
}

}  // namespace
}  // namespace lumidex::ui::testing
