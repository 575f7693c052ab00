#include "index_fixture.h"

#include <utility>

#include "core/settings/settings.h"

namespace lumidex::api::testing {
namespace {

class ProcessingRoutes : public IndexFixture {};

TEST_F(ProcessingRoutes, ProgressStatsAndFolderFiguresDescribeTheIndex) {
    file("a.txt", "alpha");
    file("b.pdf");
    file("c.xyz");  // found, never processed
    startIndex();
    const std::string folderId = std::to_string(fnv1a32(root.string()));

    const json stats = callJson(HttpMethod::get, "/api/v1/processing/stats");
    EXPECT_EQ(stats["total_documents"], 3);
    EXPECT_EQ(stats["by_state"], (json{{"completed", 2}, {"not_supported", 1}}));
    ASSERT_EQ(stats["folders"].size(), 1u);
    EXPECT_EQ(stats["folders"][0], (json{{"folder_id", folderId}, {"path", root.string()}, {"total", 3},
                                         {"completed", 2}, {"error", 0}}));

    const json progress = callJson(HttpMethod::get, "/api/v1/processing/progress");
    EXPECT_EQ(progress["queue"], (json{{"active_tasks", 0}, {"queued_tasks", 0}}));
    EXPECT_EQ(progress["is_processing"], false);
    EXPECT_EQ(progress["ui_busy_indicator"], false);
    ASSERT_EQ(progress["folders"].size(), 1u);
    EXPECT_EQ(progress["folders"][0]["folder_id"], folderId);

    const json folder = callJson(HttpMethod::get, "/api/v1/folders/" + folderId + "/processing");
    EXPECT_EQ(folder["total_files"], 3);
    EXPECT_EQ(folder["path"], root.string());
    EXPECT_EQ(folder["by_state"]["completed"], 2);

    const json status = callJson(HttpMethod::get, "/api/v1/status");
    EXPECT_EQ(status["storage"], (json{{"total_folders", 1}, {"total_documents", 3}}));
    EXPECT_FALSE(status["version"].get<std::string>().empty());
    EXPECT_GE(status["uptime"].get<double>(), 0.0);

    EXPECT_EQ(refusal(HttpMethod::get, "/api/v1/folders/12345/processing", {}, 404, "not_found"), "Folder not found");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/folders/abc/rescan", {}, 404, "not_found"), "Folder not found");
    const json rescan = callJson(HttpMethod::post, "/api/v1/folders/" + folderId + "/rescan");
    EXPECT_EQ(rescan, (json{{"folder_id", folderId}, {"path", root.string()}, {"message", "Folder scan initiated"}}));
}

TEST_F(ProcessingRoutes, AFolderWithoutCoordinatorCannotBeRescanned) {
    startIndex(false);
    const std::string elsewhere = (scratch / "elsewhere").string();
    services.registeredFolders = [&] { return std::vector<std::string>{root.string(), elsewhere}; };
    router = ApiRouter();
    registerProcessingSettingsStatusRoutes(router, services);
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/folders/" + std::to_string(fnv1a32(elsewhere)) + "/rescan", {}, 404,
                      "not_found"),
              "Folder has no active data manager");
}

TEST_F(ProcessingRoutes, ReprocessingADocumentInARunNeedsForceAndIsReadAgainAfterTheRun) {
    file("a.txt", "alpha");
    file("c.xyz");
    runner->holdFirstRun = true;
    startIndex();
    const std::string id = idOf("a.txt");
    const std::string path = "/api/v1/documents/" + id + "/reprocess";

    const json progress = callJson(HttpMethod::get, "/api/v1/processing/progress");
    EXPECT_EQ(progress["queue"]["active_tasks"], 1);
    EXPECT_EQ(progress["is_processing"], true);

    EXPECT_EQ(refusal(HttpMethod::post, path, {}, 409, "conflict"),
              R"(Document is currently being processed. Use {"force": true} to override.)");
    EXPECT_EQ(refusal(HttpMethod::post, path, R"({"force": false})", 409, "conflict"),
              R"(Document is currently being processed. Use {"force": true} to override.)");
    EXPECT_EQ(refusal(HttpMethod::post, path, R"({"force": "yes"})", 400, "bad_request"),
              "Invalid JSON body: force must be a Boolean");

    const json forced = callJson(HttpMethod::post, path, R"({"force": true})");
    EXPECT_EQ(forced, (json{{"id", id}, {"file_name", "a.txt"}, {"previous_state", "not_processed"},
                            {"new_state", "not_processed"}, {"message", "Document queued for reprocessing"}}));

    runner->release();
    ASSERT_TRUE(runner->waitForRuns(2)) << "the forced document is read again after the run that held it";
    ASSERT_TRUE(manager()->waitUntilIdle(20s));
    EXPECT_EQ(runner->runs()[1].size(), 1u);
    EXPECT_EQ(manager()->itemByPath((root / "a.txt").string())->processingState, NanItemProcessingStates::complete);

    // Idle now: no force needed; a file type the pipeline cannot read is refused.
    EXPECT_EQ(callJson(HttpMethod::post, path)["previous_state"], "completed");
    ASSERT_TRUE(runner->waitForRuns(3));
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/documents/" + idOf("c.xyz") + "/reprocess", {}, 400, "bad_request"),
              "Document type is not supported for processing");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/documents/4294967296/reprocess", {}, 400, "bad_request"),
              "Invalid document ID");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/documents/7/reprocess", {}, 404, "not_found"), "Document not found");
}

class ExportRoutes : public IndexFixture {};

TEST_F(ExportRoutes, RejectsEmptyOversizedAndUnknownFormatRequests) {
    startIndex(false);
    json ids = json::array();
    for (int i = 0; i < 101; ++i) ids.push_back(std::to_string(i));
    const auto post = [&](const std::string& body) { return refusal(HttpMethod::post, "/api/v1/export", body, 400, "bad_request"); };
    EXPECT_EQ(post(R"({"document_ids": []})"), "document_ids must not be empty");
    EXPECT_EQ(post(json{{"document_ids", ids}}.dump()), "Maximum 100 document IDs per request");
    EXPECT_EQ(post(R"({"document_ids": ["1"], "format": "xml"})"), "Invalid format: xml. Must be json, text, or csv");
    EXPECT_TRUE(post("{").starts_with("Invalid JSON body: "));
    EXPECT_TRUE(post(R"({"format": "csv"})").starts_with("Invalid JSON body: "));
}

TEST_F(ExportRoutes, ExportsPagesFromOneInEveryFormatAndSkipsUnknownIds) {
    file("a.txt", "alpha");
    startIndex();
    const std::string id = idOf("a.txt");
    const std::string ids = R"("document_ids": [")" + id + R"(", "7", "x"])";

    const json exported = callJson(HttpMethod::post, "/api/v1/export", "{" + ids + "}");
    EXPECT_EQ(exported["total"], 3);
    EXPECT_EQ(exported["exported"], 1);
    EXPECT_EQ(exported["skipped"], (json{{{"id", "7"}, {"reason", "Document not found"}},
                                         {{"id", "x"}, {"reason", "Invalid document ID"}}}));
    const json& document = exported["documents"][0];
    EXPECT_EQ(document["file_path"], (root / "a.txt").string());
    EXPECT_EQ(document["processing_state"], "completed");
    EXPECT_EQ(document["page_count"], 2);
    EXPECT_EQ(document["pages"], (json{{{"page", 1}, {"text", "Alpha, \"beta\"\nline two"}}, {{"page", 2}, {"text", ""}}}));
    const std::string modified = document["modified_at"].get<std::string>();
    EXPECT_EQ(modified.size(), 20u) << "no fractional seconds: " << modified;

    const json bare = callJson(HttpMethod::post, "/api/v1/export",
                               R"({"document_ids": [")" + id + R"("], "include_metadata": false, "include_ocr_text": false})");
    EXPECT_EQ(bare["documents"][0], (json{{"id", id}}));
    EXPECT_FALSE(bare.contains("skipped"));

    const ApiResponse text = call(HttpMethod::post, "/api/v1/export", "{" + ids + R"(, "format": "text"})");
    EXPECT_EQ(text.headers.at("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_NE(text.body->find("--- Page 1 ---\nAlpha, \"beta\"\nline two\n"), std::string::npos) << *text.body;
    EXPECT_NE(text.body->find("--- Page 2 ---\n\n(no text)\n"), std::string::npos) << *text.body;

    const ApiResponse csv = call(HttpMethod::post, "/api/v1/export", "{" + ids + R"(, "format": "csv"})");
    EXPECT_EQ(csv.headers.at("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(*csv.body, "id,file_name,file_path,file_type,page_count,page,text\n" + id + ",a.txt," +
                             (root / "a.txt").string() + ",txt,2,1,\"Alpha, \"\"beta\"\"\nline two\"\n" + id + ",a.txt," +
                             (root / "a.txt").string() + ",txt,2,2,\n");
    const ApiResponse plain =
        call(HttpMethod::post, "/api/v1/export", R"({"document_ids": [")" + id + R"("], "format": "csv", "include_metadata": false})");
    EXPECT_EQ(*plain.body, "id,page,text\n" + id + ",1,\"Alpha, \"\"beta\"\"\nline two\"\n" + id + ",2,\n");
}

TEST_F(ProcessingRoutes, RecentScansListTheNewestDocumentsAndKeepTheirReadMarks) {
    file("old.txt", "alpha");
    file("middle.txt", "beta");
    file("new.txt", "gamma");
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(root / "old.txt", now - 3h);
    std::filesystem::last_write_time(root / "middle.txt", now - 2h);
    std::filesystem::last_write_time(root / "new.txt", now - 1h);
    settingsStore->setDouble(SettingsKeys::numberOfRecentScanItems, 2);
    startIndex();

    json list = callJson(HttpMethod::get, "/api/v1/scans/recent");
    ASSERT_EQ(list["items"].size(), 2u) << list.dump();
    EXPECT_EQ(list["items"][0]["file_name"], "new.txt");
    EXPECT_EQ(list["items"][1]["file_name"], "middle.txt");
    EXPECT_EQ(list["items"][0]["file_type"], "txt");
    EXPECT_EQ(list["unread_count"], 2);

    const std::string id = list["items"][1]["id"];
    EXPECT_EQ(callJson(HttpMethod::post, "/api/v1/scans/recent/" + id + "/read")["message"], "Marked as read");
    EXPECT_EQ(callJson(HttpMethod::get, "/api/v1/scans/recent/unread-count")["unread_count"], 1);
    list = callJson(HttpMethod::get, "/api/v1/scans/recent");
    EXPECT_EQ(list["items"][1]["is_read"], true);
    EXPECT_EQ(list["items"][0]["is_read"], false);
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/scans/recent/" + idOf("old.txt") + "/read", {}, 404, "not_found"),
              "Scan not found")
        << "a document no longer listed cannot be marked";
}

TEST_F(ProcessingRoutes, CloudRoutesCountOfficeFilesAndGuardTheServiceSwitch) {
    file("letter.docx");
    file("sheet.xlsx");
    file("notes.txt", "alpha");
    int64_t completedRecords = 3;
    services.cleanUpCompletedConversions = [&] { return std::optional<int64_t>(std::exchange(completedRecords, 0)); };
    startIndex();

    const json status = callJson(HttpMethod::get, "/api/v1/cloud/status");
    EXPECT_EQ(status["items"], (json{{"preparing", 0}, {"uploaded", 0}, {"processing", 0}, {"completed", 2}, {"not_supported", 0}}))
        << "the text file is no office file";
    EXPECT_EQ(status["enabled"], false);
    EXPECT_EQ(status["scanned_folders"], 1);
    const json completed = callJson(HttpMethod::get, "/api/v1/cloud/items?state=completed");
    ASSERT_EQ(completed["total"], 2);
    EXPECT_EQ(completed["items"][0]["folder_path"], root.string());
    EXPECT_EQ(callJson(HttpMethod::get, "/api/v1/cloud/items?state=uploaded")["total"], 0);
    EXPECT_TRUE(refusal(HttpMethod::get, "/api/v1/cloud/items?state=done", {}, 400, "bad_request").starts_with("Invalid state: done"));

    const auto sync = [&](const std::string& body) { return callJson(HttpMethod::post, "/api/v1/cloud/sync", body)["message"]; };
    EXPECT_EQ(sync("{}"), "Cloud service is disabled");
    EXPECT_EQ(refusal(HttpMethod::post, "/api/v1/cloud/sync", R"({"enabled": true})", 400, "bad_request"),
              "Cloud service conditions must be accepted before enabling the cloud service");
    EXPECT_FALSE(Settings(*settingsStore).useCloudService()) << "a refused switch changes nothing";
    EXPECT_EQ(sync(R"({"enabled": true, "accept_conditions": true})"), "Cloud service enabled");
    EXPECT_TRUE(Settings(*settingsStore).acceptCloudServiceConditions());
    EXPECT_EQ(sync("{}"), "3 completed items");
    EXPECT_EQ(sync(""), "No completed items to clean up") << "an empty body is a cleanup";
    EXPECT_EQ(sync(R"({"enabled": false})"), "Cloud service disabled");
    EXPECT_EQ(sync(R"({"enabled": true})"), "Cloud service enabled") << "conditions, once accepted, stay accepted";
}

}  // namespace
}  // namespace lumidex::api::testing
