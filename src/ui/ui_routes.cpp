#include "ui/ui_routes.h"

#include <QApplication>
#include <QBuffer>
#include <QLineEdit>
#include <QTextBrowser>
#include <QPixmap>
#include <QTreeView>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <thread>

#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/folder_paths.h"
#include "search/list_search_view_model.h"
#include "service/index_identity.h"
#include "ui/desktop_actions.h"
#include "ui/filter_panel.h"
#include "ui/folder_sidebar.h"
#include "ui/main_window.h"
#include "ui/preview_panel.h"
#include "ui/result_list_model.h"
#include "ui/ui_route_support.h"

namespace lumidex::ui {
namespace routes {

api::ApiResponse record(const Json& value, int statusCode) {
    api::ApiResponse response;
    response.statusCode = statusCode;
    try {
        response.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return api::errorResponse(500, "internal", "Failed to serialize");
    }
    return response;
}

api::ApiResponse badRequest(std::string_view message) { return api::errorResponse(400, "bad_request", message); }

std::optional<Json> bodyObject(const api::ApiRequest& request) {
    if (!request.body || request.body->empty()) return std::nullopt;
    Json body = Json::parse(*request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return std::nullopt;
    return body;
}

std::string numberText(double value) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

Json frameJson(const QRect& rect) {
    return Json{{"x", rect.x()}, {"y", rect.y()}, {"width", rect.width()}, {"height", rect.height()}};
}

void onWindow(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call, api::HttpMethod method,
              std::string pattern, WindowHandler handler) {
    router.add(method, std::move(pattern), [call, handler = std::move(handler)](const api::ApiRequest& request) {
        return call->run([&](MainWindow& window) { return handler(window, request); });
    });
}

namespace {

bool isSearch(MainWindow& window) {
    return window.results().searchParametersOld().has_value() || !window.results().allItems().empty();
}

std::optional<int> selectedIndex(MainWindow& window) {
    const auto& selected = window.results().selectedItem();
    if (!selected) return std::nullopt;
    const auto& items = window.results().items();
    const auto found = std::find(items.begin(), items.end(), *selected);
    if (found == items.end()) return std::nullopt;
    return static_cast<int>(found - items.begin());
}

Json selectedItemJson(MainWindow& window) {
    const auto& selected = window.results().selectedItem();
    if (!selected) return nullptr;
    const std::optional<int> index = selectedIndex(window);
    return Json{{"id", std::to_string(selected->combinedHash)},
                {"file_name", selected->fileName},
                {"file_path", selected->urlString},
                {"index", index ? Json(*index) : Json(nullptr)}};
}

// Which part of the window has the keyboard focus, or would have it once the window is active again
// (the application's focus widget is none while another window is in front).
std::string focusedField(MainWindow& window) {
    QWidget* focus = window.focusWidget();
    if (focus == nullptr || focus->window() != &window) return "none";
    const auto within = [focus](QWidget& part) { return focus == &part || part.isAncestorOf(focus); };
    if (within(window.searchField())) return "search_field";
    if (within(window.resultView())) return "list";
    if (within(window.filterPanel())) return "filter_panel";
    if (within(window.preview().transcript())) return "transcript";
    if (within(window.preview())) return "preview";
    if (within(window.sidebar())) return "sidebar";
    return "other";
}

std::string_view itemTypeName(NanItemTypes type) {
    switch (type) {
        case NanItemTypes::file: return "file";
        case NanItemTypes::folder: return "folder";
        case NanItemTypes::emailMessage: return "email_message";
        default: return "other";
    }
}

// Only a regular file inside a searchable folder, links resolved, goes to the desktop's launcher by its
// path: a request must not start a script or a launcher file from anywhere on the disk.
bool isInsideSearchableFolder(folders::CoreManagerData& core, const std::string& path) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    if (ec || !std::filesystem::is_regular_file(target, ec)) return false;
    const std::string file = folders::normalizedFolderPath(target.string());
    for (const auto& manager : core.balancedDataManagers()) {
        const std::filesystem::path root = std::filesystem::canonical(manager->rootFolderUrlString(), ec);
        if (!ec && folders::isSameOrInside(file, folders::normalizedFolderPath(root.string()))) return true;
    }
    return false;
}

Json navigateAnswer(MainWindow& window, bool success, const std::string& message) {
    return Json{{"success", success}, {"message", message}, {"selected_item", selectedItemJson(window)}};
}

// Selects the row as the user's click would, so the view, the model and the preview follow.
void selectRow(MainWindow& window, int row) {
    const QModelIndex index = window.resultModel().index(row, 0);
    window.resultView().setCurrentIndex(index);
    window.resultView().scrollTo(index);
}

// /api/v1/ui/state, list-items, focus, navigate, select, search-state, search, open-in-finder and
// open-external.
class ControlRoutes {
public:
    ControlRoutes(std::shared_ptr<GuiCall> call, std::shared_ptr<WindowRoutes::State> state)
        : call_(std::move(call)), state_(std::move(state)) {}

    api::ApiResponse listItems(const api::ApiRequest&) {
        struct Row {
            NanItem item;
            bool selected = false;
        };
        std::vector<Row> rows;
        bool search = false;
        api::ApiResponse answer = call_->run([&](MainWindow& window) {
            search = isSearch(window);
            const auto& selected = window.results().selectedItem();
            for (const NanItem& item : window.results().items()) rows.push_back({item, selected && *selected == item});
            return api::ApiResponse{};
        });
        if (answer.statusCode != 200) return answer;
        // Asking the disk about every listed file is slow for a long list: done here, not on the GUI thread.
        int64_t onDisk = 0, missing = 0;
        Json items = Json::array();
        for (const Row& row : rows) {
            Json exists = nullptr;
            if (row.item.type != NanItemTypes::emailMessage) {
                std::error_code ec;
                const bool present = std::filesystem::exists(row.item.urlString, ec);
                (present ? onDisk : missing) += 1;
                exists = present;
            }
            items.push_back(Json{{"id", std::to_string(row.item.combinedHash)},
                                 {"file_name", row.item.fileName},
                                 {"file_path", row.item.urlString},
                                 {"type", std::string(itemTypeName(row.item.type))},
                                 {"processing_state", std::string(service::processingStateName(row.item.processingState))},
                                 {"combined_hash", row.item.combinedHash},
                                 {"on_disk", exists},
                                 {"is_selected", row.selected}});
        }
        return record(Json{{"ui_state", search ? "search" : "browse"},
                           {"is_search", search},
                           {"source", search ? "ListSearchViewModel.items" : "ListViewModel.items"},
                           {"item_count", rows.size()},
                           {"items_on_disk", onDisk},
                           {"items_missing_on_disk", missing},
                           {"items", std::move(items)}});
    }

    api::ApiResponse navigate(const api::ApiRequest& request) {
        const std::optional<Json> body = bodyObject(request);
        const auto direction = body ? body->find("direction") : Json::const_iterator{};
        if (!body || direction == body->end() || !direction->is_string()) {
            return badRequest("Expected JSON body with 'direction': 'up' | 'down' | 'first' | 'last'");
        }
        const std::string value = direction->get<std::string>();
        if (value != "up" && value != "down" && value != "first" && value != "last") {
            return badRequest("Invalid direction '" + value + "'. Use: up, down, first, last");
        }
        bool moved = false;
        const api::ApiResponse answer = call_->run([&](MainWindow& window) {
            const int count = window.resultModel().rowCount();
            if (count == 0) return record(navigateAnswer(window, false, "The list is empty"));
            const std::optional<int> current = selectedIndex(window);
            int row = 0;
            if (value == "last") {
                row = count - 1;
            } else if (value == "down") {
                row = current ? std::min(*current + 1, count - 1) : 0;
            } else if (value == "up") {
                row = current ? std::max(*current - 1, 0) : 0;
            }
            selectRow(window, row);
            moved = true;
            return record(navigateAnswer(window, true, "Moved " + value + " to index " + std::to_string(row)));
        });
        if (moved) awaitPreview();
        return answer;
    }

    api::ApiResponse select(const api::ApiRequest& request) {
        const std::optional<Json> body = bodyObject(request);
        const Json* index = nullptr;
        const Json* documentId = nullptr;
        if (body) {
            if (const auto found = body->find("index"); found != body->end() && !found->is_null()) index = &*found;
            if (const auto found = body->find("document_id"); found != body->end() && !found->is_null()) documentId = &*found;
        }
        if (!body || (index && !index->is_number_integer()) || (documentId && !documentId->is_string())) {
            return badRequest("Expected JSON body with 'index' (Int) or 'document_id' (String)");
        }
        if (!index && !documentId) return badRequest("Provide 'index' or 'document_id'");
        bool moved = false;
        const api::ApiResponse answer = call_->run([&](MainWindow& window) {
            const auto& items = window.results().items();
            int64_t row = 0;
            if (index) {
                row = index->get<int64_t>();
                if (row < 0 || row >= static_cast<int64_t>(items.size())) {
                    return badRequest("Index " + std::to_string(row) + " out of range (0.." +
                                      std::to_string(static_cast<int64_t>(items.size()) - 1) + ")");
                }
            } else {
                const std::string id = documentId->get<std::string>();
                const auto found = std::find_if(items.begin(), items.end(),
                                                [&](const NanItem& item) { return std::to_string(item.combinedHash) == id; });
                if (found == items.end()) return badRequest("Document " + id + " not found in current list");
                row = found - items.begin();
            }
            selectRow(window, static_cast<int>(row));
            moved = true;
            return record(navigateAnswer(window, true, "Selected item at index " + std::to_string(row)));
        });
        if (moved) awaitPreview();
        return answer;
    }

    api::ApiResponse search(const api::ApiRequest& request) {
        const std::optional<Json> body = bodyObject(request);
        const auto query = body ? body->find("query") : Json::const_iterator{};
        if (!body || query == body->end() || !query->is_string()) {
            return badRequest("Expected JSON body with 'query': String");
        }
        const std::string text = query->get<std::string>();
        api::ApiResponse started = call_->run([&](MainWindow& window) {
            window.searchField().setText(QString::fromStdString(text));
            window.results().submitSearchText(text);  // as the Return key does: no typing pause
            return api::ApiResponse{};
        });
        if (started.statusCode != 200) return started;
        // The search runs in the background and lands through the GUI thread, which must stay free meanwhile.
        // The handler threads are few: a long search is answered with what it has found so far.
        const auto deadline = std::chrono::steady_clock::now() + state_->options.searchTimeout;
        for (;;) {
            const bool late = std::chrono::steady_clock::now() >= deadline;
            bool busy = true;
            api::ApiResponse answer = call_->run([&](MainWindow& window) {
                busy = window.results().isBusy();
                if (busy && !late) return api::ApiResponse{};
                Json result{{"success", true},
                            {"query", text},
                            {"result_count", window.results().resultCount()},
                            {"message", window.results().resultCountText()}};
                if (busy) result["note"] = "The search is still running; the count is what it has found so far";
                return record(result);
            });
            if (answer.statusCode != 200 || !busy || late) return answer;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    api::ApiResponse openFile(const api::ApiRequest& request, bool reveal) {
        const std::optional<Json> body = bodyObject(request);
        const Json* documentId = nullptr;
        const Json* filePath = nullptr;
        if (body) {
            if (const auto found = body->find("document_id"); found != body->end() && !found->is_null()) documentId = &*found;
            if (const auto found = body->find("file_path"); found != body->end() && !found->is_null()) filePath = &*found;
        }
        if (!body || (documentId && !documentId->is_string()) || (filePath && !filePath->is_string())) {
            return badRequest("Expected JSON with 'document_id' or 'file_path'");
        }
        if (!documentId && !filePath) return badRequest("Provide 'document_id' or 'file_path'");
        std::string path;
        if (documentId) {
            const auto id = service::parseDocumentId(documentId->get<std::string>());
            if (!id) return badRequest("Invalid document ID");
            const auto found = state_->documents.find(*id);
            if (!found) return api::errorResponse(404, "not_found", "Document not found");
            path = found->item.urlString;
            std::error_code ec;
            if (!std::filesystem::exists(path, ec)) return api::errorResponse(404, "not_found", "File not found: " + path);
        } else {
            path = filePath->get<std::string>();
            if (!isInsideSearchableFolder(state_->core, path)) {
                return api::errorResponse(404, "not_found", "File not found: " + path);
            }
        }
        return call_->run([&](MainWindow&) {
            const QString file = QString::fromStdString(path);
            if (reveal) {
                if (!revealInFileManager(file)) return api::errorResponse(500, "internal", "Failed to reveal: " + path);
                return record(Json{{"success", true}, {"message", "Revealed in Finder: " + path}});
            }
            if (!openWithDefaultApplication(file)) return api::errorResponse(500, "internal", "Failed to open: " + path);
            return record(Json{{"success", true}, {"message", "Opened: " + path}});
        });
    }

private:
    // The preview reads a newly selected document in the background. A selecting route answers once it
    // shows it, so that the client's next request sees its pages and matches; the GUI thread stays free.
    void awaitPreview() {
        const auto hashOf = [](const std::optional<NanItem>& item) {
            return item ? std::optional(item->combinedHash) : std::nullopt;
        };
        const auto deadline = std::chrono::steady_clock::now() + state_->options.searchTimeout;
        for (;;) {
            bool shown = true;
            const api::ApiResponse step = call_->run([&](MainWindow& window) {
                shown = !window.preview().isLoadingDocument() &&
                        hashOf(window.preview().document()) == hashOf(window.results().selectedItem());
                return api::ApiResponse{};
            });
            if (step.statusCode != 200 || shown || std::chrono::steady_clock::now() >= deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::shared_ptr<GuiCall> call_;
    std::shared_ptr<WindowRoutes::State> state_;
};

api::ApiResponse uiState(MainWindow& window, const api::ApiRequest&) {
    const bool search = isSearch(window);
    return record(Json{{"focused_field", focusedField(window)},
                       {"ui_state", search ? "search" : "browse"},
                       {"is_search", search},
                       {"selected_item", selectedItemJson(window)},
                       {"item_count", window.results().items().size()}});
}

api::ApiResponse focusList(MainWindow& window, const api::ApiRequest&) {
    window.resultView().setFocus(Qt::OtherFocusReason);  // not raising the window over the user's work
    return record(Json{{"success", true}, {"message", "Focus set to list view"}});
}

// The rectangles the preview marks on the shown page, top-left origin, corners in the stored order.
api::ApiResponse searchState(MainWindow& window, const api::ApiRequest&) {
    PreviewPanel& preview = window.preview();
    Json rects = Json::array();
    for (const OcrRect& r : preview.highlightedRects()) {
        Json points = Json::array();
        for (const auto& [x, y] : {std::pair{r.p0x, r.p0y}, {r.p1x, r.p1y}, {r.p2x, r.p2y}, {r.p3x, r.p3y}}) {
            points.push_back(Json::array({x, 1.0 - y}));
        }
        rects.push_back(Json{{"page", preview.pageIndex() + 1}, {"text", r.ocrContent}, {"points", std::move(points)}});
    }
    const size_t count = rects.size();
    const SearchParameters& parameters = window.results().parameters();
    const auto& shown = preview.document();
    return record(Json{{"is_search", isSearch(window)},
                       {"search_text", window.searchField().text().toStdString()},
                       {"exact_phrase", parameters.searchWithQuotes},
                       {"fuzzy_search", parameters.fuzzySearch},
                       {"match_rects", std::move(rects)},
                       {"match_count", count},
                       {"debug",
                        Json{{"detail_item", shown ? Json(shown->fileName) : Json(nullptr)},
                             {"detail_page_index", preview.pageIndex()},
                             {"detail_has_image", preview.hasImage()},
                             {"detail_total_pages", preview.totalPages()},
                             {"transcript_busy", preview.isLoadingDocument()}}}});
}

api::ApiResponse screenshot(MainWindow& window, const api::ApiRequest&) {
    const QPixmap shot = window.grab();
    QByteArray png;
    QBuffer buffer(&png);
    if (shot.isNull() || !buffer.open(QIODevice::WriteOnly) || !shot.save(&buffer, "PNG")) {
        return api::errorResponse(500, "internal", "Failed to capture window screenshot");
    }
    api::ApiResponse response;
    response.headers["Content-Type"] = "image/png";
    response.body = png.toStdString();
    return response;
}

}  // namespace

void registerControlRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call,
                           const std::shared_ptr<WindowRoutes::State>& state) {
    using api::HttpMethod;
    auto routes = std::make_shared<ControlRoutes>(call, state);  // kept by the handlers that use it
    const auto bound = [&routes](api::ApiResponse (ControlRoutes::*method)(const api::ApiRequest&)) {
        return [routes, method](const api::ApiRequest& request) { return ((*routes).*method)(request); };
    };
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/state", uiState);
    router.add(HttpMethod::get, "/api/v1/ui/list-items", bound(&ControlRoutes::listItems));
    onWindow(router, call, HttpMethod::post, "/api/v1/ui/focus", focusList);
    router.add(HttpMethod::post, "/api/v1/ui/navigate", bound(&ControlRoutes::navigate));
    router.add(HttpMethod::post, "/api/v1/ui/select", bound(&ControlRoutes::select));
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/search-state", searchState);
    router.add(HttpMethod::post, "/api/v1/ui/search", bound(&ControlRoutes::search));
    registerPreviewRoutes(router, call);
    router.add(HttpMethod::post, "/api/v1/ui/open-in-finder",
               [routes](const api::ApiRequest& request) { return routes->openFile(request, true); });
    router.add(HttpMethod::post, "/api/v1/ui/open-external",
               [routes](const api::ApiRequest& request) { return routes->openFile(request, false); });
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/screenshot", screenshot);
}

}  // namespace routes

WindowRoutes::WindowRoutes(GuiCall::Poster post, folders::CoreManagerData& core, Options options)
    : call_(std::make_shared<GuiCall>(std::move(post), options.guiTimeout)),
      state_(std::make_shared<State>(core)) {
    state_->options = options;
}

WindowRoutes::~WindowRoutes() { call_->close(); }

void WindowRoutes::registerOn(api::ApiRouter& router) {
    routes::registerAlertAndDebugRoutes(router, call_);
    routes::registerControlRoutes(router, call_, state_);
    routes::registerPopupAndLayoutRoutes(router, call_);
}

}  // namespace lumidex::ui
