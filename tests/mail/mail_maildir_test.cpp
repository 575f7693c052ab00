#include "mail/mail_maildir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <variant>

#include "mail/mail_message.h"
#include "mail/mail_source_listing.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

std::string message(const std::string& subject) {
    return "From: anna@example.org\nSubject: " + subject + "\nMessage-ID: <" + subject + "@example.org>\n\nBody of " + subject + "\n";
}

MailListing listOrFail(const fs::path& root, const MailListing* previous = nullptr) {
    auto result = listMailStore(MailStoreKind::maildir, root, previous);
    if (auto* error = std::get_if<ListingError>(&result)) ADD_FAILURE() << error->message;
    return std::holds_alternative<MailListing>(result) ? std::get<MailListing>(std::move(result)) : MailListing{};
}

const MessageLocation* find(const MailListing& listing, const std::string& id) {
    for (const auto& m : listing.messages) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

TEST(MaildirListing, MoveAndFlagChangeKeepTheMessageWhileDeletedAndNewOnesShow) {
    TempDir dir;
    const fs::path root = dir / "Mail";
    writeFile(root / "new/1700000000.M1P1.host", message("Arrived"));
    writeFile(root / "cur/1700000001.M2P1.host:2,S", message("Read"));
    writeFile(root / "cur/.dovecot-uidlist-like", "not a message");
    writeFile(root / "tmp/1700000009.M9P1.host", message("Still being delivered"));
    writeFile(root / ".Work.Projects/cur/1700000002.M3P1.host:2,RS", message("Project"));
    fs::create_directories(root / ".Work.Projects/new");

    const MailListing first = listOrFail(root);
    ASSERT_EQ(first.messages.size(), 3u);
    const auto* arrived = find(first, "1700000000.M1P1.host");
    ASSERT_NE(arrived, nullptr);
    EXPECT_EQ(arrived->mailbox, "INBOX");
    ASSERT_NE(find(first, "1700000002.M3P1.host"), nullptr);
    EXPECT_EQ(find(first, "1700000002.M3P1.host")->mailbox, "Work/Projects");

    // The mail program saw the new message and flagged it; another was deleted, one arrived.
    fs::rename(root / "new/1700000000.M1P1.host", root / "cur/1700000000.M1P1.host:2,FS");
    fs::remove(root / "cur/1700000001.M2P1.host:2,S");
    writeFile(root / ".Work.Projects/new/1700000003.M4P1.host", message("Fresh"));

    const MailListing second = listOrFail(root);
    const ListingDiff diff = diffListings(first, second);
    ASSERT_EQ(diff.added.size(), 1u);
    EXPECT_EQ(diff.added[0].id, "1700000003.M4P1.host");
    EXPECT_EQ(diff.added[0].mailbox, "Work/Projects");
    EXPECT_EQ(diff.removed, std::vector<std::string>{"1700000001.M2P1.host"});
    EXPECT_TRUE(diff.changed.empty());
    ASSERT_EQ(diff.moved.size(), 1u);
    EXPECT_EQ(diff.moved[0].fromId, "1700000000.M1P1.host");
    EXPECT_EQ(diff.moved[0].to.file, fs::path("cur/1700000000.M1P1.host:2,FS"));
    EXPECT_TRUE(diffListings(second, listOrFail(root)).empty());

    // A location from before the rename still reads; the deleted message is an error, not a crash.
    const auto stale = readMessage(first, *arrived);
    ASSERT_TRUE(std::holds_alternative<std::string>(stale));
    EXPECT_EQ(parseMessage(std::get<std::string>(stale)).headers.at("subject"), "Arrived");
    const auto gone = readMessage(first, *find(first, "1700000001.M2P1.host"));
    ASSERT_TRUE(std::holds_alternative<MessageReadError>(gone));
    EXPECT_NE(std::get<MessageReadError>(gone).message.find("1700000001.M2P1.host"), std::string::npos);
}

TEST(MaildirListing, CopiesInTwoFoldersAndNestedFoldersAreDistinctMessages) {
    TempDir dir;
    const fs::path root = dir / "mbsync";
    writeFile(root / "Archive/2024/cur/1.A.host:2,S", message("Old"));
    writeFile(root / "INBOX/cur/1.A.host:2,S", message("Old"));
    writeFile(root / "INBOX/new/2.B.host", message("New"));
    fs::create_directories(root / "Empty/cur");
    writeFile(dir / "notes/readme.txt", "hello");
    writeFile(root / "INBOX/cur/3.Caf\xE9.host:2,", message("Latin-1 name"));

    const MailListing listing = listOrFail(root);
    ASSERT_EQ(listing.messages.size(), 3u);
    EXPECT_EQ(listing.unreadable.size(), 1u);
    EXPECT_NO_THROW(static_cast<void>(listingToJson(listing).dump()));
    ASSERT_NE(find(listing, "1.A.host"), nullptr);
    ASSERT_NE(find(listing, "1.A.host@INBOX"), nullptr);
    EXPECT_EQ(find(listing, "1.A.host")->mailbox, "Archive/2024");

    EXPECT_EQ(detectStoreKind(root), MailStoreKind::maildir);
    EXPECT_EQ(detectStoreKind(root / "INBOX"), MailStoreKind::maildir);
    EXPECT_EQ(detectStoreKind(dir / "notes"), std::nullopt);
    EXPECT_TRUE(std::holds_alternative<ListingError>(listMailStore(MailStoreKind::maildir, dir / "missing")));
}

TEST(MailListingJson, RoundTripsAndRejectsDamagedDocuments) {
    TempDir dir;
    writeFile(dir / "Mail/new/1.A.host", message("One"));
    writeFile(dir / "Mail/.Sent/cur/2.B.host:2,S", message("Two"));
    const MailListing listing = listOrFail(dir / "Mail");
    const nlohmann::json json = listingToJson(listing);

    const auto back = listingFromJson(nlohmann::json::parse(json.dump()));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->kind, listing.kind);
    EXPECT_EQ(back->root, listing.root);
    EXPECT_EQ(back->messages, listing.messages);
    EXPECT_TRUE(diffListings(*back, listing).empty());

    auto wrongType = json;
    wrongType["messages"][0][2] = "zero";
    auto shortRow = json;
    shortRow["messages"][0].erase(5);
    auto unsorted = json;
    std::swap(unsorted["messages"][0], unsorted["messages"][1]);
    auto otherVersion = json;
    otherVersion["version"] = 0;
    for (const auto& damaged : {wrongType, shortRow, unsorted, otherVersion, nlohmann::json::array(), nlohmann::json(nullptr)}) {
        EXPECT_FALSE(listingFromJson(damaged).has_value()) << damaged.dump().substr(0, 200);
    }
}

}  // namespace
}  // namespace lumidex::mail
