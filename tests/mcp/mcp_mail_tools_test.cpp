// The MCP mail tools reach the real mail routes through the router: the tool's arguments become what
// the route reads.
#include <gtest/gtest.h>

#include "api/api_routes.h"
#include "core/model/json_coding.h"
#include "core/settings/settings_store.h"
#include "mail/mail_cloud_jobs.h"
#include "mail/mail_fts.h"
#include "mcp/mcp_tool_executor.h"
#include "service/mail_draft.h"
#include "service/mail_service.h"
#include "support/temp_home.h"

namespace lumidex::mcp {
namespace {

TEST(McpMailTools, SearchAndDraftToolsAnswerThroughTheMailRoutes) {
    lumidex::testing::TempDir dir;
    const auto quiet = [](std::string_view) {};
    mail::MailFtsSqlite fts(dir.path() / "mail_fts_v9.sqlite", quiet);
    mail::MailCloudJobsSqlite jobs(dir.path() / "mail_cloud_jobs.sqlite", quiet);
    SettingsStore settings(dir.path() / "settings.json");
    service::MailService mailService(fts, jobs, settings);
    service::MailDraftOptions draftOptions;
    draftOptions.draftsFolder = dir.path() / "Drafts";
    draftOptions.open = [](const std::filesystem::path&) { return std::optional<std::string>(); };
    service::MailDraftComposer drafts(draftOptions);
    api::ApiServices services;
    services.mailService = &mailService;
    services.mailDrafts = &drafts;
    api::ApiRouter router;
    api::registerMailRoutes(router, services);
    McpToolExecutor executor(router);

    mail::MailUpsertItem item;
    item.externalId = "<invoice@x>";
    item.content = "invoice 4711 for the garden work";
    ASSERT_EQ(fts.upsertBatch({item}), 1);
    const McpToolResult found = executor.callTool("search_mail", {{"query", "invoice"}});
    ASSERT_FALSE(found.isError) << (found.content.empty() ? "" : found.content[0].text.value_or(""));
    ASSERT_TRUE(found.structured);
    EXPECT_EQ((*found.structured)["items"][0]["external_id"], "<invoice@x>");

    const std::string content = "a,b\n1,2\n";
    const McpToolResult created = executor.callTool(
        "create_mail_draft",
        {{"to", {"anna@example.org"}},
         {"subject", "Rechnung"},
         {"body", "Anbei."},
         {"attachments", {{{"filename", "table.csv"}, {"content", base64Encode({content.begin(), content.end()})}}}},
         {"open", false}});
    ASSERT_FALSE(created.isError) << (created.content.empty() ? "" : created.content[0].text.value_or(""));
    ASSERT_TRUE(created.structured);
    EXPECT_EQ((*created.structured)["attachments_attached"], Json::array({"table.csv"}));
    const McpToolResult refused = executor.callTool("create_mail_draft", {{"to", Json::array()}, {"subject", "s"}, {"body", "b"}});
    EXPECT_TRUE(refused.isError);
}

}  // namespace
}  // namespace lumidex::mcp
