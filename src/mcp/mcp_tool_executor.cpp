// Tool calls as internal REST requests.
//
// Argument translations: where a tool advertises an argument in words its route does not read, the
// call is rewritten before it reaches the router, so that every advertised argument does what its
// description says. Everything not listed here goes to the route unchanged.
//
//   search_documents   limit: absent → 20; an integer is clamped to 1..100 (other types pass, so the
//                        route refuses them as it would for any client).
//                      sort_order: absent → "relevance" (the route would use newest first); the five
//                        advertised words are the route's own; any other value is refused.
//                      folders: each folder ID (from list_folders) → that folder's path, which is what
//                        the route scopes by; a value starting with "/" passes as a path; an unknown ID is
//                        refused with the folder routes' 404 "Folder not found", never dropped (an empty
//                        scope would search every folder).
//                      source_types: the advertised words are the route's own; unchanged.
//   list_folder_contents  limit: absent → 50 (the route would give 100); an integer is clamped to
//                        1..500.
//   get_settings       category → path: all → /api/v1/settings, file_types → /api/v1/settings/file-types,
//                        search|processing|appearance|sharing|server → /api/v1/settings/<category>.
//   patch_settings_search      min_query_length → min_char_count; max_results → result_limit;
//                              highlight_matches → show_ocr_rects.
//   patch_settings_appearance  theme → style_type ("auto"/"system" → "Auto", "light" → "Light",
//                              "dark" → "Dark"); show_thumbnails → show_thumbnails_in_list.
//   patch_settings_*   every other advertised property passes unchanged; those the settings routes do
//                        not store are named in a second text item of the result.
//   ui_navigate        with index or document_id → POST /api/v1/ui/select (direction dropped).
//   ui_set_zoom        fit_mode "fitWidth" → "width", "fitPage" → "height", "actualSize" → "none".
//   ui_set_page        action "prev" → "previous"; page (1-based) → page_number.
//   ui_set_transcript  visible false → visibility "hidden"; otherwise mode → visibility; visible true
//                        without mode → "split".
//   ui_set_sort        sort → sort_order; "newest" → "new2Old", "oldest" → "old2New", "name_asc" → "a2z",
//                        "name_desc" → "z2a" ("relevance" and the route's own values unchanged).
//   ui_set_filters     clear → reset; date_range "FROM..TO" → date_range_min / date_range_max (an empty
//                        end is left out; one date without ".." sets both).
//   ui_dismiss_alert   dismiss_all → all.
//   search_mail        query → q.
//   reindex_apple_mail restart → the query parameter restart=true|false (the route reads the query).
//   create_mail_draft  attachments: a path string → {"path": …}; {filename, content} → {"inline": {…}}.
//   reveal_mail_in_finder  GET /api/v1/mail/find-emlx?rowid=… , then POST /api/v1/ui/open-in-finder
//                        with the message file's path.
//   GET tools          booleans become "true"/"false", numbers their decimal text.
#include "mcp/mcp_tool_executor.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <variant>

#include "api/api_router.h"
#include "core/app_log.h"
#include "core/model/json_coding.h"
#include "mcp/mcp_manual.h"
#include "mcp/mcp_tool_catalogue.h"
#include "platform/unicode.h"
#include "service/app_identity.h"

namespace lumidex::mcp {
namespace {

using api::ApiRequest;
using api::ApiResponse;
using api::HttpMethod;

constexpr const char* kConfirmRefusal = "This action requires confirm=true. Refused for safety.";
constexpr int64_t kSearchDefaultLimit = 20;
constexpr int64_t kSearchMaxLimit = 100;
constexpr int64_t kContentsDefaultLimit = 50;
constexpr int64_t kContentsMaxLimit = 500;
constexpr int64_t kManualDefaultLimit = 5;
constexpr int64_t kManualMaxLimit = 20;

McpToolResult textResult(std::string text, bool isError, std::optional<Json> structured = std::nullopt) {
    McpToolResult result;
    McpToolContent content;
    content.type = "text";
    content.text = std::move(text);
    result.content.push_back(std::move(content));
    result.isError = isError;
    result.structured = std::move(structured);
    return result;
}

McpToolResult jsonResult(const Json& value) { return textResult(value.dump(), false, value); }

ApiResponse badRequest(const std::string& message) { return api::errorResponse(400, "bad_request", message); }

bool isUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();  // strict: throws on the first invalid sequence
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
            byte == '-' || byte == '.' || byte == '_' || byte == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

// A query parameter's text: strings as they are, booleans "true"/"false", numbers in decimal, anything
// else as compact JSON (the route then refuses what it cannot read).
std::string queryText(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    return value.dump();
}

// An integer argument, also from an integral floating-point number; none for anything else.
std::optional<int64_t> integerValue(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<uint64_t>();
        return number > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (number >= -9.0e15 && number <= 9.0e15 && number == static_cast<double>(static_cast<int64_t>(number))) {
            return static_cast<int64_t>(number);
        }
    }
    return std::nullopt;
}

const std::string* headerValue(const ApiResponse& response, std::string_view lowerName) {
    for (const auto& [name, value] : response.headers) {
        if (asciiLower(name) == lowerName) return &value;
    }
    return nullptr;
}

McpToolResult convert(const ApiResponse& response) {
    const bool isError = response.statusCode >= 400;
    if (!response.body || response.body->empty()) {
        return textResult(isError ? "Request failed with status " + std::to_string(response.statusCode) : "{}", isError);
    }
    const std::string& body = *response.body;
    const std::string* type = headerValue(response, "content-type");
    if (type && asciiLower(*type).starts_with("image/png")) {
        McpToolResult result;
        McpToolContent image;
        image.type = "image";
        image.data = base64Encode(std::vector<uint8_t>(body.begin(), body.end()));
        image.mimeType = "image/png";
        result.content.push_back(std::move(image));
        result.isError = isError;
        return result;
    }
    if (!isUtf8(body)) {
        return textResult("Binary response of " + std::to_string(body.size()) + " bytes" +
                              (type ? " (" + *type + ")" : std::string()),
                          isError);
    }
    Json parsed = Json::parse(body, nullptr, false);
    std::optional<Json> structured;
    if (parsed.is_object()) structured = std::move(parsed);
    return textResult(body, isError, std::move(structured));
}

// --- building the request ---

struct Outgoing {
    HttpMethod method = HttpMethod::get;
    std::string path;
    std::map<std::string, std::string> query;
    Json body = Json::object();
    std::vector<std::string> notes;  // extra text items for a successful answer
};

std::vector<std::string> patternPieces(const std::string& pattern) {
    std::vector<std::string> pieces;
    std::size_t start = 1;
    while (start <= pattern.size()) {
        const std::size_t end = std::min(pattern.find('/', start), pattern.size());
        pieces.push_back(pattern.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

// The request of a REST row, or the refusal of an unusable path argument.
std::variant<Outgoing, ApiResponse> buildRequest(const ToolRow& row, const Json& args) {
    Outgoing out;
    out.method = row.route.method;
    std::vector<std::string> pathArguments;
    for (const std::string& piece : patternPieces(row.route.pattern)) {
        out.path += '/';
        if (piece.empty() || piece.front() != ':') {
            out.path += piece;
            continue;
        }
        const std::string name = piece.substr(1);
        pathArguments.push_back(name);
        const auto found = args.find(name);
        std::string text;
        if (found != args.end() && found->is_string()) {
            text = found->get<std::string>();
        } else if (found != args.end() && found->is_number_integer()) {
            text = found->dump();
        } else if (found != args.end() && !found->is_null()) {
            return badRequest("'" + name + "' must be a string");
        }
        // An empty piece would vanish from the path and let it match a shorter route.
        if (text.empty()) return badRequest("Missing required argument '" + name + "'");
        out.path += percentEncode(text);
    }
    const Json& properties = row.definition.inputSchema["properties"];
    for (const auto& [name, schema] : properties.items()) {
        (void)schema;
        if (name == "confirm" || std::find(pathArguments.begin(), pathArguments.end(), name) != pathArguments.end()) continue;
        const auto found = args.find(name);
        if (found == args.end() || found->is_null()) continue;
        const bool toQuery = out.method == HttpMethod::get ||
                             std::find(row.route.queryArguments.begin(), row.route.queryArguments.end(), name) !=
                                 row.route.queryArguments.end();
        if (toQuery) {
            out.query[name] = queryText(*found);
        } else if (out.method == HttpMethod::post || out.method == HttpMethod::patch) {
            out.body[name] = *found;
        }
    }
    return out;
}

void rename(Json& body, const char* from, const char* to) {
    const auto found = body.find(from);
    if (found == body.end()) return;
    Json value = std::move(*found);
    body.erase(from);
    body[to] = std::move(value);
}

// Replaces a string member's value by its translation, when it has one.
void translateValue(Json& body, const char* key, std::initializer_list<std::pair<const char*, const char*>> words) {
    const auto found = body.find(key);
    if (found == body.end() || !found->is_string()) return;
    const std::string value = found->get<std::string>();
    for (const auto& [from, to] : words) {
        if (value == from) *found = to;
    }
}

// Advertised settings the routes do not store; they pass through and are named in the answer.
const std::map<std::string, std::vector<std::string>, std::less<>>& settingsWithoutCounterpart() {
    static const std::map<std::string, std::vector<std::string>, std::less<>> names{
        {"patch_settings_search",
         {"case_sensitive", "fuzzy_search", "whole_word", "search_in_filenames", "auto_search", "snippet_length",
          "exclude_patterns"}},
        {"patch_settings_processing",
         {"ocr_enabled", "ocr_language", "auto_process_new", "max_concurrent_tasks", "process_images", "process_pdfs",
          "thumbnail_quality", "ocr_quality", "max_file_size_mb"}},
        {"patch_settings_appearance", {"accent_color", "sidebar_visible", "list_density", "grid_view"}},
        {"patch_settings_sharing",
         {"enabled", "require_approval", "share_name", "max_devices", "auto_accept_known", "read_only", "sharee_key"}},
    };
    return names;
}

}  // namespace

McpToolExecutor::McpToolExecutor(const api::ApiRouter& router, McpToolContext context)
    : router_(&router), context_(std::move(context)) {}

const std::vector<McpToolDefinition>& McpToolExecutor::listTools() const { return mcpToolCatalogue(); }

bool McpToolExecutor::hasTool(std::string_view name) const { return findToolRow(name) != nullptr; }

namespace {

class Call {
public:
    Call(const api::ApiRouter& router, const McpToolContext& context, const ToolRow& row, const Json& args)
        : router_(router), context_(context), row_(row), args_(args) {}

    McpToolResult run() {
        const std::string& name = row_.definition.name;
        if (row_.route.confirm) {
            const auto confirm = args_.find("confirm");
            if (confirm == args_.end() || !confirm->is_boolean() || !confirm->get<bool>()) {
                return textResult(kConfirmRefusal, true);
            }
        }
        switch (row_.route.kind) {
            case ToolKind::noStore:
                return convert(api::errorResponse(404, "not_found", "No mail store available for " + name));
            case ToolKind::local:
                if (name == "get_app_status") return appStatus();
                if (name == "search_manual") return searchManual();
                if (name == "get_manual_section") return manualSection();
                if (name == "reveal_mail_in_finder") return revealMail();
                return convert(api::errorResponse(404, "not_found", "No route for tool " + name));
            case ToolKind::rest: break;
        }
        auto built = buildRequest(row_, args_);
        if (auto* refusal = std::get_if<ApiResponse>(&built)) return convert(*refusal);
        Outgoing& out = std::get<Outgoing>(built);
        if (auto refusal = translate(out)) return convert(*refusal);
        McpToolResult result = convert(dispatch(out));
        if (!result.isError) {
            for (std::string& note : out.notes) result.content.push_back(McpToolContent{"text", std::move(note), {}, {}});
        }
        return result;
    }

private:
    ApiResponse dispatch(const Outgoing& out) const {
        ApiRequest request;
        request.method = out.method;
        request.path = out.path;
        request.queryParameters = out.query;
        if (out.method == HttpMethod::post || out.method == HttpMethod::patch) {
            request.headers["content-type"] = "application/json";
            request.body = out.body.dump(-1, ' ', false, Json::error_handler_t::replace);
        }
        return router_.handle(std::move(request));
    }

    ApiResponse get(std::string path, std::map<std::string, std::string> query = {}) const {
        Outgoing out;
        out.path = std::move(path);
        out.query = std::move(query);
        return dispatch(out);
    }

    // The argument translations listed at the top of this file; a refusal ends the call.
    std::optional<ApiResponse> translate(Outgoing& out) const {
        const std::string& name = row_.definition.name;
        Json& body = out.body;
        if (name == "search_documents") return translateSearch(body);
        if (name == "list_folder_contents") {
            const auto limit = args_.find("limit");
            const auto number = limit == args_.end() ? std::nullopt : integerValue(*limit);
            if (limit == args_.end() || limit->is_null()) {
                out.query["limit"] = std::to_string(kContentsDefaultLimit);
            } else if (number) {
                out.query["limit"] = std::to_string(std::clamp<int64_t>(*number, 1, kContentsMaxLimit));
            }
        } else if (name == "get_settings") {
            const auto category = out.query.find("category");
            const std::string word = category == out.query.end() ? "all" : category->second;
            if (category != out.query.end()) out.query.erase(category);
            if (word == "file_types") {
                out.path = "/api/v1/settings/file-types";
            } else if (word == "search" || word == "processing" || word == "appearance" || word == "sharing" ||
                       word == "server") {
                out.path = "/api/v1/settings/" + word;
            } else if (word != "all") {
                return badRequest("category must be one of: all, search, processing, appearance, server, file_types");
            }
        } else if (name.starts_with("patch_settings_")) {
            if (name == "patch_settings_search") {
                rename(body, "min_query_length", "min_char_count");
                rename(body, "max_results", "result_limit");
                rename(body, "highlight_matches", "show_ocr_rects");
            } else if (name == "patch_settings_appearance") {
                if (const auto theme = body.find("theme"); theme != body.end() && theme->is_string()) {
                    const std::string word = asciiLower(theme->get<std::string>());
                    if (word == "auto" || word == "system") *theme = "Auto";
                    if (word == "light") *theme = "Light";
                    if (word == "dark") *theme = "Dark";
                }
                rename(body, "theme", "style_type");
                rename(body, "show_thumbnails", "show_thumbnails_in_list");
            }
            std::string ignored;
            if (const auto unstored = settingsWithoutCounterpart().find(name); unstored != settingsWithoutCounterpart().end()) {
                for (const std::string& key : unstored->second) {
                    if (body.contains(key)) ignored += (ignored.empty() ? "" : ", ") + key;
                }
            }
            if (!ignored.empty()) out.notes.push_back("Not stored (no such setting in this version): " + ignored);
        } else if (name == "ui_navigate") {
            if (body.contains("index") || body.contains("document_id")) {
                out.path = "/api/v1/ui/select";
                body.erase("direction");
            }
        } else if (name == "ui_set_zoom") {
            translateValue(body, "fit_mode", {{"fitWidth", "width"}, {"fitPage", "height"}, {"actualSize", "none"}});
        } else if (name == "ui_set_page") {
            translateValue(body, "action", {{"prev", "previous"}});
            rename(body, "page", "page_number");
        } else if (name == "ui_set_transcript") {
            const auto visible = body.find("visible");
            if (visible != body.end() && visible->is_boolean() && !visible->get<bool>()) {
                body["visibility"] = "hidden";
            } else if (body.contains("mode")) {
                body["visibility"] = body["mode"];
            } else if (visible != body.end() && visible->is_boolean()) {
                body["visibility"] = "split";
            }
            body.erase("visible");
            body.erase("mode");
        } else if (name == "ui_set_sort") {
            translateValue(body, "sort",
                           {{"newest", "new2Old"}, {"oldest", "old2New"}, {"name_asc", "a2z"}, {"name_desc", "z2a"}});
            rename(body, "sort", "sort_order");
        } else if (name == "ui_set_filters") {
            rename(body, "clear", "reset");
            if (const auto range = body.find("date_range"); range != body.end() && range->is_string()) {
                const std::string text = range->get<std::string>();
                const std::size_t dots = text.find("..");
                const std::string from = dots == std::string::npos ? text : text.substr(0, dots);
                const std::string to = dots == std::string::npos ? text : text.substr(dots + 2);
                body.erase("date_range");
                if (!from.empty()) body["date_range_min"] = from;
                if (!to.empty()) body["date_range_max"] = to;
            }
        } else if (name == "ui_dismiss_alert") {
            rename(body, "dismiss_all", "all");
        } else if (name == "search_mail") {
            if (auto query = out.query.extract("query")) out.query["q"] = std::move(query.mapped());
        } else if (name == "create_mail_draft") {
            if (const auto list = body.find("attachments"); list != body.end() && list->is_array()) {
                for (Json& attachment : *list) {
                    if (attachment.is_string()) {
                        attachment = Json{{"path", attachment}};
                    } else if (attachment.is_object() && !attachment.contains("path") && !attachment.contains("inline")) {
                        attachment = Json{{"inline", attachment}};
                    }
                }
            }
        }
        return std::nullopt;
    }

    std::optional<ApiResponse> translateSearch(Json& body) const {
        const auto limit = body.find("limit");
        if (limit == body.end()) {
            body["limit"] = kSearchDefaultLimit;
        } else if (const auto number = integerValue(*limit)) {
            *limit = std::clamp<int64_t>(*number, 1, kSearchMaxLimit);
        }
        const auto order = body.find("sort_order");
        if (order == body.end()) {
            body["sort_order"] = "relevance";
        } else {
            static const std::vector<std::string> words{"relevance", "newest", "oldest", "name_asc", "name_desc"};
            if (!order->is_string() || std::find(words.begin(), words.end(), order->get<std::string>()) == words.end()) {
                return badRequest("sort_order must be one of: relevance, newest, oldest, name_asc, name_desc");
            }
        }
        const auto folders = body.find("folders");
        if (folders == body.end() || !folders->is_array() || folders->empty()) return std::nullopt;
        const ApiResponse listing = get("/api/v1/folders");
        if (listing.statusCode >= 400) return listing;
        const Json known = Json::parse(listing.body.value_or(""), nullptr, false);
        for (Json& folder : *folders) {
            if (!folder.is_string()) continue;  // the route refuses what is not a string
            const std::string id = folder.get<std::string>();
            if (id.starts_with("/")) continue;
            const Json* match = nullptr;
            if (known.is_object() && known.contains("folders") && known["folders"].is_array()) {
                for (const Json& entry : known["folders"]) {
                    if (entry.is_object() && entry.value("id", "") == id) match = &entry;
                }
            }
            if (!match || !match->contains("path") || !(*match)["path"].is_string()) {
                return api::errorResponse(404, "not_found", "Folder not found: " + id);
            }
            folder = (*match)["path"];
        }
        return std::nullopt;
    }

    McpToolResult appStatus() const {
        const service::AppIdentity identity = service::appIdentity();
        const double uptime = std::chrono::duration<double>(std::chrono::system_clock::now() - context_.startTime).count();
        const uint16_t port = context_.actualPort ? context_.actualPort() : 0;
        Json status;
        status["status"] = "running";
        status["version"] = identity.version;
        status["build_number"] = identity.buildNumber;
        status["uptime_seconds"] = static_cast<int64_t>(uptime);
        status["port"] = port;
        const auto seconds = static_cast<int64_t>(uptime);
        std::string text = "App is running, version " + identity.version + " (build " + identity.buildNumber +
                           "), uptime " + std::to_string(seconds / 3600) + "h " + std::to_string(seconds / 60 % 60) +
                           "m " + std::to_string(seconds % 60) + "s, " +
                           (port ? "API server on port " + std::to_string(port) : std::string("API server not listening"));
        return textResult(std::move(text), false, std::move(status));
    }

    const McpManualStore& manual() const { return context_.manual ? *context_.manual : McpManualStore::builtIn(); }

    // "de" or "en" from the argument, else from the context, else from the locale environment.
    std::variant<std::string, McpToolResult> language() const {
        if (const auto given = args_.find("language"); given != args_.end() && !given->is_null()) {
            if (given->is_string() && (*given == "de" || *given == "en")) return given->get<std::string>();
            return textResult("language must be 'de' or 'en'", true);
        }
        if (context_.systemLanguage == "de" || context_.systemLanguage == "en") return context_.systemLanguage;
        for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(variable);
            if (value && *value) return std::string_view(value).starts_with("de") ? "de" : "en";
        }
        return std::string("en");
    }

    McpToolResult searchManual() const {
        const auto query = args_.find("query");
        if (query == args_.end() || !query->is_string() || platform::characterCount(query->get<std::string>()) < 2) {
            return textResult("Query must be at least 2 characters", true);
        }
        auto lang = language();
        if (auto* refusal = std::get_if<McpToolResult>(&lang)) return std::move(*refusal);
        int64_t limit = kManualDefaultLimit;
        if (const auto given = args_.find("limit"); given != args_.end() && !given->is_null()) {
            const auto number = integerValue(*given);
            if (!number) return textResult("limit must be an integer", true);
            limit = std::clamp<int64_t>(*number, 1, kManualMaxLimit);
        }
        const std::string& languageName = std::get<std::string>(lang);
        Json results = Json::array();
        for (const McpManualStore::Hit& hit :
             manual().search(query->get<std::string>(), languageName, static_cast<std::size_t>(limit))) {
            Json entry;
            entry["id"] = hit.section->id;
            entry["chapter"] = hit.section->chapter;
            entry["title"] = hit.section->title;
            entry["snippet"] = hit.snippet;
            entry["match_count"] = hit.matchCount;
            results.push_back(std::move(entry));
        }
        Json answer;
        answer["query"] = query->get<std::string>();
        answer["language"] = languageName;
        answer["results"] = std::move(results);
        return jsonResult(answer);
    }

    McpToolResult manualSection() const {
        const auto id = args_.find("id");
        if (id == args_.end() || !id->is_string() || id->get<std::string>().empty()) {
            return textResult("Missing required argument 'id'", true);
        }
        auto lang = language();
        if (auto* refusal = std::get_if<McpToolResult>(&lang)) return std::move(*refusal);
        const ManualFile* file = manual().manual(std::get<std::string>(lang));
        std::string available;
        if (file) {
            for (const ManualSection& section : file->sections) {
                if (section.id == *id) {
                    Json answer;
                    answer["id"] = section.id;
                    answer["chapter"] = section.chapter;
                    answer["title"] = section.title;
                    answer["body"] = section.body;
                    return jsonResult(answer);
                }
                available += (available.empty() ? "" : ", ") + section.id;
            }
        }
        return textResult("Unknown section: " + id->get<std::string>() + ". Available: " + available, true);
    }

    McpToolResult revealMail() const {
        const auto rowid = args_.find("rowid");
        const auto number = rowid == args_.end() ? std::nullopt : integerValue(*rowid);
        if (!number) return convert(badRequest("Missing or invalid rowid"));
        const ApiResponse found = get("/api/v1/mail/find-emlx", {{"rowid", std::to_string(*number)}});
        if (found.statusCode >= 400) return convert(found);
        const Json answer = Json::parse(found.body.value_or(""), nullptr, false);
        if (!answer.is_object() || !answer.value("found", false) || !answer.contains("path") || !answer["path"].is_string()) {
            return convert(api::errorResponse(404, "not_found", "No message file for rowid " + std::to_string(*number)));
        }
        Outgoing reveal;
        reveal.method = HttpMethod::post;
        reveal.path = "/api/v1/ui/open-in-finder";
        reveal.body["file_path"] = answer["path"];
        return convert(dispatch(reveal));
    }

    const api::ApiRouter& router_;
    const McpToolContext& context_;
    const ToolRow& row_;
    const Json& args_;
};

}  // namespace

McpToolResult McpToolExecutor::callTool(const std::string& name, const Json& arguments) const {
    try {
        const ToolRow* row = findToolRow(name);
        if (!row) return textResult("Unknown tool: " + name, true);
        if (!arguments.is_null() && !arguments.is_object()) return textResult("Tool arguments must be a JSON object", true);
        const Json args = arguments.is_null() ? Json::object() : arguments;
        return Call(*router_, context_, *row, args).run();
    } catch (const std::exception& error) {
        appLog("[mcp] tool " + name + " failed: " + error.what());
    } catch (...) {
        appLog("[mcp] tool " + name + " failed");
    }
    return textResult("Internal error while running " + name, true);
}

}  // namespace lumidex::mcp
