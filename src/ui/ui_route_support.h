// Shared by the window's route files: answer records, body reading and the registration of a handler
// whose work runs on the GUI thread. Internal to lumidex_ui.
#pragma once

#include <QRect>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "api/api_router.h"
#include "service/document_service.h"
#include "ui/gui_call.h"
#include "ui/ui_routes.h"

namespace lumidex::ui::routes {

using Json = nlohmann::ordered_json;

// Fields keep the order they are written in.
api::ApiResponse record(const Json& value, int statusCode = 200);
api::ApiResponse badRequest(std::string_view message);

// The body as a JSON object; none when it is missing, not JSON or not an object.
std::optional<Json> bodyObject(const api::ApiRequest& request);

// A number as the messages write it: shortest form, a whole number with ".0" ("0.1", "8.0").
std::string numberText(double value);

Json frameJson(const QRect& rect);

using WindowHandler = std::function<api::ApiResponse(MainWindow&, const api::ApiRequest&)>;
// Adds a route whose whole handling is one step on the GUI thread.
void onWindow(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call, api::HttpMethod method,
              std::string pattern, WindowHandler handler);

}  // namespace lumidex::ui::routes

namespace lumidex::ui {

struct WindowRoutes::State {
    explicit State(folders::CoreManagerData& coreData) : core(coreData), documents(coreData) {}
    folders::CoreManagerData& core;  // its folder lookups are thread-safe
    service::DocumentService documents;  // thread-safe
    WindowRoutes::Options options;
};

namespace routes {
// /api/v1/alerts* and /api/v1/debug/*: alerts and the preview's debug routes.
void registerAlertAndDebugRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call);
// /api/v1/ui/*: state, list, selection, search, preview, sort, filters, desktop actions, screenshot.
void registerControlRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call,
                           const std::shared_ptr<WindowRoutes::State>& state);
// /api/v1/ui/zoom, page, transcript, sort and filters (called by registerControlRoutes).
void registerPreviewRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call);
// /api/v1/ui/popups* and /api/v1/ui/debug/margins: popups and the list's layout figures.
void registerPopupAndLayoutRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call);
}  // namespace routes

}  // namespace lumidex::ui
