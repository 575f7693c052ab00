#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <map>
#include <sstream>

#include "app/search_command.h"
#include "core/settings/settings.h"
#include "search_test_support.h"

namespace lumidex {
namespace {

using search::testing::FakeMailSource;
using search::testing::FolderRegistry;
using search::testing::StorageFolderIndex;

// Runs one command line and returns what it printed to stdout.
struct CommandRun {
    std::string out;
    std::string err;
};

struct SearchCommand : ::testing::Test {
    std::shared_ptr<StorageFolderIndex> office = std::make_shared<StorageFolderIndex>("Office");
    std::shared_ptr<StorageFolderIndex> home = std::make_shared<StorageFolderIndex>("Home");
    FolderRegistry registry;
    std::shared_ptr<FakeMailSource> mail = std::make_shared<FakeMailSource>();

    void SetUp() override {
        registry.add(office);
        registry.add(home);
        office->add({"invoice-may.pdf", "Rechnung Mai: die Rechnung ist offen", 1714558830, 2});
        office->add({"notes.txt", "Notizen zur Rechnung", 1000});
        home->add({"Letter.docx", "Eine Rechnung vom Handwerker, Rechnung Rechnung", 2000, 4, 77});
        home->add({"copy.docx", "Duplicate text", 3000, 1, 77});
    }

    CommandRun run(std::vector<std::string> args) {
        CLI::App app;
        addSearchCommand(app, registry.function(), [this] { return mail; });
        addDuplicatesCommand(app, registry.function());
        args.insert(args.begin(), "lumidex");
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        std::stringstream out, err;
        auto* oldOut = std::cout.rdbuf(out.rdbuf());
        auto* oldErr = std::cerr.rdbuf(err.rdbuf());
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (...) {
            std::cout.rdbuf(oldOut);
            std::cerr.rdbuf(oldErr);
            throw;
        }
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
        return {out.str(), err.str()};
    }
};

TEST_F(SearchCommand, PrintsEachHitWithFolderMatchesDateAndSnippetThenTheCount) {
    const CommandRun r = run({"search", "rechnung", "--folder", office->rootPath(), "--sort", "relevance"});
    EXPECT_NE(r.out.find("invoice-may.pdf\n  folder: " + office->rootPath() + "  matches: 2  modified: 2024-05-01T10:20:30Z"),
              std::string::npos)
        << r.out;
    // The passage in the document's own words, unmarked when stdout is no terminal.
    EXPECT_NE(r.out.find("\n  Rechnung Mai: die Rechnung ist offen\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Letter.docx"), std::string::npos);
    EXPECT_LT(r.out.find("invoice-may.pdf"), r.out.find("notes.txt"));
    EXPECT_NE(r.out.find("Found 2 results"), std::string::npos);
}

TEST_F(SearchCommand, JsonOutputAndFilters) {
    const CommandRun r = run({"search", "rechnung", "--json", "--type", "documents", "--min-matches", "3"});
    const auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["query"], "rechnung");
    EXPECT_EQ(json["total_count"], 1);
    ASSERT_EQ(json["results"].size(), 1u);
    const auto& hit = json["results"][0];
    EXPECT_EQ(hit["file_name"], "Letter.docx");
    EXPECT_EQ(hit["file_type"], "docx");
    EXPECT_EQ(hit["folder"], home->rootPath());
    EXPECT_EQ(hit["match_count"], 3);
    EXPECT_EQ(hit["page_count"], 4);
    EXPECT_EQ(hit["source_type"], "filesystem");
    EXPECT_NE(hit["snippet"].get<std::string>().find("rechnung vom handwerker. rechnung"), std::string::npos);
    EXPECT_EQ(hit["display_snippet"], "Eine Rechnung vom Handwerker, Rechnung Rechnung");

    const auto sized = nlohmann::json::parse(run({"search", "rechnung", "--json", "--max-size", "25"}).out);
    ASSERT_EQ(sized["results"].size(), 1u);
    EXPECT_EQ(sized["results"][0]["file_name"], "notes.txt");

    const auto pages = nlohmann::json::parse(run({"search", "rechnung", "--json", "--min-pages", "2"}).out);
    EXPECT_EQ(pages["results"].size(), 2u);
}

TEST_F(SearchCommand, DateRangeLimitAndHints) {
    const auto dated = nlohmann::json::parse(
        run({"search", "", "--json", "--from", "1970-01-01", "--to", "1970-01-01T00:40:00Z", "--date-field", "modified"})
            .out);
    ASSERT_EQ(dated["results"].size(), 2u) << "an empty text with a date range searches by date alone";

    const CommandRun limited = run({"search", "rechnung", "--limit", "1"});
    EXPECT_NE(limited.out.find("Found 1 results"), std::string::npos);
    EXPECT_NE(limited.err.find("showing the first 1 of 3 hits"), std::string::npos);

    const CommandRun emoji = run({"search", "🙂🙂🙂"});
    EXPECT_NE(emoji.out.find("Found 0 results\nEmojis and special characters are ignored in the search."),
              std::string::npos);
    home->indexing = true;
    EXPECT_NE(run({"search", "rechnung"}).out.find("The search index is currently being built."), std::string::npos);

    const CommandRun tooShort = run({"search", "ab"});
    EXPECT_NE(tooShort.out.find("Found 0 results"), std::string::npos);
    EXPECT_NE(tooShort.err.find("at least 3 characters"), std::string::npos);
}

TEST_F(SearchCommand, BadOptionValuesFailButNoSearchTextDoes) {
    EXPECT_THROW(run({"search", "rechnung", "--folder", "/nowhere"}), CLI::RuntimeError);
    EXPECT_THROW(run({"search", "rechnung", "--from", "yesterday"}), CLI::RuntimeError);
    EXPECT_THROW(run({"search", "rechnung", "--sort", "random"}), CLI::ValidationError);
    EXPECT_THROW(run({"search", "rechnung", "--type", "video"}), CLI::ValidationError);
    for (const char* text : {"\"unbalanced", "-rechnung", "((", "NEAR/2", "\xFF\xFE", "🙂"}) {
        EXPECT_NO_THROW(run({"search", "--", text})) << text;
        EXPECT_NO_THROW(run({"search", "--json", "--", text})) << text;
    }
    EXPECT_NE(run({"search", "--", "-rechnung"}).out.find("Found 0 results"), std::string::npos);
}

TEST_F(SearchCommand, MailJoinsOnlyWhenEnabled) {
    mail->hits = {{"M-1", "Rechnung per Mail", "INBOX", dateFromSecondsSince1970(50), std::nullopt, 1},
                  {"maildir:0123456789abcdef:1700.M1P1", "Rechnung", "maildir:///m/INBOX", dateFromSecondsSince1970(40), std::nullopt, 1},
                  {"mbox:0123456789abcdef:Inbox#1f", "Rechnung", "mbox:///t/Inbox", dateFromSecondsSince1970(30), std::nullopt, 1}};
    EXPECT_EQ(nlohmann::json::parse(run({"search", "rechnung", "--json"}).out)["results"].size(), 3u);
    ASSERT_FALSE(Settings::shared().set(SettingsKeys::mailSourceEnabled, true).has_value());
    const auto json = nlohmann::json::parse(run({"search", "rechnung", "--json"}).out);
    ASSERT_FALSE(Settings::shared().set(SettingsKeys::mailSourceEnabled, false).has_value());
    ASSERT_EQ(json["results"].size(), 6u);
    std::map<std::string, std::string> sourceTypes;
    for (const auto& result : json["results"]) sourceTypes[result["id"]] = result["source_type"];
    EXPECT_EQ(sourceTypes["M-1"], "apple_mail");
    EXPECT_EQ(sourceTypes["maildir:0123456789abcdef:1700.M1P1"], "maildir");
    EXPECT_EQ(sourceTypes["mbox:0123456789abcdef:Inbox#1f"], "mbox");
    EXPECT_EQ(json["results"][3]["mail_mailbox"], "INBOX");
    EXPECT_EQ(json["results"][3]["folder"], "INBOX");  // its mailbox, not the search's internal mail root
}

TEST_F(SearchCommand, DuplicatesListsGroupsPerFolder) {
    const CommandRun one = run({"duplicates", home->rootPath() + "/"});
    EXPECT_NE(one.out.find("Duplicates in " + home->rootPath()), std::string::npos);
    EXPECT_NE(one.out.find("2 documents"), std::string::npos);
    EXPECT_LT(one.out.find("Letter.docx"), one.out.find("copy.docx")) << "oldest first";

    const CommandRun all = run({"duplicates"});
    EXPECT_NE(all.out.find("Duplicates in " + office->rootPath() + "\nNo duplicates found"), std::string::npos);
    EXPECT_THROW(run({"duplicates", "/nowhere"}), CLI::RuntimeError);
}

}  // namespace
}  // namespace lumidex
