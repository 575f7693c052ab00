// What a local mail store (a Maildir folder, an mbox file, a folder of mbox files) holds: one entry per
// message with where it lies and a cheap key that changes when it must be read again, the difference
// between two such listings, a compact JSON form to keep a listing between runs, and reading one message.
//
// Listings are values; every function here is thread-safe on distinct arguments and never throws except
// std::bad_alloc. Nothing here ever writes to a mail store: files are opened read-only and never locked.
// A store that changes while it is read gives an error for the message concerned, never a crash.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumidex::mail {

enum class MailStoreKind { maildir, mbox, mboxFolder };

// "maildir", "mbox", "mbox-folder".
std::string_view storeKindName(MailStoreKind kind);
std::optional<MailStoreKind> storeKindFromName(std::string_view name);

// A Maildir folder (cur/ or new/ inside), an mbox file (starts with a "From " line, or is empty), or a
// folder holding either; nullopt for anything else.
std::optional<MailStoreKind> detectStoreKind(const std::filesystem::path& path);

struct MessageLocation {
    // Identifies the message within its store across runs. Maildir: the unique part of the file name
    // (before ":2,"), so a move from new/ to cur/ or another folder and a flag change keep it. mbox: the
    // file's path below the store and a hash of the message bytes (the mail program's status lines left
    // out), so compaction and flag updates keep it while a different message never shares it.
    std::string id;
    std::filesystem::path file;  // relative to the store's root; empty for a single mbox file
    int64_t offset = -1;         // mbox: where the "From " line starts; -1: the whole file is the message
    int64_t length = 0;          // mbox: bytes up to the next separator; Maildir: the file's size
    std::string mailbox;         // "INBOX", "Work/Projects", "Local Folders/Inbox"
    std::string changeKey;       // differs when the same id must be read again; empty when id says it all

    bool operator==(const MessageLocation&) const = default;
};

// The state of one mbox file at listing time, to tell a file that only grew from one rewritten.
struct MboxFileState {
    std::filesystem::path file;  // relative to the store's root
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    uint64_t tailHash = 0;       // of the last bytes before `size`
    std::string mailbox;

    bool operator==(const MboxFileState&) const = default;
};

struct MailListing {
    MailStoreKind kind = MailStoreKind::maildir;
    std::filesystem::path root;
    std::vector<MessageLocation> messages;  // sorted by id, ids unique
    std::vector<MboxFileState> mboxFiles;   // sorted by file
    std::vector<std::string> unreadable;    // folders and files skipped with their error, for the log
};

struct ListingError {
    std::string message;  // "Mail store not readable: <path>: <reason>"
};

using ListingResult = std::variant<MailListing, ListingError>;

// Lists the store at `root`. With the previous listing of the same store, mbox files whose size, time
// and inode are unchanged are not read at all and a file that only grew is read from its old end; a
// rewritten file is read again. `previous` of another kind or root is ignored. Messages whose file or
// folder name is not UTF-8 are left out and named in `unreadable` (a listing is kept as JSON).
ListingResult listMailStore(MailStoreKind kind, const std::filesystem::path& root, const MailListing* previous = nullptr);

struct MovedMessage {
    std::string fromId;
    MessageLocation to;
};

// What a re-run has to do: read `added` and `changed`, update the location or mailbox of `moved`
// without reading the message again, forget `removed`.
struct ListingDiff {
    std::vector<MessageLocation> added;
    std::vector<MessageLocation> changed;
    std::vector<MovedMessage> moved;
    std::vector<std::string> removed;  // ids

    bool empty() const { return added.empty() && changed.empty() && moved.empty() && removed.empty(); }
};

ListingDiff diffListings(const MailListing& before, const MailListing& after);

// The listing as JSON for storing between runs, and back. A document that is not exactly such a listing
// (damaged, truncated, of an older layout) gives nullopt: the caller lists the store from scratch.
nlohmann::json listingToJson(const MailListing& listing);
std::optional<MailListing> listingFromJson(const nlohmann::json& json);

struct MessageReadError {
    std::string message;  // "Mail message not readable: <path>: <reason>"
};

// The message's bytes as parseMessage() takes them: an mbox message without its "From " line and with
// ">From " lines unquoted. A Maildir message that moved since listing is looked for under its id in the
// same folder. An mbox message whose bytes no longer match the listing (the file was rewritten) is an
// error; the caller lists the store again.
std::variant<std::string, MessageReadError> readMessage(const MailListing& listing, const MessageLocation& location);

// The first maxBytes of the message (as readMessage gives it); `cut` when the message is longer. The rest
// is read only as far as an mbox message's check against its listing needs, never kept.
struct MessageBytes {
    std::string bytes;
    bool cut = false;
};
std::variant<MessageBytes, MessageReadError> readMessagePrefix(const MailListing& listing, const MessageLocation& location,
                                                               size_t maxBytes);

// 64-bit FNV-1a; persisted in message ids, so it never changes.
uint64_t fnv1a64(std::string_view bytes, uint64_t seed = 14695981039346656037ULL);

}  // namespace lumidex::mail
