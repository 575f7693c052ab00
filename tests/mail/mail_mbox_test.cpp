#include "mail/mail_mbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <variant>

#include "mail/mail_message.h"
#include "mail/mail_source_listing.h"
#include "mail/mail_thunderbird.h"
#include "support/temp_home.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;
using lumidex::testing::readFile;
using lumidex::testing::ScopedHome;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

// One message as the desktop client stores it, with its status lines.
std::string entry(const std::string& subject, const std::string& body, const std::string& status = "0001") {
    return "From - Tue Mar  5 10:15:00 2024\nX-Mozilla-Status: " + status + "\nX-Mozilla-Status2: 00000000\nFrom: anna@example.org\n"
           "Subject: " + subject + "\n\n" + body + "\n";
}

MailListing listOrFail(MailStoreKind kind, const fs::path& root, const MailListing* previous = nullptr) {
    auto result = listMailStore(kind, root, previous);
    if (auto* error = std::get_if<ListingError>(&result)) ADD_FAILURE() << error->message;
    return std::holds_alternative<MailListing>(result) ? std::get<MailListing>(std::move(result)) : MailListing{};
}

std::string subjectOf(const MailListing& listing, const MessageLocation& location) {
    const auto bytes = readMessage(listing, location);
    if (auto* error = std::get_if<MessageReadError>(&bytes)) return "error: " + error->message;
    const auto parsed = parseMessage(std::get<std::string>(bytes));
    return parsed.headers.contains("subject") ? parsed.headers.at("subject") : std::string();
}

void replaceInFile(const fs::path& file, const std::string& from, const std::string& to) {
    std::string text = readFile(file);
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    writeFile(file, text);
}

TEST(MboxScan, FromLinesInBodiesDoNotSplitAndQuotedOnesAreUnquoted) {
    const std::string first = entry("Letter",
                                     "Dear Anna,\n\nFrom the desk of Bert\nNote: greetings.\n\nFrom 10:30 onwards we meet\nin room 4.\n"
                                     ">From here on it is quoted.\n>>From twice.\n");
    const std::string second = entry("Second", "Short.");
    const std::string crlf = "From x@y Wed Mar  6 08:00:00 2024\r\nSubject: Windows\r\n\r\nLine\r\n";
    MboxScanner scanner;
    const std::string all = first + "\n" + second + "\n" + crlf;
    // Fed in awkward pieces: line boundaries never coincide with block boundaries.
    for (size_t at = 0; at < all.size(); at += 7) scanner.feed(std::string_view(all).substr(at, 7));
    const auto spans = scanner.finish();
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].offset, 0);
    EXPECT_EQ(spans[0].length, static_cast<int64_t>(first.size() + 1));
    EXPECT_EQ(spans[1].offset, static_cast<int64_t>(first.size() + 1));
    EXPECT_EQ(spans[2].offset, static_cast<int64_t>(first.size() + second.size() + 2));
    EXPECT_FALSE(scanner.strayBytes());

    const std::string unquoted = unquoteMboxMessage(all.substr(0, static_cast<size_t>(spans[0].length)));
    EXPECT_TRUE(unquoted.starts_with("X-Mozilla-Status: 0001\n"));
    EXPECT_NE(unquoted.find("\nFrom here on it is quoted.\n>From twice.\n"), std::string::npos);

    // The status lines and the separator line do not count: a flag change keeps the message's hash.
    MboxScanner flagged;
    flagged.feed(entry("Second", "Short.", "0009"));
    const auto flaggedSpans = flagged.finish();
    ASSERT_EQ(flaggedSpans.size(), 1u);
    EXPECT_EQ(flaggedSpans[0].hash, spans[1].hash);
    EXPECT_TRUE(flaggedSpans[0].expunged);
    EXPECT_FALSE(spans[1].expunged);

    // A line of several megabytes (an attachment without line breaks) fed in blocks of any size.
    const std::string blob = entry("Blob", std::string(2'500'000, 'Q')) + "\n" + second;
    MboxScanner whole;
    whole.feed(blob);
    const auto wholeSpans = whole.finish();
    ASSERT_EQ(wholeSpans.size(), 2u);
    EXPECT_EQ(wholeSpans[1].hash, spans[1].hash);
    MboxScanner pieces;
    for (size_t at = 0; at < blob.size(); at += 1'100'000) pieces.feed(std::string_view(blob).substr(at, 1'100'000));
    const auto pieceSpans = pieces.finish();
    ASSERT_EQ(pieceSpans.size(), 2u);
    EXPECT_EQ(pieceSpans[0].hash, wholeSpans[0].hash);
    EXPECT_EQ(pieceSpans[1].offset, wholeSpans[1].offset);

    MboxScanner stray(0, true);
    stray.feed("garbage before\n\n" + second);
    EXPECT_EQ(stray.finish().size(), 1u);
    EXPECT_TRUE(stray.strayBytes());
}

TEST(MboxListing, AppendedMessagesAreReadFromTheOldEndAndCompactionOnlyMovesMessages) {
    TempDir dir;
    const fs::path inbox = dir / "Inbox";
    const std::string padding(6000, 'x');  // keeps the first message out of the bytes checked at the old end
    const std::string a = entry("Alpha", "First.");
    const std::string b = entry("Beta", "Second.\n" + padding);
    writeFile(inbox, a + "\n" + b);

    const MailListing first = listOrFail(MailStoreKind::mbox, inbox);
    ASSERT_EQ(first.messages.size(), 2u);
    EXPECT_EQ(first.messages[0].mailbox, "Inbox");
    for (const auto& m : first.messages) EXPECT_TRUE(subjectOf(first, m) == "Alpha" || subjectOf(first, m) == "Beta") << subjectOf(first, m);

    // Unchanged file: nothing read, nothing to do.
    EXPECT_TRUE(diffListings(first, listOrFail(MailStoreKind::mbox, inbox, &first)).empty());

    // The first message changes in place (same size) and a message is appended: only the new bytes are
    // read, so the in-place change goes unnoticed while the appended message shows.
    replaceInFile(inbox, "First.", "Fixed.");
    { std::ofstream(inbox, std::ios::app | std::ios::binary) << "\n" << entry("Gamma", "Third."); }
    const MailListing grown = listOrFail(MailStoreKind::mbox, inbox, &first);
    ListingDiff diff = diffListings(first, grown);
    ASSERT_EQ(diff.added.size(), 1u);
    EXPECT_EQ(subjectOf(grown, diff.added[0]), "Gamma");
    EXPECT_TRUE(diff.removed.empty() && diff.moved.empty() && diff.changed.empty());
    // Reading the changed message notices that its bytes are not the listed ones.
    int unreadable = 0;
    for (const auto& m : grown.messages) unreadable += subjectOf(grown, m).starts_with("error: ") ? 1 : 0;
    EXPECT_EQ(unreadable, 1);
    replaceInFile(inbox, "Fixed.", "First.");

    // Deleted in the client (the expunged flag written in place) while another message arrived.
    replaceInFile(inbox, "X-Mozilla-Status: 0001\nX-Mozilla-Status2: 00000000\nFrom: anna@example.org\nSubject: Beta",
                  "X-Mozilla-Status: 0009\nX-Mozilla-Status2: 00000000\nFrom: anna@example.org\nSubject: Beta");
    { std::ofstream(inbox, std::ios::app | std::ios::binary) << "\n" << entry("Delta", "Fourth."); }
    const MailListing flagged = listOrFail(MailStoreKind::mbox, inbox, &grown);
    diff = diffListings(grown, flagged);
    ASSERT_EQ(diff.removed.size(), 1u);
    ASSERT_EQ(diff.added.size(), 1u);
    EXPECT_EQ(subjectOf(flagged, diff.added[0]), "Delta");
    EXPECT_TRUE(diff.moved.empty());

    // Compaction writes a new file without the deleted message: the others only move.
    writeFile(dir / "Inbox.tmp", a + "\n" + entry("Gamma", "Third.") + "\n" + entry("Delta", "Fourth."));
    fs::rename(dir / "Inbox.tmp", inbox);
    const MailListing compacted = listOrFail(MailStoreKind::mbox, inbox, &flagged);
    diff = diffListings(flagged, compacted);
    EXPECT_TRUE(diff.added.empty() && diff.removed.empty() && diff.changed.empty());
    ASSERT_EQ(diff.moved.size(), 2u);
    EXPECT_EQ((std::set<std::string>{subjectOf(compacted, diff.moved[0].to), subjectOf(compacted, diff.moved[1].to)}),
              (std::set<std::string>{"Gamma", "Delta"}));
    // The old listing's offsets now point into other bytes: an error for that message, not a crash.
    for (const auto& m : flagged.messages) {
        if (m.offset > 0) {
            EXPECT_TRUE(subjectOf(flagged, m).starts_with("error: "));
        }
    }
    fs::resize_file(inbox, 10);
    EXPECT_TRUE(subjectOf(compacted, compacted.messages[0]).starts_with("error: "));
}

TEST(ThunderbirdProfiles, ProfilesIniLeadsToMailFoldersOfMboxFiles) {
    ScopedHome home;
    const fs::path base = home.home() / ".thunderbird";
    writeFile(base / "profiles.ini",
              "[Profile1]\nName=old\nIsRelative=1\nPath=gone.old\nDefault=1\n\n"
              "[Profile0]\r\nName=default-release\r\nIsRelative=1\r\nPath=ab12.default-release\r\n\r\n"
              "[Install4F96D1932A9F858E]\nDefault=ab12.default-release\nLocked=1\n\n[General]\nVersion=2\n");
    const fs::path profile = base / "ab12.default-release";
    writeFile(profile / "Mail/Local Folders/Inbox", entry("Local", "Hello."));
    writeFile(profile / "Mail/Local Folders/Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n");
    writeFile(profile / "Mail/Local Folders/Inbox.sbd/Receipts", entry("Receipt", "Paid.") + "\n" + entry("Deleted receipt", "Paid.", "0009"));
    writeFile(profile / "Mail/Local Folders/popstate.dat", "# POP3 State File\n");
    writeFile(profile / "ImapMail/imap.example.org/INBOX", entry("Cached", "From the server."));
    writeFile(profile / "ImapMail/imap.example.org/Trash", "");

    const auto profiles = findThunderbirdProfiles(home.home());
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0].name, "default-release");
    EXPECT_TRUE(profiles[0].isDefault);
    ASSERT_EQ(profiles[0].mailFolders.size(), 2u);
    EXPECT_EQ(detectStoreKind(profiles[0].mailFolders[0]), MailStoreKind::mboxFolder);

    const MailListing local = listOrFail(MailStoreKind::mboxFolder, profiles[0].mailFolders[0]);
    std::multiset<std::string> mailboxes;
    for (const auto& m : local.messages) mailboxes.insert(m.mailbox);
    EXPECT_EQ(mailboxes, (std::multiset<std::string>{"Local Folders/Inbox", "Local Folders/Inbox/Receipts"}));
    EXPECT_EQ(local.mboxFiles.size(), 2u);
    for (const auto& m : local.messages) EXPECT_FALSE(subjectOf(local, m).starts_with("error: "));

    const MailListing imap = listOrFail(MailStoreKind::mboxFolder, profiles[0].mailFolders[1]);
    ASSERT_EQ(imap.messages.size(), 1u);
    EXPECT_EQ(imap.messages[0].mailbox, "imap.example.org/INBOX");
    EXPECT_EQ(subjectOf(imap, imap.messages[0]), "Cached");
}

}  // namespace
}  // namespace lumidex::mail
