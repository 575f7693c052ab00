#include "core/settings/settings.h"
#include "index_fixture.h"
#include "service/diagnostics_service.h"
#include "service/settings_service.h"

namespace lumidex::api::testing {
namespace {

constexpr const char* kToken = "7C1E4F5A-0B9D-4C11-9E55-3A2B1C0D9E8F";

class SettingsRoutes : public IndexFixture {
protected:
    std::string patchRefusal(const std::string& category, const std::string& body) {
        return refusal(HttpMethod::patch, "/api/v1/settings/" + category, body, 400, "bad_request");
    }
    json patch(const std::string& category, const std::string& body) {
        return callJson(HttpMethod::patch, "/api/v1/settings/" + category, body);
    }
};

TEST_F(SettingsRoutes, RejectsOutOfRangeValuesWithTheirMessagesAndStoresNothingOfARejectedChange) {
    startIndex(false);
    EXPECT_EQ(patchRefusal("search", R"({"min_char_count": 0})"), "min_char_count must be between 1 and 5");
    EXPECT_EQ(patchRefusal("search", R"({"min_char_count": 6})"), "min_char_count must be between 1 and 5");
    EXPECT_EQ(patchRefusal("search", R"({"result_limit": 50})"), "result_limit must be one of: 25, 100, 250, 500, 1000");
    EXPECT_EQ(patchRefusal("search", R"({"result_limit_type": 6})"), "result_limit_type must be between 0 and 5");
    EXPECT_EQ(patchRefusal("search", R"({"auto_search_delay": -1})"), "auto_search_delay must be between 0 and 5");
    EXPECT_EQ(patchRefusal("appearance", R"({"font_size": 9})"), "font_size must be between 10 and 24");
    EXPECT_EQ(patchRefusal("appearance", R"({"font_size": 24.5})"), "font_size must be between 10 and 24");
    EXPECT_EQ(patchRefusal("appearance", R"({"style_type": "Neon"})"), "style_type must be one of: Auto, Light, Dark");
    EXPECT_EQ(patchRefusal("sharing", R"({"number_of_recent_scan_items": 0})"),
              "number_of_recent_scan_items must be at least 1");
    EXPECT_EQ(patchRefusal("processing", R"({"low_res_images": "yes"})"),
              "low_res_images must be a Boolean (true or false)");
    EXPECT_TRUE(patchRefusal("search", "[1").starts_with("Invalid JSON body: "));
    EXPECT_TRUE(patchRefusal("search", "[1]").starts_with("Invalid JSON body: "));

    // A valid key beside a rejected one is not stored either.
    EXPECT_EQ(patchRefusal("search", R"({"show_ocr_rects": false, "min_char_count": 9})"),
              "min_char_count must be between 1 and 5");
    EXPECT_FALSE(settingsStore->contains(SettingsKeys::showOcrRectsKey));
    EXPECT_TRUE(settingsStore->entries().size() == 1) << "only the fixture's own key is stored";
}

TEST_F(SettingsRoutes, ChangesReachTheStoredPreferencesTheKeysMirror) {
    startIndex(false);
    const Settings settings(*settingsStore);
    EXPECT_EQ(patch("appearance", R"({"font_size": 10})")["font_size"], 10.0);
    const json appearance =
        patch("appearance", R"({"font_size": 24, "style_type": "Light", "show_not_processed_indicator": false})");
    EXPECT_EQ(appearance, callJson(HttpMethod::get, "/api/v1/settings/appearance"));
    EXPECT_EQ(appearance["show_not_processed_indicator"], false);
    EXPECT_EQ(settings.listFontSize(), 24.0);
    EXPECT_EQ(settings.selectedStyleType(), "Light");

    const json search = patch("search", R"({"result_limit": 100, "min_char_count": 4, "show_edited_checkbox": true})");
    EXPECT_EQ(search["result_limit"], 100);
    EXPECT_EQ(search["result_limit_type"], 1);
    EXPECT_EQ(settings.resultLimitChoice(), 1);
    EXPECT_EQ(settings.minSearchCharCount(), 4);
    EXPECT_TRUE(settings.showProcessedCheckBox());
    EXPECT_EQ(patch("search", R"({"result_limit": null})")["result_limit"], nullptr) << "null means no limit";

    EXPECT_EQ(patch("sharing", R"({"number_of_recent_scan_items": 1})")["number_of_recent_scan_items"], 1.0);

    const json processing =
        patch("processing", R"({"exclude_by_extension": true, "excluded_extensions": [{"extension": ".TMP", "info": "scratch"}]})");
    EXPECT_EQ(processing["exclude_by_extension"], true);
    EXPECT_EQ(processing["excluded_extensions"], (json{{{"extension", "tmp"}, {"info", "scratch"}, {"active", true}}}));
    const json toggled = patch("processing", R"({"excluded_extensions": [{"extension": "tmp", "active": false}]})");
    EXPECT_EQ(toggled["excluded_extensions"], (json{{{"extension", "tmp"}, {"info", "scratch"}, {"active", false}}}));

    const json all = callJson(HttpMethod::get, "/api/v1/settings");
    EXPECT_EQ(all["search"]["min_char_count"], 4);
    EXPECT_EQ(all["processing"]["excluded_extensions"].size(), 1u);
    const json types = callJson(HttpMethod::get, "/api/v1/settings/file-types")["file_types"];
    EXPECT_TRUE(std::find(types.begin(), types.end(), json{{"extension", "pdf"}, {"category", "document"}}) != types.end());
    EXPECT_TRUE(std::find(types.begin(), types.end(), json{{"extension", "docx"}, {"category", "office"}}) != types.end());
}

TEST_F(SettingsRoutes, TheTokenAppearsInNoAnswer) {
    file("a.txt", "alpha");
    startIndex();
    const json noToken = callJson(HttpMethod::get, "/api/v1/settings/server");
    EXPECT_EQ(noToken, (json{{"enabled", false}, {"configured_port", 44477}, {"actual_port", 44478},
                             {"auth_enabled", true}, {"token_set", false}}));

    settingsStore->setString(SettingsKeys::apiServerTokenKey, kToken);
    diagnostics.record("api.request", "GET /api/v1/status");
    EXPECT_EQ(callJson(HttpMethod::get, "/api/v1/settings/server")["token_set"], true);
    const std::string exportBody = R"({"document_ids": [")" + idOf("a.txt") + R"("], "format": ")";
    for (const auto& [method, path, body] : std::vector<std::tuple<HttpMethod, std::string, std::optional<std::string>>>{
             {HttpMethod::get, "/api/v1/settings", {}},
             {HttpMethod::get, "/api/v1/settings/server", {}},
             {HttpMethod::get, "/api/v1/status", {}},
             {HttpMethod::get, "/api/v1/diagnostics", {}},
             {HttpMethod::get, "/api/v1/diagnostics/events", {}},
             {HttpMethod::post, "/api/v1/export", exportBody + R"(json"})"},
             {HttpMethod::post, "/api/v1/export", exportBody + R"(csv"})"},
         }) {
        const ApiResponse response = call(method, path, body);
        EXPECT_EQ(response.statusCode, 200) << path;
        EXPECT_EQ(response.body->find(kToken), std::string::npos) << path;
    }
}

// The window changes the server's settings and makes tokens through the same service as the routes.
TEST(SettingsServiceServer, ChecksThePortLikeTheCategoriesAndMakesTokensThatReplaceTheOldOne) {
    lumidex::testing::TempDir dir;
    SettingsStore store(dir / "settings.json");
    service::SettingsService settings(store, {});
    service::Refusal refusal{};
    EXPECT_FALSE(settings.patchServer({{"enabled", true}, {"configured_port", 80}}, refusal));
    EXPECT_EQ(refusal.message, "configured_port must be between 1024 and 65535");
    EXPECT_FALSE(settings.patchServer({{"enabled", "yes"}}, refusal));
    EXPECT_EQ(refusal.message, "enabled must be a Boolean (true or false)");
    EXPECT_FALSE(store.contains(SettingsKeys::apiServerEnabledKey)) << "nothing of a refused change is stored";

    const auto answer = settings.patchServer({{"enabled", true}, {"configured_port", 50123}}, refusal);
    ASSERT_TRUE(answer) << refusal.message;
    EXPECT_EQ((*answer)["enabled"], true);
    EXPECT_EQ((*answer)["configured_port"], 50123);
    EXPECT_EQ((*answer)["token_set"], false);

    const auto first = settings.newToken(refusal);
    const auto second = settings.newToken(refusal);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(settings.token(), *second);
    EXPECT_EQ(settings.server()["token_set"], true);
    EXPECT_EQ(settings.server().dump().find(*second), std::string::npos);
}

class DiagnosticsRoutes : public IndexFixture {};

TEST_F(DiagnosticsRoutes, ReportProcessFiguresResponsivenessCountersRatesAndEvents) {
    file("a.txt", "alpha");
    startIndex();
    const json empty = callJson(HttpMethod::get, "/api/v1/diagnostics");
    const json& process = empty["process"];
    EXPECT_GT(process["rss_footprint_mb"].get<double>(), 1.0);
    EXPECT_LT(process["rss_footprint_mb"].get<double>(), 4096.0);
    EXPECT_GE(process["thread_count"].get<int64_t>(), 2) << "the pool's threads at least";
    EXPECT_GE(process["cpu_percent"].get<double>(), 0.0);
    const json& responsiveness = empty["responsiveness"];
    EXPECT_EQ(responsiveness["main_thread_responsive"], true);
    EXPECT_EQ(responsiveness["core_actor_responsive"], true);
    EXPECT_LT(responsiveness["core_actor_latency_ms"].get<double>(), 750.0);
    EXPECT_EQ(responsiveness["coordinators"][0]["responsive"], true);

    const auto now = DiagnosticsCollector::Clock::now();
    for (int i = 0; i < 3; ++i) diagnostics.record("mcp.tool_calls", "search_documents", now - std::chrono::seconds(i));
    for (int i = 0; i < 150; ++i) diagnostics.record("fsevent.raw", "/x/" + std::to_string(i), now - std::chrono::seconds(30));
    const json full = callJson(HttpMethod::get, "/api/v1/diagnostics");
    EXPECT_EQ(full["counters"]["mcp.tool_calls"], 3);
    const json rates = full["rates"];
    const auto mcp = std::find_if(rates.begin(), rates.end(), [](const json& r) { return r["source"] == "mcp.tool_calls"; });
    ASSERT_NE(mcp, rates.end());
    EXPECT_EQ((*mcp)["per_sec_5s"], 0.6);
    EXPECT_EQ((*mcp)["per_sec_60s"], 0.05);
    EXPECT_TRUE(full["notes"].empty()) << full["notes"];
    const std::string time = full["recent_events"].back()["time"].get<std::string>();
    EXPECT_EQ(time.size(), 24u) << "event times carry milliseconds: " << time;
    EXPECT_EQ(full["timestamp"].get<std::string>().size(), 20u);

    EXPECT_EQ(callJson(HttpMethod::get, "/api/v1/diagnostics/events?limit=abc")["events"].size(), 100u);
    EXPECT_EQ(callJson(HttpMethod::get, "/api/v1/diagnostics/events")["events"].size(), 100u);
    const json three = callJson(HttpMethod::get, "/api/v1/diagnostics/events?limit=3")["events"];
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three.back()["detail"], "/x/149") << "the newest last";
}

TEST_F(DiagnosticsRoutes, ABlockedMainLoopIsReportedWithItsNote) {
    startIndex(false);
    services.mainLoop = [](std::function<void()>) {};  // takes the no-op and never runs it
    DiagnosticsCollector quiet;  // the coordinator's own records would hide the empty-collector note
    services.diagnostics = &quiet;
    router = ApiRouter();
    registerProcessingSettingsStatusRoutes(router, services);
    const json answer = callJson(HttpMethod::get, "/api/v1/diagnostics");
    EXPECT_EQ(answer["responsiveness"]["main_thread_responsive"], false);
    EXPECT_EQ(answer["responsiveness"]["main_thread_latency_ms"], 750.0);
    EXPECT_EQ(answer["notes"], (json{"Main-Thread antwortet nicht innerhalb 750ms — UI/Rendering überlastet.",
                                     "Hot-Path-Instrumentierung folgt in Phase 2 — counters/rates/events noch leer."}));
}

TEST(DiagnosisReport, ListsTheServerAndTheRecentEvents) {
    service::DiagnosisFacts facts;
    facts.created = "2026-01-02T03:04:05Z";
    facts.version = "0.1.0";
    facts.buildNumber = "7";
    facts.system = "Linux 6.1.0";
    facts.serverEnabled = true;
    facts.allowLan = true;
    facts.configuredPort = 44477;
    facts.activePort = 44478;
    facts.events.push_back({DiagnosticsCollector::Clock::time_point(std::chrono::seconds(1767323045)), "mcp.tool_calls", "search"});
    EXPECT_EQ(service::diagnosisReport(facts),
              "Lumidex — MCP-Diagnose\n"
              "Erstellt: 2026-01-02T03:04:05Z\n"
              "Version: 0.1.0 (7), Linux 6.1.0\n"
              "\n"
              "Server\n"
              "  aktiviert:        true\n"
              "  Bindeadresse:     0.0.0.0\n"
              "  Port konfiguriert: 44477\n"
              "  Port aktiv:       44478\n"
              "  LAN erlaubt:      true\n"
              "  Token gesetzt:    false\n"
              "  Protokollversion: 2025-06-18\n"
              "\n"
              "Letzte Ereignisse (1)\n"
              "  2026-01-02T03:04:05.000Z  mcp.tool_calls  search\n");
}

}  // namespace
}  // namespace lumidex::api::testing
