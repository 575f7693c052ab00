// The builders of the tool rows and the first half of the catalogue: documents and folders, app
// status, the user-interface basics, settings and mail.
#include <algorithm>
#include <utility>

#include "mcp/mcp_tool_catalogue.h"

namespace lumidex::mcp {
namespace catalogue {
namespace {

Arg make(std::string name, const char* type, std::string description, bool required) {
    Json schema = Json::object();
    schema["type"] = type;
    if (!description.empty()) schema["description"] = std::move(description);
    return Arg{std::move(name), std::move(schema), required};
}

Json schemaOf(const std::vector<Arg>& args) {
    Json properties = Json::object();
    Json required = Json::array();
    for (const Arg& arg : args) {
        properties[arg.name] = arg.schema;
        if (arg.required) required.push_back(arg.name);
    }
    Json schema = Json::object();
    schema["type"] = "object";
    schema["properties"] = std::move(properties);
    if (!required.empty()) schema["required"] = std::move(required);
    return schema;
}

ToolRow row(std::string name, std::string description, const std::vector<Arg>& args, ToolRoute route) {
    return ToolRow{McpToolDefinition{std::move(name), std::move(description), schemaOf(args)}, std::move(route)};
}

}  // namespace

Arg str(std::string name, std::string description, bool required) {
    return make(std::move(name), "string", std::move(description), required);
}
Arg strEnum(std::string name, std::string description, std::vector<std::string> values, bool required) {
    Arg arg = str(std::move(name), std::move(description), required);
    arg.schema["enum"] = std::move(values);
    return arg;
}
Arg integer(std::string name, std::string description, bool required) {
    return make(std::move(name), "integer", std::move(description), required);
}
Arg number(std::string name, std::string description, bool required) {
    return make(std::move(name), "number", std::move(description), required);
}
Arg boolean(std::string name, std::string description, bool required) {
    return make(std::move(name), "boolean", std::move(description), required);
}
Arg strings(std::string name, std::string description, bool required, std::vector<std::string> values) {
    Json items = Json::object();
    items["type"] = "string";
    if (!values.empty()) items["enum"] = std::move(values);
    return array(std::move(name), std::move(description), std::move(items), required);
}
Arg array(std::string name, std::string description, Json items, bool required) {
    Arg arg = make(std::move(name), "array", std::move(description), required);
    arg.schema["items"] = std::move(items);
    return arg;
}
Arg object(std::string name, std::string description, bool required) {
    return make(std::move(name), "object", std::move(description), required);
}
Arg confirmArg() { return boolean("confirm", "Must be true to execute this irreversible/sensitive action.", true); }

ToolRow rest(std::string name, std::string description, api::HttpMethod method, std::string pattern,
             std::vector<Arg> args, bool confirm, std::vector<std::string> queryArguments) {
    return row(std::move(name), std::move(description), args,
               ToolRoute{ToolKind::rest, method, std::move(pattern), confirm, std::move(queryArguments)});
}
ToolRow local(std::string name, std::string description, std::vector<Arg> args) {
    return row(std::move(name), std::move(description), args, ToolRoute{ToolKind::local, api::HttpMethod::get, "", false, {}});
}
ToolRow noStore(std::string name, std::string description, std::vector<Arg> args) {
    return row(std::move(name), std::move(description), args, ToolRoute{ToolKind::noStore, api::HttpMethod::get, "", false, {}});
}

std::vector<ToolRow> firstRows() {
    using api::HttpMethod;
    const auto get = HttpMethod::get;
    const auto post = HttpMethod::post;
    const Arg documentId = str("document_id", "Document ID (from search results)", true);
    const Arg byDocument = str("document_id", "Document ID (from search results).");
    const Arg byPath = str("file_path", "Absolute file path (instead of document_id).");
    const Arg mailLimit = integer("limit", "Max results (default 20, max 200)");
    const Arg messageId = str("message_id", "RFC message-id of the mail (external_id from search_mail).", true);
    return {
        rest("search_documents",
             "Full-text search across all indexed documents (PDFs, images) AND — if Apple Mail indexing is enabled — "
             "Apple Mail messages (subject, body, attachment text). Returns matching items with snippets and match "
             "counts; each item carries source_type ('filesystem' or 'apple_mail'). Both sources are searched by "
             "default; use source_types to restrict. For mail-only search with inbox scoping, prefer search_mail.",
             post, "/api/v1/search",
             {str("query", "Search query (min 3 characters)", true),
              strings("source_types",
                      "Optional: restrict sources. Omit = both. [\"apple_mail\"] = mail only, [\"filesystem\"] = "
                      "documents only.",
                      false, {"filesystem", "apple_mail"}),
              strings("folders", "Optional: folder IDs to limit search scope"),
              integer("limit", "Max results (default 20, max 100)"),
              strEnum("sort_order", "Sort order (default: relevance)",
                      {"relevance", "newest", "oldest", "name_asc", "name_desc"})}),
        rest("get_document_text", "Get the full OCR text content of a document. Returns text organized by page.", get,
             "/api/v1/documents/:document_id/text",
             {documentId, integer("page", "Optional: specific page number (1-based). Omit for all pages.")}),
        rest("get_document_metadata",
             "Get metadata for a document: file name, path, page count, file size, processing state, and folder "
             "reference.",
             get, "/api/v1/documents/:document_id", {documentId}),
        rest("list_folders", "List all indexed document folders with their IDs and paths.", get, "/api/v1/folders"),
        rest("list_folder_contents",
             "List documents in a specific folder with processing state. Supports pagination.", get,
             "/api/v1/folders/:folder_id/contents",
             {str("folder_id", "Folder ID (from list_folders)", true),
              integer("limit", "Max results (default 50, max 500)"),
              integer("offset", "Offset for pagination (default 0)")}),
        rest("get_processing_status",
             "Get OCR processing statistics: total documents, counts by state (completed, not_processed, processing, "
             "error, etc.), per-folder breakdown.",
             get, "/api/v1/processing/stats"),
        rest("get_document_thumbnail",
             "Get a PNG thumbnail of a specific document page. Returns base64-encoded image data.", get,
             "/api/v1/documents/:document_id/thumbnail",
             {str("document_id", "Document ID", true), integer("page", "Page number (1-based, default 1)")}),
        rest("export_documents",
             "Export OCR text and metadata for multiple documents at once. Useful for bulk text extraction.", post,
             "/api/v1/export",
             {strings("document_ids", "List of document IDs (max 100)", true),
              boolean("include_ocr_text", "Include OCR text per page (default true)"),
              boolean("include_metadata", "Include file metadata (default true)")}),
        local("get_app_status", "Get application health status, version, uptime, and active port."),
        rest("get_ui_state",
             "Get the state of the main window: focused field, browse or search mode, the selected document and the "
             "number of listed items.",
             get, "/api/v1/ui/state"),
        rest("get_search_state",
             "Get the search shown in the main window: search text, exact-phrase and fuzzy flags, and the match "
             "rectangles highlighted on the preview.",
             get, "/api/v1/ui/search-state"),
        rest("ui_search", "Type a query into the main window's search field and run the search. Returns the result count.",
             post, "/api/v1/ui/search", {str("query", "Search text to enter.", true)}),
        rest("ui_navigate",
             "Move the selection in the document list: by direction (up, down, first, last), or to a list index or "
             "document_id.",
             post, "/api/v1/ui/navigate",
             {strEnum("direction", "Direction to move the selection.", {"up", "down", "first", "last"}),
              integer("index", "Optional: list position to select (0-based)."), byDocument}),
        rest("ui_select_document", "Select a document in the current list by document_id or list index.", post,
             "/api/v1/ui/select", {byDocument, integer("index", "List position (0-based).")}),
        rest("ui_screenshot", "Take a PNG screenshot of the main window. Returns base64-encoded image data.", get,
             "/api/v1/ui/screenshot"),
        rest("open_in_finder", "Reveal a document (by document_id or file_path) in the file manager.", post,
             "/api/v1/ui/open-in-finder", {byDocument, byPath}),
        rest("open_document_external",
             "Open a document (by document_id or file_path) in its default application.", post,
             "/api/v1/ui/open-external", {byDocument, byPath}),
        rest("reprocess_document",
             "Re-queue a document for OCR processing. Useful when OCR failed or the document was updated.", post,
             "/api/v1/documents/:document_id/reprocess",
             {str("document_id", "Document ID to reprocess", true),
              boolean("force", "Force reprocess even if currently processing (default false)")}),
        rest("rescan_folder",
             "Rescan a folder (by folder_id) for new or changed files. Initiates an asynchronous folder scan.", post,
             "/api/v1/folders/:folder_id/rescan", {str("folder_id", "Folder ID to rescan", true)}),
        rest("get_settings", "Get the application settings, all of them or one category.", get, "/api/v1/settings",
             {strEnum("category", "Settings category (default: all)",
                      {"all", "search", "processing", "appearance", "server", "file_types"})}),
        noStore("get_mail_message_metadata",
                "Get the metadata of one Apple Mail message (sender, recipients, subject, dates, mailbox, attachments) "
                "by its message ID.",
                {messageId}),
        noStore("open_in_apple_mail", "Open one message (by message ID) in Apple Mail.", {messageId}),
        rest("get_mail_index_status",
             "Get the state of the Apple Mail index: enabled flag, indexing progress, indexed message counts and the "
             "Envelope Index it reads.",
             get, "/api/v1/mail/status"),
        rest("get_mail_recent", "List the most recently received indexed mails, newest first.", get,
             "/api/v1/mail/recent", {mailLimit}),
        rest("list_inbox", "List the newest mails that have a copy in an inbox, newest first.", get,
             "/api/v1/mail/inbox", {mailLimit}),
        rest("search_mail",
             "Search indexed Apple Mail messages (subject, sender, body, attachment text); each term is "
             "prefix-matched. Returns messages with snippets and external IDs.",
             get, "/api/v1/mail/search",
             {str("query", "Search query (min 2 characters)", true),
              boolean("inbox_only", "Only mails with a copy in an inbox (default false)"),
              integer("limit", "Max results (default 50, max 500)")}),
        rest("get_mail_mailboxes", "List Apple Mail's mailboxes with their message counts.", get,
             "/api/v1/mail/mailboxes"),
        rest("setup_apple_mail",
             "Set up Apple Mail indexing: mail folder, accounts to index, attachment size limit; optionally clear the "
             "index and enable indexing.",
             post, "/api/v1/mail/setup",
             {str("mail_root", "Optional: the Mail folder (default ~/Library/Mail)."),
              array("account_rowids", "Optional: account row IDs to index (omit = all accounts).",
                    Json{{"type", "integer"}}),
              integer("ocr_limit_mb", "Optional: size limit in MB for attachment text extraction."),
              boolean("clear_index", "Optional: clear the mail index first."),
              boolean("enable", "Optional: enable (true) or stop (false) mail indexing.")}),
        rest("disable_apple_mail", "Disable Apple Mail indexing. The mail index is kept.", post,
             "/api/v1/mail/disable"),
        rest("clear_mail_index", "Clear the Apple Mail index; mails are indexed again on the next run.", post,
             "/api/v1/mail/clear-index"),
        rest("reindex_apple_mail", "Start an Apple Mail index run now.", post, "/api/v1/mail/reindex",
             {boolean("restart", "Start over from the first message (default false)")}, false, {"restart"}),
        rest("get_mail_full_index_status",
             "Get per-state counts of the mail index: indexed, empty, failed, pending, and office attachments waiting "
             "for cloud extraction.",
             get, "/api/v1/mail/index-status"),
        rest("list_incomplete_mails", "List mails whose indexing failed or is still pending, with the reason.", get,
             "/api/v1/mail/incomplete",
             {str("status", "Optional: only this index status."), integer("limit", "Max results (default 50, max 500)")}),
        rest("retry_incomplete_mails", "Reset failed and incomplete mails and run the mail indexer again.", post,
             "/api/v1/mail/retry-incomplete"),
        rest("cleanup_stale_mail_meta", "Remove index records of mails that no longer exist in Apple Mail.", post,
             "/api/v1/mail/cleanup-stale"),
        rest("list_mail_cloud_jobs",
             "List the cloud text-extraction jobs for office attachments, with counts per status.", get,
             "/api/v1/mail/cloud-jobs",
             {str("status", "Optional: only jobs in this status."), integer("limit", "Max results (default 100, max 500)")}),
        rest("retry_failed_mail_cloud_jobs", "Queue failed attachment extraction jobs again.", post,
             "/api/v1/mail/cloud-jobs/retry"),
        rest("cancel_pending_mail_cloud_jobs", "Cancel attachment extraction jobs that have not started.", post,
             "/api/v1/mail/cloud-jobs/cancel"),
        rest("tick_mail_cloud_worker", "Run one step of the attachment extraction worker now.", post,
             "/api/v1/mail/cloud-jobs/tick"),
        rest("get_mail_detail", "Get sender, subject, mailbox and a content preview of one indexed mail.", get,
             "/api/v1/mail/detail", {str("external_id", "RFC message-id (external_id from search_mail).", true)}),
        rest("get_mail_body",
             "Get the text of one indexed mail. Quoted earlier messages are left out unless include_quoted is true.",
             get, "/api/v1/mail/body",
             {str("external_id", "RFC message-id (external_id from search_mail).", true),
              boolean("include_quoted", "Also return the quoted earlier messages (default false)"),
              integer("max_chars", "Optional: cut the text after this many characters.")}),
        rest("create_mail_draft",
             "Create a draft in Apple Mail with recipients, subject, plain-text body and attachments. The draft is "
             "saved, never sent.",
             post, "/api/v1/mail/draft",
             {strings("to", "Recipient addresses (at least one).", true), strings("cc", "Optional: CC addresses."),
              strings("bcc", "Optional: BCC addresses."), str("subject", "Subject line.", true),
              str("body", "Plain-text body.", true), str("body_html", "Not supported; use body."),
              array("attachments",
                    "Optional: each an absolute file path, or an object {filename, content} with base64 content.",
                    Json::object()),
              str("account", "Optional: sender address choosing the account."),
              boolean("open", "Show the draft in Mail (default true)")}),
        rest("get_mail_by_rowid", "Get the raw Envelope Index record of one message by its row ID.", get,
             "/api/v1/mail/peek", {integer("rowid", "Envelope Index row ID.", true)}),
        local("reveal_mail_in_finder", "Reveal the message file of one mail (by row ID) in the file manager.",
              {integer("rowid", "Envelope Index row ID.", true)}),
        noStore("list_mail_attachments", "List the attachments of one mail with name, size and type.", {messageId}),
        noStore("get_mail_attachment",
                "Get one attachment of a mail by name; with save_to_path it is written to that file instead.",
                {messageId, str("name", "Attachment file name (from list_mail_attachments).", true),
                 str("save_to_path", "Optional: absolute path to save the attachment to.")}),
    };
}

}  // namespace catalogue

const std::vector<ToolRow>& toolRows() {
    static const std::vector<ToolRow> rows = [] {
        std::vector<ToolRow> all = catalogue::firstRows();
        for (ToolRow& row : catalogue::secondRows()) all.push_back(std::move(row));
        return all;
    }();
    return rows;
}

const ToolRow* findToolRow(std::string_view name) {
    const auto& rows = toolRows();
    const auto found = std::find_if(rows.begin(), rows.end(), [name](const ToolRow& r) { return r.definition.name == name; });
    return found == rows.end() ? nullptr : &*found;
}

const std::vector<McpToolDefinition>& mcpToolCatalogue() {
    static const std::vector<McpToolDefinition> definitions = [] {
        std::vector<McpToolDefinition> list;
        for (const ToolRow& row : toolRows()) list.push_back(row.definition);
        return list;
    }();
    return definitions;
}

}  // namespace lumidex::mcp
