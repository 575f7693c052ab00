#include "mcp/mcp_prompts.h"

#include <algorithm>
#include <optional>

namespace lumidex::mcp {
namespace {

std::vector<McpPrompt> buildPrompts() {
    std::vector<McpPrompt> prompts;
    prompts.push_back(
        {"search_my_documents", "Search my documents",
         "Search the indexed documents and mail for a topic and summarise what was found.",
         {{"query", "What to look for", true}, {"scope", "Restrict to documents, mail or both", false}},
         "Search my indexed content for: {{query}}\nScope: {{scope}}.\nUse search_documents. Report the most "
         "relevant hits with file name, folder and the matching passage, and say plainly if there is no good "
         "match rather than guessing.",
         {{"scope", "documents and mail"}}});
    prompts.push_back(
        {"summarise_invoices", "Summarise invoices from a company",
         "Collect the invoices of one sender and summarise amounts, dates and invoice numbers.",
         {{"company", "The company or sender", true},
          {"period", "Time span, e.g. \"2026\" or \"last quarter\"", false}},
         "Find all invoices from {{company}} for {{period}}.\nSearch documents and mail, open the promising ones "
         "with get_document_text, and build a table with date, invoice number, net amount, VAT and total. List "
         "documents you could not read separately instead of leaving them out.",
         {{"period", "any period"}}});
    prompts.push_back(
        {"whats_new", "What was scanned recently",
         "Go through the documents scanned most recently and say what they are.",
         {},
         "List the documents scanned most recently and tell me in one line each what they are \u2014 sender, kind "
         "of document, date, and anything that needs an answer or a deadline. Start with list_recent_scans and "
         "read the text of the ones whose purpose is not obvious.",
         {}});
    prompts.push_back(
        {"inbox_triage", "Triage my inbox",
         "Sort the current inbox into what needs an answer, what only needs filing and what can go.",
         {{"limit", "How many mails to look at", false}},
         "Go through the newest {{limit}} mails in my inbox with list_inbox and sort them into three groups: needs "
         "a reply, only needs filing, can be ignored. Name the deadline for everything in the first group. Do not "
         "write or send anything.",
         {{"limit", "20"}}});
    prompts.push_back(
        {"find_attachment", "Find a mail attachment", "Track down a mail whose attachment is about a given topic.",
         {{"topic", "What the attachment is about", true}},
         "Find the mail whose attachment deals with: {{topic}}\nThe attachment texts are indexed, so search_mail "
         "finds them too. Give me sender, subject, date and the attachment name, and quote the passage that "
         "matches.",
         {}});
    prompts.push_back(
        {"extract_document_fields", "Extract data from a document",
         "Read one document and pull out the fields asked for.",
         {{"document", "File name or search term identifying the document", true},
          {"fields", "The fields to extract", false}},
         "Find the document \"{{document}}\", read its full text and extract: {{fields}}\nGive the result as a "
         "table with field and value. Where the text is unreadable or the field is missing, say so instead of "
         "inferring a plausible value \u2014 the text comes from OCR and can be wrong.",
         {{"fields", "the fields that matter for this kind of document"}}});
    prompts.push_back(
        {"folder_overview", "Overview of a folder",
         "Describe what is in a search folder and what state the indexing is in.",
         {{"folder", "Name of the search folder", true}},
         "Give me an overview of the folder \"{{folder}}\": how many documents, which kinds, what time span, and "
         "how much of it is fully indexed. Use list_folders, get_folder_stats and list_folder_contents, and point "
         "out documents that failed to process.",
         {}});
    prompts.push_back(
        {"prepare_reply", "Prepare a reply as a draft",
         "Find the relevant mail, gather the matching documents and prepare a reply as a draft.",
         {{"about", "What the reply is about", true}},
         "Find the mail about: {{about}}\nGather the documents needed to answer it and prepare a reply with "
         "create_mail_draft. Show me the text before you create the draft. The draft stays in Mail \u2014 nothing "
         "is ever sent.",
         {}});
    return prompts;
}

// The text of argument NAME: a string as it is, a number or boolean as its JSON text (a client may send
// {"limit": 5}); an absent, empty or other value counts as not given, so a client that sends "" for a
// field the user left blank gets the fallback.
std::optional<std::string> givenValue(const Json& arguments, const std::string& name) {
    if (!arguments.is_object()) return std::nullopt;
    const auto it = arguments.find(name);
    if (it == arguments.end()) return std::nullopt;
    if (it->is_number() || it->is_boolean()) return it->dump();
    if (!it->is_string()) return std::nullopt;
    std::string value = it->get<std::string>();
    if (value.empty()) return std::nullopt;
    return value;
}

// One pass from left to right: replaced text is never scanned again, so a value that itself contains
// "{{x}}" arrives verbatim. A placeholder naming no argument of the prompt stays as written.
std::string fillTemplate(const McpPrompt& prompt, const Json& arguments) {
    const std::string& text = prompt.templateText;
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find("{{", pos);
        if (open == std::string::npos) break;
        const size_t close = text.find("}}", open + 2);
        if (close == std::string::npos) break;
        const std::string name = text.substr(open + 2, close - open - 2);
        const bool known = std::any_of(prompt.arguments.begin(), prompt.arguments.end(),
                                       [&](const McpPrompt::Argument& a) { return a.name == name; });
        out.append(text, pos, open - pos);
        if (!known) {
            out.append(text, open, close + 2 - open);
        } else if (std::optional<std::string> value = givenValue(arguments, name)) {
            out += *value;
        } else if (const auto fallback = prompt.fallbacks.find(name); fallback != prompt.fallbacks.end()) {
            out += fallback->second;
        }
        pos = close + 2;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

}  // namespace

const std::vector<McpPrompt>& mcpPrompts() {
    static const std::vector<McpPrompt> prompts = buildPrompts();
    return prompts;
}

Json promptListEntry(const McpPrompt& prompt) {
    Json arguments = Json::array();
    for (const McpPrompt::Argument& argument : prompt.arguments) {
        arguments.push_back(
            {{"name", argument.name}, {"description", argument.description}, {"required", argument.required}});
    }
    return {{"name", prompt.name},
            {"title", prompt.title},
            {"description", prompt.description},
            {"arguments", std::move(arguments)}};
}

std::variant<Json, PromptError> getPrompt(const std::string& name, const Json& arguments) {
    const std::vector<McpPrompt>& prompts = mcpPrompts();
    const auto prompt =
        std::find_if(prompts.begin(), prompts.end(), [&](const McpPrompt& p) { return p.name == name; });
    if (prompt == prompts.end()) return PromptError{-32602, "Unknown prompt: " + name};
    for (const McpPrompt::Argument& argument : prompt->arguments) {
        if (argument.required && !givenValue(arguments, argument.name)) {
            return PromptError{-32602, "Missing required argument: " + argument.name};
        }
    }
    Json message = {{"role", "user"}, {"content", {{"type", "text"}, {"text", fillTemplate(*prompt, arguments)}}}};
    return Json{{"description", prompt->description}, {"messages", Json::array({std::move(message)})}};
}

}  // namespace lumidex::mcp
