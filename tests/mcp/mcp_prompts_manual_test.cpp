#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <variant>

#include "mcp/mcp_manual.h"
#include "mcp/mcp_prompts.h"

namespace lumidex::mcp {
namespace {

std::string promptText(const std::string& name, const Json& arguments) {
    auto result = getPrompt(name, arguments);
    if (const auto* error = std::get_if<PromptError>(&result)) {
        ADD_FAILURE() << name << ": " << error->message;
        return {};
    }
    return std::get<Json>(result)["messages"][0]["content"]["text"].get<std::string>();
}

std::optional<PromptError> promptError(const std::string& name, const Json& arguments) {
    auto result = getPrompt(name, arguments);
    if (const auto* error = std::get_if<PromptError>(&result)) return *error;
    return std::nullopt;
}

TEST(McpPromptsTest, OptionalArgumentsTakeTheirFallbackWhenAbsentOrEmpty) {
    EXPECT_NE(promptText("inbox_triage", Json::object()).find("the newest 20 mails"), std::string::npos);
    EXPECT_NE(promptText("inbox_triage", nullptr).find("the newest 20 mails"), std::string::npos);
    EXPECT_NE(promptText("inbox_triage", {{"limit", ""}}).find("the newest 20 mails"), std::string::npos);
    EXPECT_NE(promptText("inbox_triage", {{"limit", 5}}).find("the newest 5 mails"), std::string::npos);
    EXPECT_NE(promptText("inbox_triage", {{"limit", Json::array()}}).find("the newest 20 mails"), std::string::npos);
    EXPECT_NE(promptText("inbox_triage", {{"limit", "5"}}).find("the newest 5 mails"), std::string::npos);

    EXPECT_EQ(promptText("extract_document_fields", {{"document", "Invoice 4711"}})
                  .rfind("Find the document \"Invoice 4711\", read its full text and extract: the fields that "
                         "matter for this kind of document\nGive the result",
                         0),
              0u);
    EXPECT_NE(promptText("summarise_invoices", {{"company", "ACME"}}).find("Find all invoices from ACME for any period."),
              std::string::npos);

    auto result = getPrompt("whats_new", Json::object());
    ASSERT_TRUE(std::holds_alternative<Json>(result));
    const Json& answer = std::get<Json>(result);
    EXPECT_EQ(answer["description"], "Go through the documents scanned most recently and say what they are.");
    EXPECT_EQ(answer["messages"][0]["role"], "user");
    EXPECT_EQ(answer["messages"][0]["content"]["type"], "text");
}

TEST(McpPromptsTest, MissingOrEmptyRequiredArgumentsAndUnknownPromptsAreInvalidParams) {
    for (const Json& arguments : {Json::object(), Json{{"company", ""}}, Json{{"company", Json::array()}}, Json{{"period", "2026"}}}) {
        const auto error = promptError("summarise_invoices", arguments);
        ASSERT_TRUE(error) << arguments.dump();
        EXPECT_EQ(error->code, -32602);
        EXPECT_EQ(error->message, "Missing required argument: company");
    }
    const auto unknown = promptError("summarize_invoices", {{"company", "ACME"}});
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->code, -32602);
    EXPECT_EQ(unknown->message, "Unknown prompt: summarize_invoices");
}

TEST(McpPromptsTest, ValuesAreInsertedVerbatimAndNeverExpandedAgain) {
    const std::string filled =
        promptText("search_my_documents", {{"query", "{{scope}} and {{query}}"}, {"scope", "mail {{query}}"}});
    EXPECT_EQ(filled.rfind("Search my indexed content for: {{scope}} and {{query}}\nScope: mail {{query}}.\nUse ", 0), 0u)
        << filled;
    const std::string unbalanced = promptText("folder_overview", {{"folder", "{{"}});
    EXPECT_EQ(unbalanced.rfind("Give me an overview of the folder \"{{\": how many documents", 0), 0u) << unbalanced;
}

TEST(McpPromptsTest, EveryPlaceholderNamesAnArgumentAndEveryFallbackAnOptionalOne) {
    const std::regex placeholder(R"(\{\{([^}]*)\}\})");
    std::set<std::string> names;
    for (const McpPrompt& prompt : mcpPrompts()) {
        EXPECT_TRUE(names.insert(prompt.name).second) << prompt.name;
        std::set<std::string> arguments;
        for (const auto& argument : prompt.arguments) arguments.insert(argument.name);
        for (auto it = std::sregex_iterator(prompt.templateText.begin(), prompt.templateText.end(), placeholder);
             it != std::sregex_iterator(); ++it) {
            EXPECT_TRUE(arguments.count((*it)[1].str())) << prompt.name << " uses " << (*it)[1].str();
        }
        for (const auto& [name, text] : prompt.fallbacks) {
            const auto argument = std::find_if(prompt.arguments.begin(), prompt.arguments.end(),
                                               [&](const McpPrompt::Argument& a) { return a.name == name; });
            ASSERT_NE(argument, prompt.arguments.end()) << prompt.name << " falls back for " << name;
            EXPECT_FALSE(argument->required) << prompt.name << "." << name;
        }
        const Json entry = promptListEntry(prompt);
        EXPECT_EQ(entry["name"], prompt.name);
        ASSERT_TRUE(entry["arguments"].is_array());
        ASSERT_EQ(entry["arguments"].size(), prompt.arguments.size());
        for (size_t i = 0; i < prompt.arguments.size(); ++i) {
            EXPECT_EQ(entry["arguments"][i]["required"], prompt.arguments[i].required);
        }
    }
    EXPECT_EQ(names.size(), 8u);
}

std::string manualJson(const std::string& language, const Json& sections) {
    return Json{{"language", language}, {"version", "1"}, {"sections", sections}}.dump();
}

Json section(const std::string& id, const std::string& title, const std::string& body) {
    return {{"id", id}, {"chapter", "Chapter"}, {"title", title}, {"body", body}};
}

TEST(McpManualTest, BuiltInManualsLoadWithUniqueIdsAndTheSameSectionsInBothLanguages) {
    const McpManualStore& store = McpManualStore::builtIn();
    const ManualFile* de = store.manual("de");
    const ManualFile* en = store.manual("en");
    ASSERT_NE(de, nullptr);
    ASSERT_NE(en, nullptr);
    for (const ManualFile* file : {de, en}) {
        std::set<std::string> ids;
        for (const ManualSection& s : file->sections) {
            EXPECT_TRUE(ids.insert(s.id).second) << file->language << ": duplicate " << s.id;
            EXPECT_NE(s.id.find('/'), std::string::npos) << s.id;
            EXPECT_FALSE(s.chapter.empty() || s.title.empty() || s.body.empty()) << s.id;
        }
    }
    // The two languages tell the same facts, section for section.
    EXPECT_EQ(de->sections.size(), en->sections.size());
    // The ids the tool descriptions give as examples exist.
    EXPECT_TRUE(std::any_of(de->sections.begin(), de->sections.end(),
                            [](const ManualSection& s) { return s.id == "suche/phrasensuche"; }));
    ASSERT_FALSE(store.search("Phrasensuche", "de", 5).empty());
    EXPECT_EQ(store.search("Phrasensuche", "de", 5)[0].section->id, "suche/phrasensuche");
    ASSERT_FALSE(store.search("phrase search", "en", 5).empty());
    EXPECT_EQ(store.search("phrase search", "en", 5)[0].section->id, "search/phrase-search");
}

TEST(McpManualTest, SearchRanksByMatchCountKeepsManualOrderOnTiesAndRespectsTheLimit) {
    const std::string en = manualJson(
        "en", Json::array({section("a/one", "Tokens", "A token once."), section("a/two", "Other", "Nothing here."),
                           section("a/three", "Token", "TOKEN and token."), section("a/four", "Token", "token token")}));
    const McpManualStore store = McpManualStore::fromJson({en});
    const auto hits = store.search("token", "en", 10);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].section->id, "a/three");
    EXPECT_EQ(hits[0].matchCount, 3);
    EXPECT_EQ(hits[1].section->id, "a/four");
    EXPECT_EQ(hits[2].section->id, "a/one");
    EXPECT_EQ(hits[2].matchCount, 2);

    const auto limited = store.search("token", "en", 2);
    ASSERT_EQ(limited.size(), 2u);
    EXPECT_EQ(limited[1].section->id, "a/four");
    EXPECT_TRUE(store.search("token", "en", 0).empty());
    EXPECT_TRUE(store.search("token", "de", 5).empty());
    EXPECT_TRUE(store.search("?!", "en", 5).empty());
}

TEST(McpManualTest, SearchFoldsCaseUmlautsAndAccentsAndQuotesTheOriginalText) {
    std::string filler;
    for (int i = 0; i < 60; ++i) filler += "Wort" + std::to_string(i) + " ";
    const std::string de = manualJson(
        "de", Json::array({section("vertrag/kuendigung", "Verträge",
                                   filler + "Die Kündigung muss schriftlich erfolgen. " + filler),
                           section("vertrag/strasse", "Adresse", "Die Straße steht im Kopf des Briefes.")}));
    const McpManualStore store = McpManualStore::fromJson({de});
    for (const char* query : {"Kündigung", "KÜNDIGUNG", "kuendigung", "Kündig"}) {
        const auto hits = store.search(query, "de", 5);
        ASSERT_EQ(hits.size(), 1u) << query;
        EXPECT_EQ(hits[0].section->id, "vertrag/kuendigung");
        EXPECT_NE(hits[0].snippet.find("Die Kündigung muss"), std::string::npos) << hits[0].snippet;
        EXPECT_EQ(hits[0].snippet.rfind("\u2026", 0), 0u) << "a passage from the middle is marked as cut";
        EXPECT_LT(hits[0].snippet.size(), filler.size());
    }
    // Umlauts fold to their written-out form, not to the bare vowel.
    EXPECT_TRUE(store.search("Kundigung", "de", 5).empty());
    EXPECT_EQ(store.search("strasse", "de", 5).size(), 1u);
    EXPECT_EQ(store.search("vertrage", "de", 5).size(), 0u);
    EXPECT_EQ(store.search("vertraege", "de", 5).size(), 1u);
}

TEST(McpManualTest, UnreadableFilesAreSkippedAndTheOthersLoad) {
    const std::string good = manualJson("en", Json::array({section("x/y", "Title", "Body")}));
    const McpManualStore store = McpManualStore::fromJson(
        {"{not json", good, R"({"language":"de","version":"1"})",
         manualJson("fr", Json::array({{{"id", "x/y"}, {"chapter", "C"}, {"title", "T"}, {"body", 3}}})), "[]", ""});
    ASSERT_NE(store.manual("en"), nullptr);
    EXPECT_EQ(store.manual("en")->sections.size(), 1u);
    EXPECT_EQ(store.manual("de"), nullptr);
    EXPECT_EQ(store.manual("fr"), nullptr);
}

}  // namespace
}  // namespace lumidex::mcp
