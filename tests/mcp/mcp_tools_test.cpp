// The tool executor against the real routes over a running index (where what the route does with a
// call matters), and against a small router of its own (where only the request or the conversion of
// the answer is looked at).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "../api/index_fixture.h"
#include "core/model/json_coding.h"
#include "folders/registry/security_bookmarks.h"
#include "mcp/mcp_manual.h"
#include "mcp/mcp_tool_executor.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "search/coordinator_folder_index.h"
#include "service/document_service.h"
#include "service/folder_service.h"
#include "service/index_identity.h"
#include "service/search_service.h"

namespace lumidex::mcp {
namespace {

using api::ApiRequest;
using api::ApiResponse;
using api::HttpMethod;

std::string text(const McpToolResult& result) {
    return result.content.empty() || !result.content[0].text ? std::string() : *result.content[0].text;
}

class ToolsOverIndex : public api::testing::IndexFixture {
protected:
    void SetUp() override {
        for (int i = 0; i < 22; ++i) file("note" + std::to_string(i) + ".txt", "x" + std::to_string(i));
        runner->storedText = "kangaroo report";
        startIndex();
        ASSERT_TRUE(bookmarks.add(root.string()));
        search = std::make_unique<service::SearchService>(search::coordinatorFolderList(*core));
        documents = std::make_unique<service::DocumentService>(*core);
        folderService = std::make_unique<service::FolderService>(
            bookmarks, folders::ProtectedFolders::forCurrentUser(scratch / "data"), core.get());
        services.searchService = search.get();
        services.documentService = documents.get();
        services.folderService = folderService.get();
        api::registerSearchDocumentFolderRoutes(router, services);
    }

    McpToolResult call(const std::string& name, const Json& arguments = Json::object()) {
        return executor.callTool(name, arguments);
    }

    folders::SecurityBookmarks bookmarks{scratch / "data"};
    std::unique_ptr<service::SearchService> search;
    std::unique_ptr<service::DocumentService> documents;
    std::unique_ptr<service::FolderService> folderService;
    McpToolExecutor executor{router};
};

TEST_F(ToolsOverIndex, DestructiveToolsNeedConfirmTrue) {
    const std::string id = idOf("note1.txt");
    for (const Json& arguments : {Json{{"document_id", id}}, Json{{"document_id", id}, {"confirm", false}},
                                  Json{{"document_id", id}, {"confirm", "true"}}}) {
        const McpToolResult refused = call("delete_document", arguments);
        EXPECT_TRUE(refused.isError) << arguments.dump();
        EXPECT_EQ(text(refused), "This action requires confirm=true. Refused for safety.");
    }
    EXPECT_FALSE(call("get_document_metadata", {{"document_id", id}}).isError) << "refusal must leave the document";
    const std::string folder = std::to_string(service::folderId(root.string()));
    EXPECT_TRUE(call("delete_folder", {{"folder_id", folder}}).isError);
    EXPECT_NE(text(call("list_folders")).find(folder), std::string::npos);

    const McpToolResult removed = call("delete_document", {{"document_id", id}, {"confirm", true}});
    EXPECT_FALSE(removed.isError) << text(removed);
    const McpToolResult gone = call("get_document_metadata", {{"document_id", id}});
    EXPECT_TRUE(gone.isError);
    ASSERT_TRUE(gone.structured.has_value()) << "the route's error body is returned as is";
    EXPECT_EQ((*gone.structured)["error"]["code"], "not_found");
}

TEST_F(ToolsOverIndex, ThumbnailIsImageContent) {
    const std::string id = idOf("note2.txt");
    const auto document = documents->find(static_cast<uint32_t>(std::stoul(id))).value();
    const std::string key = processing::SaveNanImagesHelper::imageKey(document.item);
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\xff", 10) + "image bytes";
    lumidex::testing::writeFile(document.folder->folderDataDirectory() /
                                    processing::SaveNanImagesHelper::thumbnailFileName(key, 1),
                                png);

    const McpToolResult image = call("get_document_thumbnail", {{"document_id", id}, {"page", 2}});
    ASSERT_FALSE(image.isError) << text(image);
    ASSERT_EQ(image.content.size(), 1u);
    EXPECT_EQ(image.content[0].type, "image");
    EXPECT_EQ(image.content[0].mimeType, "image/png");
    EXPECT_FALSE(image.content[0].text.has_value());
    EXPECT_EQ(base64Decode(image.content[0].data.value_or("")), std::vector<uint8_t>(png.begin(), png.end()));

    const McpToolResult missing = call("get_document_thumbnail", {{"document_id", id}});
    EXPECT_TRUE(missing.isError);
    EXPECT_EQ(missing.content[0].type, "text");
    EXPECT_NE(text(missing).find("Thumbnail not available for page 1"), std::string::npos);
}

TEST_F(ToolsOverIndex, SearchAppliesItsAdvertisedDefaultsAndFolderIds) {
    const McpToolResult found = call("search_documents", {{"query", "kangaroo"}});
    ASSERT_FALSE(found.isError) << text(found);
    ASSERT_TRUE(found.structured.has_value());
    EXPECT_EQ((*found.structured)["results"].size(), 20u) << "default 20, not the route's 50";
    EXPECT_EQ((*found.structured)["total_count"], 22);

    const McpToolResult capped = call("search_documents", {{"query", "kangaroo"}, {"limit", 3.0}, {"sort_order", "name_desc"}});
    ASSERT_FALSE(capped.isError) << text(capped);
    ASSERT_EQ((*capped.structured)["results"].size(), 3u);
    EXPECT_EQ((*capped.structured)["results"][0]["file_name"], "note9.txt");

    const std::string folder = std::to_string(service::folderId(root.string()));
    const McpToolResult scoped = call("search_documents", {{"query", "kangaroo"}, {"folders", Json::array({folder})}});
    ASSERT_FALSE(scoped.isError) << text(scoped);
    EXPECT_EQ((*scoped.structured)["total_count"], 22) << "a folder id scopes to that folder's path";

    // An unknown id must not turn into an unscoped search of every folder.
    const McpToolResult unknown = call("search_documents", {{"query", "kangaroo"}, {"folders", Json::array({"4242"})}});
    EXPECT_TRUE(unknown.isError);
    EXPECT_NE(text(unknown).find("Folder not found"), std::string::npos);
    EXPECT_TRUE(call("search_documents", {{"query", "kangaroo"}, {"sort_order", "sideways"}}).isError);
    EXPECT_TRUE(call("search_documents", {{"query", "ka"}}).isError) << "the route's minimum still holds";
}

TEST_F(ToolsOverIndex, ToolsNeverGetPastWhatTheRouteRefuses) {
    const McpToolResult badFolder = call("list_folder_contents", {{"folder_id", "not-a-folder"}});
    EXPECT_TRUE(badFolder.isError);
    EXPECT_NE(text(badFolder).find("Folder not found"), std::string::npos);

    // A slash inside an id stays inside the id instead of reaching another route.
    const McpToolResult smuggled = call("get_document_metadata", {{"document_id", idOf("note3.txt") + "/text"}});
    EXPECT_TRUE(smuggled.isError) << text(smuggled);
    EXPECT_TRUE(call("get_document_metadata", Json::object()).isError);

    const McpToolResult notANumber = call("search_documents", {{"query", "kangaroo"}, {"limit", "many"}});
    EXPECT_TRUE(notANumber.isError);
    EXPECT_NE(text(notANumber).find("limit"), std::string::npos);

    const McpToolResult unbuilt = call("ui_list_items");
    EXPECT_TRUE(unbuilt.isError);
    EXPECT_NE(text(unbuilt).find("No route for GET /api/v1/ui/list-items"), std::string::npos);
    EXPECT_TRUE(call("get_mail_attachment", {{"message_id", "<a@b>"}, {"name", "x.pdf"}}).isError);
}

TEST_F(ToolsOverIndex, SettingsPatchesReachTheStoredKeys) {
    const McpToolResult changed =
        call("patch_settings_search", {{"min_query_length", 4}, {"max_results", 100}, {"fuzzy_search", true}});
    ASSERT_FALSE(changed.isError) << text(changed);
    EXPECT_EQ((*changed.structured)["min_char_count"], 4);
    EXPECT_EQ((*changed.structured)["result_limit"], 100);
    ASSERT_EQ(changed.content.size(), 2u) << "what is not stored is said, not silently dropped";
    EXPECT_NE(changed.content[1].text->find("fuzzy_search"), std::string::npos);

    const McpToolResult outOfRange = call("patch_settings_search", {{"min_query_length", 9}});
    EXPECT_TRUE(outOfRange.isError);
    EXPECT_NE(text(outOfRange).find("min_char_count"), std::string::npos);

    const McpToolResult theme = call("patch_settings_appearance", {{"theme", "dark"}, {"show_thumbnails", false}});
    ASSERT_FALSE(theme.isError) << text(theme);
    EXPECT_EQ((*theme.structured)["style_type"], "Dark");
    EXPECT_EQ((*theme.structured)["show_thumbnails_in_list"], false);

    const McpToolResult category = call("get_settings", {{"category", "file_types"}});
    ASSERT_FALSE(category.isError) << text(category);
    EXPECT_TRUE(category.structured->contains("file_types"));
}

// A router that records the last request and answers what the test sets.
class Recording {
public:
    Recording() {
        for (const HttpMethod method : {HttpMethod::get, HttpMethod::post, HttpMethod::patch, HttpMethod::delete_}) {
            for (const char* pattern : {"/api/v1/:a", "/api/v1/:a/:b", "/api/v1/:a/:b/:c", "/api/v1/:a/:b/:c/:d"}) {
                router.add(method, pattern, [this](const ApiRequest& request) {
                    last = request;
                    return answer;
                });
            }
        }
    }
    Json body() const { return Json::parse(last.body.value_or("null")); }

    api::ApiRouter router;
    ApiRequest last;
    ApiResponse answer;
    McpToolExecutor executor{router};
};

TEST(McpToolsRequests, ArgumentsGoWhereTheRouteReadsThem) {
    Recording r;
    r.answer.statusCode = 200;
    r.answer.body = R"({"ok":true})";
    r.executor.callTool("list_folder_contents", {{"folder_id", "a/b c"}, {"limit", 5}, {"ignored", 1}});
    EXPECT_EQ(r.last.method, HttpMethod::get);
    EXPECT_EQ(r.last.path, "/api/v1/folders/a%2Fb%20c/contents");
    EXPECT_EQ(r.last.queryParameters, (std::map<std::string, std::string>{{"limit", "5"}}));
    r.executor.callTool("list_folder_contents", {{"folder_id", "7"}});
    EXPECT_EQ(r.last.queryParameters.at("limit"), "50") << "the advertised default, not the route's";

    r.executor.callTool("bulk_delete_documents", {{"document_ids", Json::array({"1", "2"})}, {"confirm", true}});
    EXPECT_EQ(r.last.path, "/api/v1/documents/bulk/delete");
    EXPECT_EQ(r.body(), (Json{{"document_ids", Json::array({"1", "2"})}}));

    r.executor.callTool("search_documents", {{"query", "kangaroo"}, {"limit", 500}});
    EXPECT_EQ(r.body()["limit"], 100);
    EXPECT_EQ(r.body()["sort_order"], "relevance");

    r.executor.callTool("search_mail", {{"query", "inv"}, {"inbox_only", true}});
    EXPECT_EQ(r.last.queryParameters, (std::map<std::string, std::string>{{"inbox_only", "true"}, {"q", "inv"}}));
}

TEST(McpToolsRequests, UserInterfaceToolsSpeakTheRoutesWords) {
    Recording r;
    r.answer.body = "{}";
    r.executor.callTool("ui_set_page", {{"action", "prev"}});
    EXPECT_EQ(r.body(), (Json{{"action", "previous"}}));
    r.executor.callTool("ui_set_page", {{"page", 3}});
    EXPECT_EQ(r.body(), (Json{{"page_number", 3}}));
    r.executor.callTool("ui_set_zoom", {{"fit_mode", "fitPage"}});
    EXPECT_EQ(r.body(), (Json{{"fit_mode", "height"}}));
    r.executor.callTool("ui_set_transcript", {{"visible", false}, {"mode", "split"}});
    EXPECT_EQ(r.body(), (Json{{"visibility", "hidden"}}));
    r.executor.callTool("ui_set_transcript", {{"mode", "search_results_focus"}});
    EXPECT_EQ(r.body(), (Json{{"visibility", "search_results_focus"}}));
    r.executor.callTool("ui_set_sort", {{"sort", "newest"}});
    EXPECT_EQ(r.body(), (Json{{"sort_order", "new2Old"}}));
    r.executor.callTool("ui_set_filters", {{"clear", true}, {"date_range", "2024-01-01.."}});
    EXPECT_EQ(r.body(), (Json{{"reset", true}, {"date_range_min", "2024-01-01"}}));
    r.executor.callTool("ui_navigate", {{"direction", "down"}});
    EXPECT_EQ(r.last.path, "/api/v1/ui/navigate");
    r.executor.callTool("ui_navigate", {{"direction", "down"}, {"index", 4}});
    EXPECT_EQ(r.last.path, "/api/v1/ui/select");
    EXPECT_EQ(r.body(), (Json{{"index", 4}}));
}

TEST(McpToolsRequests, AnswersWithoutBody) {
    Recording r;
    r.answer.statusCode = 204;
    const McpToolResult empty = r.executor.callTool("rescan_folder", {{"folder_id", "7"}});
    EXPECT_FALSE(empty.isError);
    EXPECT_EQ(text(empty), "{}");
    r.answer.statusCode = 503;
    const McpToolResult failed = r.executor.callTool("list_folders", Json());
    EXPECT_TRUE(failed.isError);
    EXPECT_EQ(text(failed), "Request failed with status 503");
    r.answer.statusCode = 400;
    r.answer.body = "not json";
    const McpToolResult plain = r.executor.callTool("list_folders", Json());
    EXPECT_TRUE(plain.isError);
    EXPECT_EQ(text(plain), "not json");
    EXPECT_FALSE(plain.structured.has_value());

    const McpToolResult unknown = r.executor.callTool("format_disk", Json::object());
    EXPECT_TRUE(unknown.isError);
    EXPECT_EQ(text(unknown), "Unknown tool: format_disk");
    EXPECT_TRUE(r.executor.callTool("list_folders", Json::array()).isError);
}

TEST(McpToolsLocal, AppStatusAndManual) {
    Recording r;
    const McpManualStore manual = McpManualStore::fromJson(
        {R"({"language":"en","version":"1","sections":[{"id":"search/phrase","chapter":"Search","title":"Phrases","body":"quote a phrase"}]})",
         R"({"language":"de","version":"1","sections":[{"id":"suche/phrase","chapter":"Suche","title":"Phrasen","body":"Phrase in Anführungszeichen"},{"id":"suche/filter","chapter":"Suche","title":"Filter","body":"Filter"}]})"});
    McpToolContext context;
    context.actualPort = [] { return uint16_t{44478}; };
    context.manual = &manual;
    context.systemLanguage = "de";
    const McpToolExecutor executor(r.router, context);

    const McpToolResult status = executor.callTool("get_app_status", Json());
    EXPECT_TRUE(text(status).starts_with("App is running, version ")) << text(status);
    EXPECT_EQ((*status.structured)["port"], 44478);

    const McpToolResult german = executor.callTool("search_manual", {{"query", "Phrase"}});
    ASSERT_FALSE(german.isError) << text(german);
    ASSERT_EQ((*german.structured)["results"].size(), 1u);
    EXPECT_EQ((*german.structured)["results"][0]["id"], "suche/phrase");
    const McpToolResult english = executor.callTool("search_manual", {{"query", "phrase"}, {"language", "en"}});
    EXPECT_EQ((*english.structured)["results"][0]["id"], "search/phrase");
    EXPECT_TRUE(executor.callTool("search_manual", {{"query", "P"}}).isError);

    const McpToolResult section = executor.callTool("get_manual_section", {{"id", "suche/filter"}});
    ASSERT_FALSE(section.isError);
    EXPECT_EQ((*section.structured)["body"], "Filter");
    const McpToolResult unknown = executor.callTool("get_manual_section", {{"id", "x/y"}});
    EXPECT_TRUE(unknown.isError);
    EXPECT_EQ(text(unknown), "Unknown section: x/y. Available: suche/phrase, suche/filter");
}

TEST(McpToolsCatalogue, SchemasAreWellFormedAndNamesUnique) {
    std::set<std::string> names;
    for (const McpToolDefinition& tool : mcpToolCatalogue()) {
        EXPECT_TRUE(names.insert(tool.name).second) << "duplicate " << tool.name;
        EXPECT_FALSE(tool.description.empty()) << tool.name;
        const Json& schema = tool.inputSchema;
        ASSERT_EQ(schema.value("type", ""), "object") << tool.name;
        ASSERT_TRUE(schema.contains("properties") && schema["properties"].is_object()) << tool.name;
        for (const auto& [property, definition] : schema["properties"].items()) {
            const std::string type = definition.value("type", "");
            EXPECT_TRUE(std::set<std::string>({"string", "integer", "number", "boolean", "array", "object"}).contains(type))
                << tool.name << "." << property;
            EXPECT_EQ(type == "array", definition.contains("items")) << tool.name << "." << property;
        }
        if (schema.contains("required")) {
            EXPECT_FALSE(schema["required"].empty()) << tool.name;
            for (const Json& required : schema["required"]) {
                EXPECT_TRUE(schema["properties"].contains(required.get<std::string>())) << tool.name << ": " << required;
            }
        }
    }
    EXPECT_EQ(names.size(), 85u);
}

}  // namespace
}  // namespace lumidex::mcp
