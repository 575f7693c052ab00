// The mail routes of the local API through the router, over real stores in a temporary folder.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "api/api_routes.h"
#include "core/model/json_coding.h"
#include "core/settings/settings_store.h"
#include "mail/mail_cloud_jobs.h"
#include "mail/mail_fts.h"
#include "mail/mail_indexer_sources.h"
#include "mail/mail_message.h"
#include "mail_store_fixture.h"
#include "service/mail_draft.h"
#include "service/mail_service.h"
#include "support/temp_home.h"

namespace lumidex::api {
namespace {

using nlohmann::json;

struct Reply {
    int status = 0;
    json body;
    std::string message() const { return body.contains("error") ? body["error"]["message"].get<std::string>() : ""; }
    std::string code() const { return body.contains("error") ? body["error"]["code"].get<std::string>() : ""; }
};

std::string base64Of(std::string_view text) { return base64Encode(std::vector<uint8_t>(text.begin(), text.end())); }

class MailRoutesTest : public ::testing::Test {
protected:
    MailRoutesTest() {
        service::MailServiceOptions options;
        options.home = dir_.path() / "home";
        options.control.requestRun = [this](bool force, bool restart) {
            runs_.push_back(force);
            restarts_.push_back(restart);
            return true;
        };
        mail_ = std::make_unique<service::MailService>(fts_, jobs_, settings_, options);
        service::MailDraftOptions draftOptions;
        draftOptions.draftsFolder = dir_.path() / "Drafts";
        draftOptions.open = [this](const std::filesystem::path& file) -> std::optional<std::string> {
            opened_.push_back(file);
            return std::nullopt;
        };
        draftOptions.log = [](std::string_view) {};
        drafts_ = std::make_unique<service::MailDraftComposer>(draftOptions);
        services_.mailService = mail_.get();
        services_.mailDrafts = drafts_.get();
        registerMailRoutes(router_, services_);
    }

    Reply call(HttpMethod method, const std::string& path, std::map<std::string, std::string> query = {},
               std::optional<std::string> body = std::nullopt) {
        ApiRequest request;
        request.method = method;
        request.path = path;
        request.queryParameters = std::move(query);
        request.body = std::move(body);
        const ApiResponse response = router_.handle(request);
        return {response.statusCode, response.body ? json::parse(*response.body) : json()};
    }
    Reply get(const std::string& path, std::map<std::string, std::string> query = {}) {
        return call(HttpMethod::get, path, std::move(query));
    }
    Reply draft(const json& body) { return call(HttpMethod::post, "/api/v1/mail/draft", {}, body.dump()); }

    void index(const std::string& id, const std::string& content, double received,
               std::optional<std::string> mailbox = std::nullopt, int64_t rowid = 0) {
        mail::MailUpsertItem item;
        item.externalId = id;
        item.subject = "Betreff " + id;
        item.sender = "anna@example.org";
        item.mailbox = mailbox;
        item.dateReceived = dateFromSecondsSince1970(received);
        item.content = content;
        ASSERT_EQ(fts_.upsertBatch({item}), 1);
        ASSERT_TRUE(fts_.upsertMeta(id, mail::MailIndexStatus::success, std::nullopt, rowid, std::nullopt));
        if (mailbox) {
            ASSERT_TRUE(fts_.recordCopiesBatch({{rowid, id, *mailbox, true}}));
        }
    }

    size_t draftFiles() const {
        std::error_code ec;
        size_t n = 0;
        for (auto it = std::filesystem::directory_iterator(dir_.path() / "Drafts", ec);
             !ec && it != std::filesystem::directory_iterator(); ++it) {
            ++n;
        }
        return n;
    }

    testing::TempDir dir_;
    mail::MailFtsSqlite fts_{dir_.path() / "MailIndex" / "mail_fts_v9.sqlite", [](std::string_view) {}};
    mail::MailCloudJobsSqlite jobs_{dir_.path() / "mail_cloud_jobs.sqlite", [](std::string_view) {}};
    SettingsStore settings_{dir_.path() / "settings.json"};
    std::unique_ptr<service::MailService> mail_;
    std::unique_ptr<service::MailDraftComposer> drafts_;
    std::vector<bool> runs_;
    std::vector<bool> restarts_;
    std::vector<std::filesystem::path> opened_;
    ApiServices services_;
    ApiRouter router_;
};

TEST_F(MailRoutesTest, SearchFindsIndexedMailScopedToTheInbox) {
    index("<a@x>", "quarterly report for the board", 100, "imap://u@host/INBOX", 1);
    index("<b@x>", "quarterly numbers archived", 200, "imap://u@host/Archive", 2);
    index("maildir:0011223344556677:m1", "quarterly plans from local mail", 300);

    const Reply one = get("/api/v1/mail/search", {{"q", "q"}});
    EXPECT_EQ(one.status, 400);
    EXPECT_EQ(one.message(), "Query 'q' must be at least 2 characters");
    EXPECT_EQ(get("/api/v1/mail/search", {{"q", "qu"}}).status, 200);

    const Reply all = get("/api/v1/mail/search", {{"q", "quarterly"}, {"limit", "1000"}});
    ASSERT_EQ(all.status, 200);
    EXPECT_EQ(all.body["count"], 3);
    EXPECT_EQ(all.body["items"][0]["external_id"], "maildir:0011223344556677:m1");  // newest first
    EXPECT_EQ(all.body["items"][0]["source_type"], "maildir");
    EXPECT_EQ(all.body["items"][2]["source_type"], "apple_mail");
    EXPECT_EQ(all.body["items"][2]["date_received"], "1970-01-01T00:01:40Z");
    // Parsing sorts the keys; the order on the wire is checked on the text.
    ApiRequest raw;
    raw.path = "/api/v1/mail/search";
    raw.queryParameters = {{"q", "quarterly"}};
    const std::string text = *router_.handle(raw).body;
    EXPECT_LT(text.find("\"query\""), text.find("\"inbox_only\""));
    EXPECT_LT(text.find("\"snippet\""), text.find("\"date_sent\""));
    EXPECT_LT(text.find("\"items\""), text.find("\"duration_ms\""));

    const Reply inbox = get("/api/v1/mail/search", {{"q", "quarterly"}, {"inbox_only", "true"}});
    ASSERT_EQ(inbox.body["count"], 1);
    EXPECT_EQ(inbox.body["inbox_only"], true);
    EXPECT_EQ(inbox.body["items"][0]["external_id"], "<a@x>");
    EXPECT_EQ(inbox.body["items"][0]["mailbox"], "imap://u@host/INBOX");
    EXPECT_NE(inbox.body["items"][0]["snippet"].get<std::string>().find("quarterly"), std::string::npos);

    EXPECT_EQ(get("/api/v1/mail/inbox").body["count"], 1);
    EXPECT_EQ(get("/api/v1/mail/recent", {{"limit", "0"}}).body["count"], 1);  // served as 1
    EXPECT_EQ(get("/api/v1/mail/recent").body["items"][0]["snippet_preview"], "quarterly plans from local mail");
}

TEST_F(MailRoutesTest, BodyKeepsTheMessageApartFromQuotedMailAndCutsWholeCharacters) {
    const std::string content =
        "Betreff\nanna@example.org\nbob@example.org\nGrüße, see the figures below.\n\n"
        "On Mon, 1 Jan 2024, Bob wrote:\n> the earlier question\n> second line";
    index("<m@x>", content, 100);

    const Reply own = get("/api/v1/mail/body", {{"external_id", "<m@x>"}});
    ASSERT_EQ(own.status, 200);
    const std::string bodyText = own.body["body_text"];
    EXPECT_NE(bodyText.find("see the figures below."), std::string::npos);
    EXPECT_EQ(bodyText.find("earlier question"), std::string::npos);
    EXPECT_EQ(bodyText.find("wrote:"), std::string::npos);
    EXPECT_FALSE(own.body.contains("quoted_text"));
    EXPECT_FALSE(own.body["truncated"]);

    const Reply quoted = get("/api/v1/mail/body", {{"external_id", "<m@x>"}, {"include_quoted", "true"}});
    EXPECT_EQ(quoted.body["quoted_text"], "On Mon, 1 Jan 2024, Bob wrote:\n> the earlier question\n> second line");

    // "Betreff\nanna@..." cut after 3 characters; "Grü" counts ü as one character.
    const Reply cut = get("/api/v1/mail/body", {{"external_id", "<m@x>"}, {"max_chars", "3"}});
    EXPECT_EQ(cut.body["body_text"], "Bet");
    EXPECT_TRUE(cut.body["truncated"]);
    EXPECT_EQ(cut.body["total_chars"], own.body["total_chars"]);
    EXPECT_EQ(service::splitQuotedText("Grüße\n> x").own, "Grüße");

    EXPECT_EQ(get("/api/v1/mail/body", {{"external_id", "<m@x>"}, {"max_chars", "0"}}).message(),
              "max_chars must be greater than 0");
    EXPECT_EQ(get("/api/v1/mail/body").message(), "Missing external_id");
    const Reply unknown = get("/api/v1/mail/detail", {{"external_id", "<none@x>"}});
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.message(),
              "No indexed mail with external_id '<none@x>'. Use search_mail or get_mail_recent to obtain a valid "
              "RFC message-id.");

    const Reply detail = get("/api/v1/mail/detail", {{"external_id", "<m@x>"}});
    EXPECT_EQ(detail.body["content_length"], content.size() - 2);  // characters: "ü" and "ß" are one each
    EXPECT_EQ(detail.body["content_preview"], content);
}

TEST_F(MailRoutesTest, ADraftIsAMessageTheParserReadsBackWithItsAttachments) {
    const auto pdf = dir_.path() / "report 2024.pdf";
    std::ofstream(pdf, std::ios::binary) << std::string("%PDF-1.4\0binary\xff", 16);
    const Reply created = draft({{"to", {"Anna Müller <anna@example.org>"}},
                                 {"cc", {"bob@example.org"}},
                                 {"subject", "Angebot für Q3"},
                                 {"body", "Hallo Anna,\nanbei das Angebot."},
                                 {"account", "me@example.org"},
                                 {"attachments",
                                  {{{"inline", {{"filename", "Übersicht 2024.txt"}, {"content", base64Of("inline text")}}}},
                                   {{"path", pdf.string()}}}}});
    ASSERT_EQ(created.status, 200) << created.body.dump();
    EXPECT_EQ(created.body["attachments_attached"], json({"Übersicht 2024.txt", "report 2024.pdf"}));
    EXPECT_EQ(created.body["account"], "me@example.org");
    EXPECT_TRUE(created.body["account_matched"]);
    EXPECT_TRUE(created.body["opened"]);
    EXPECT_FALSE(created.body["sent"]);

    const auto file = dir_.path() / "Drafts" / (created.body["draft_id"].get<std::string>() + ".eml");
    ASSERT_EQ(opened_, std::vector<std::filesystem::path>{file});
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const mail::ParsedEmlx message = mail::parseMessage(bytes);
    EXPECT_EQ(message.headers.at("subject"), "Angebot für Q3");
    EXPECT_EQ(message.headers.at("to"), "Anna Müller <anna@example.org>");
    EXPECT_EQ(message.headers.at("x-unsent"), "1");
    EXPECT_NE(mail::messageBodyText(message).value_or("").find("anbei das Angebot."), std::string::npos);
    const auto parts = mail::extractParts(message);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].info.filename, "Übersicht 2024.txt");
    EXPECT_EQ(parts[1].decoded, "inline text");
    EXPECT_EQ(parts[2].info.filename, "report 2024.pdf");
    EXPECT_EQ(parts[2].info.contentType, "application/pdf");
    EXPECT_EQ(parts[2].decoded, std::string("%PDF-1.4\0binary\xff", 16));

    const Reply hidden = draft({{"to", {"a@example.org"}}, {"subject", "s"}, {"body", "b"}, {"open", false}});
    EXPECT_FALSE(hidden.body["opened"]);
    EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(MailRoutesTest, ADraftThatDoesNotValidateIsRefusedAndLeavesNothing) {
    const json base = {{"to", {"a@example.org"}}, {"subject", "s"}, {"body", "b"}};
    const auto with = [&](const json& changes) {
        json body = base;
        body.update(changes);
        return draft(body);
    };
    const auto inlineFile = [](const std::string& name, const std::string& content) {
        return json{{"attachments", {{{"inline", {{"filename", name}, {"content", content}}}}}}};
    };
    const std::vector<std::pair<Reply, std::string>> cases = {
        {with({{"to", json::array()}}), "At least one recipient in 'to' is required."},
        {with({{"bcc", {"Bob <bob@@example.org>"}}}), "Not a usable email address: 'Bob <bob@@example.org>'"},
        {with({{"to", {"a@example.org\r\nBcc: x@evil.example"}}}),
         "Not a usable email address: 'a@example.org\r\nBcc: x@evil.example'"},
        {with({{"subject", "  "}}), "'subject' must not be empty."},
        {with({{"body", ""}}), "'body' must not be empty."},
        {with({{"body_html", "<p>b</p>"}}),
         "'body_html' cannot be honoured: Mail's scripting interface declares its 'html content' property as "
         "deprecated and without effect, so HTML would be silently dropped. Pass plain text via 'body' instead."},
        {with({{"attachments", {{{"path", "notes.txt"}}}}}),
         "Attachment path must be absolute: 'notes.txt'. No draft was created."},
        {with({{"attachments", {{{"path", (dir_.path() / "gone.txt").string()}}}}}),
         "Attachment not found: '" + (dir_.path() / "gone.txt").string() + "'"},
        {with(inlineFile("a/b.txt", base64Of("x"))), "Unusable attachment filename 'a/b.txt': must not contain '/'"},
        {with(inlineFile("..", base64Of("x"))), "Unusable attachment filename '..': '.' and '..' are not file names"},
        {with(inlineFile("a.txt", "not*base64")), "Unusable content of the attachment 'a.txt': content is not valid base64"},
        {with(inlineFile("a.txt", "")), "Unusable content of the attachment 'a.txt': content is empty"},
    };
    for (const auto& [reply, message] : cases) {
        EXPECT_EQ(reply.status, 400) << message;
        EXPECT_EQ(reply.code(), "bad_request");
        EXPECT_EQ(reply.message(), message);
    }
    const Reply tooBig = with(inlineFile("big.bin", base64Of(std::string(20'971'521, 'x'))));
    EXPECT_EQ(tooBig.status, 400);
    EXPECT_NE(tooBig.message().find("20971521"), std::string::npos) << tooBig.message();
    EXPECT_EQ(call(HttpMethod::post, "/api/v1/mail/draft", {}, "{\"to\": [").message().rfind("Invalid JSON body: ", 0), 0u);
    EXPECT_EQ(draftFiles(), 0u);
    EXPECT_TRUE(opened_.empty());

    EXPECT_EQ(with(inlineFile("exact.bin", base64Of(std::string(20'971'520, 'x')))).status, 200);
}

TEST_F(MailRoutesTest, TheMailClientsStoreIsReadBelowTheMailFolderOrItsErrorIsAnswered) {
    const Reply missing = get("/api/v1/mail/mailboxes");
    EXPECT_EQ(missing.status, 500);
    EXPECT_EQ(missing.code(), "internal_error");
    EXPECT_EQ(missing.message().rfind("Envelope index error: Envelope Index nicht gefunden", 0), 0u) << missing.message();
    EXPECT_EQ(get("/api/v1/mail/peek", {{"rowid", "12x"}}).message(), "Missing or invalid rowid");
    EXPECT_EQ(get("/api/v1/mail/find-emlx").message(), "Missing or invalid rowid");

    // The default mail folder: <home>/Library/Mail.
    const auto root = dir_.path() / "home" / "Library" / "Mail";
    testing::EnvelopeIndexFixture store(root);
    const int64_t inbox = store.addMailbox("imap://u@host/INBOX", 1);
    testing::EnvelopeMessage message;
    message.rowid = 7;
    message.documentId = "DOC-7";
    message.subject = "Quarterly figures";
    message.mailbox = inbox;
    const int64_t rowid = store.addMessage(message);
    const auto messages = root / "V10" / "INBOX.mbox" / "Messages";
    std::filesystem::create_directories(messages);
    const std::string rfc = "Subject: Quarterly figures\r\nFrom: anna@example.org\r\n\r\nThe figures are attached.\r\n";
    std::ofstream(messages / "7.partial.emlx") << rfc.size() << "\n" << rfc;
    std::ofstream(messages / "7.emlx") << rfc.size() << "\n" << rfc << "<?xml version=\"1.0\"?><plist/>";

    const Reply boxes = get("/api/v1/mail/mailboxes");
    ASSERT_EQ(boxes.status, 200) << boxes.body.dump();
    EXPECT_EQ(boxes.body["items"][0]["url"], "imap://u@host/INBOX");
    EXPECT_EQ(get("/api/v1/mail/find-rowid", {{"subject_like", "figures"}}).body["matches"][0]["rowid"], rowid);
    const Reply found = get("/api/v1/mail/find-emlx", {{"rowid", "7"}});
    EXPECT_EQ(found.body["path"], (messages / "7.emlx").string());  // the full file wins over the partial one
    EXPECT_EQ(found.body["indexed_total"], 2);
    const Reply extracted = get("/api/v1/mail/debug-extract", {{"rowid", "7"}});
    EXPECT_EQ(extracted.body["headers_summary"]["subject"], "Quarterly figures");
    EXPECT_EQ(extracted.body["extracted_body"], "The figures are attached.");
    EXPECT_EQ(get("/api/v1/mail/tree", {{"subpath", "V10"}}).body["count"], 2);  // INBOX.mbox, MailData
    EXPECT_EQ(get("/api/v1/mail/tree", {{"subpath", "../.."}}).status, 400);

    // Set up on another folder: its store becomes the one the indexer reads and the routes look at.
    const auto other = dir_.path() / "Elsewhere" / "Mail";
    testing::EnvelopeIndexFixture second(other);
    second.addMailbox("imap://u@host/Archive", 1);
    const Reply setUp = call(HttpMethod::post, "/api/v1/mail/setup", {}, json({{"mail_root", other.string()}}).dump());
    ASSERT_EQ(setUp.status, 200) << setUp.body.dump();
    mail::MailSourceList sources;
    ASSERT_EQ(sources.load(), std::nullopt);
    ASSERT_EQ(sources.sources().size(), 1u);
    EXPECT_EQ(sources.sources()[0].path, other);
    EXPECT_EQ(get("/api/v1/mail/mailboxes").body["items"][0]["url"], "imap://u@host/Archive");
}

TEST_F(MailRoutesTest, MaintenanceResetsWhatItSaysAndAsksTheIndexerForARun) {
    index("<ok@x>", "fine", 100);
    ASSERT_TRUE(fts_.upsertMeta("<bad@x>", mail::MailIndexStatus::failed, std::nullopt, 5, "unreadable"));
    ASSERT_TRUE(fts_.upsertMeta("<bad@x>", mail::MailIndexStatus::failed, std::nullopt, 5, "unreadable"));
    EXPECT_EQ(get("/api/v1/mail/incomplete").body["items"][0]["attempt_count"], 2);

    const Reply retried = call(HttpMethod::post, "/api/v1/mail/retry-incomplete");
    EXPECT_EQ(retried.status, 200);
    const Reply pending = get("/api/v1/mail/incomplete", {{"status", "pending"}});
    ASSERT_EQ(pending.body["count"], 1);
    EXPECT_EQ(pending.body["items"][0]["attempt_count"], 0);
    EXPECT_EQ(get("/api/v1/mail/incomplete", {{"status", "sideways"}}).status, 400);

    ASSERT_FALSE(settings_.setInt(service::kMailLastSeenRowidKey, 90));
    EXPECT_EQ(call(HttpMethod::post, "/api/v1/mail/reindex", {{"restart", "true"}}).body,
              json({{"triggered", true}, {"restart", true}}));
    EXPECT_EQ(settings_.getInt(service::kMailLastSeenRowidKey), 0);
    EXPECT_EQ(settings_.getBool(service::kMailForceRunOnceKey), true);
    EXPECT_EQ(runs_, (std::vector<bool>{true, true}));
    EXPECT_EQ(restarts_, (std::vector<bool>{false, true}));

    ASSERT_TRUE(jobs_.enqueue("<ok@x>", std::string("a.docx"), 10, "/s/a"));
    const auto failed = jobs_.enqueue("<ok@x>", std::string("b.docx"), 20, "/s/b");
    ASSERT_TRUE(failed && jobs_.markFailed(*failed, "upload: refused"));
    const Reply list = get("/api/v1/mail/cloud-jobs");
    EXPECT_EQ(list.body["counts"]["failed"], 1);
    EXPECT_EQ(list.body["counts"]["pending"], 1);
    EXPECT_EQ(get("/api/v1/mail/index-status").body["office_attachments_pending"], 1);
    EXPECT_EQ(call(HttpMethod::post, "/api/v1/mail/cloud-jobs/cancel").body, json({{"action", "cancel"}, {"affected", 1}}));
    EXPECT_EQ(call(HttpMethod::post, "/api/v1/mail/cloud-jobs/retry").body, json({{"action", "retry"}, {"affected", 1}}));
    EXPECT_EQ(get("/api/v1/mail/cloud-jobs", {{"status", "notSupported"}}).body["items"][0]["error_reason"],
              "user cancelled");

    const Reply cleared = call(HttpMethod::post, "/api/v1/mail/clear-index");
    EXPECT_EQ(cleared.body, json({{"cleared", true}, {"indexed_count", 0}}));
    EXPECT_EQ(get("/api/v1/mail/recent").body["count"], 0);
}

}  // namespace
}  // namespace lumidex::api
