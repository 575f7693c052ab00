#include "mail/mail_source_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "mail/mail_maildir.h"
#include "mail/mail_mbox.h"
#include "mail/mail_source_listing_internal.h"
#include "platform/charset.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;

constexpr int kListingVersion = 1;
constexpr const char* kListingFormat = "lumidex-mail-listing";

// How deep and how wide detectStoreKind() looks for messages inside a folder.
constexpr int kDetectDepth = 3;
constexpr int kDetectEntries = 2000;

std::optional<MailStoreKind> detectInFolder(const fs::path& folder, int depth, int& budget) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end; it.increment(ec)) {
        if (--budget < 0) return std::nullopt;
        std::error_code typeError;
        if (it->is_symlink(typeError)) continue;
        if (it->is_directory(typeError)) {
            if (isMaildirFolder(it->path())) return MailStoreKind::maildir;
            if (depth < kDetectDepth) {
                if (const auto kind = detectInFolder(it->path(), depth + 1, budget)) return kind;
            }
        } else if (it->is_regular_file(typeError) && looksLikeMbox(it->path())) {
            return MailStoreKind::mboxFolder;
        }
    }
    return std::nullopt;
}

bool sortedUnique(const std::vector<MessageLocation>& messages) {
    return std::adjacent_find(messages.begin(), messages.end(),
                              [](const MessageLocation& a, const MessageLocation& b) { return !(a.id < b.id); }) == messages.end();
}

}  // namespace

uint64_t fnv1a64(std::string_view bytes, uint64_t seed) {
    uint64_t hash = seed;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::optional<uint64_t> mboxMessageHash(std::string_view id) {
    const size_t mark = id.rfind('#');
    if (mark == std::string_view::npos || id.size() < mark + 17) return std::nullopt;
    const auto digits = id.substr(mark + 1, 16);
    uint64_t hash = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), hash, 16);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return hash;
}

bool readWholeFileReadOnly(const fs::path& path, std::string& out, std::string& error, int& errorNumber, bool* cut,
                           uint64_t maxBytes) {
    if (cut != nullptr) *cut = false;
    // Non-blocking: a FIFO named like a message must not hang the run (only regular files are read).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    errorNumber = 0;
    const auto failed = [&](int number) {
        errorNumber = number;
        error = std::generic_category().message(number);
        return false;
    };
    if (fd < 0) return failed(errno);
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0;
    int number = ok ? 0 : errno;
    if (ok && !S_ISREG(info.st_mode)) {
        ::close(fd);
        errorNumber = EINVAL;
        error = "not a regular file";
        return false;
    }
    if (ok && cut == nullptr && static_cast<uint64_t>(info.st_size) > maxBytes) {
        ::close(fd);
        errorNumber = EFBIG;
        error = "message too large";
        return false;
    }
    // The size is a hint only: a file that grows or shrinks while read ends where the reads end.
    out.clear();
    if (ok) out.reserve(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(info.st_size), maxBytes)));
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            number = errno;
        } else if (n == 0) {
            break;
        } else if (out.size() + static_cast<size_t>(n) > maxBytes) {
            if (cut == nullptr) {
                ok = false;
                number = EFBIG;
            } else {
                out.append(buffer, static_cast<size_t>(maxBytes - out.size()));
                *cut = true;
                break;
            }
        } else {
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return ok || failed(number);
}

std::string_view storeKindName(MailStoreKind kind) {
    switch (kind) {
    case MailStoreKind::maildir: return "maildir";
    case MailStoreKind::mbox: return "mbox";
    case MailStoreKind::mboxFolder: return "mbox-folder";
    }
    return "maildir";
}

std::optional<MailStoreKind> storeKindFromName(std::string_view name) {
    for (const auto kind : {MailStoreKind::maildir, MailStoreKind::mbox, MailStoreKind::mboxFolder}) {
        if (storeKindName(kind) == name) return kind;
    }
    return std::nullopt;
}

std::optional<MailStoreKind> detectStoreKind(const fs::path& path) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (ec) return std::nullopt;
    if (fs::is_regular_file(status)) {
        if (fs::file_size(path, ec) == 0 && !ec) return MailStoreKind::mbox;
        return looksLikeMbox(path) ? std::optional(MailStoreKind::mbox) : std::nullopt;
    }
    if (!fs::is_directory(status)) return std::nullopt;
    if (isMaildirFolder(path)) return MailStoreKind::maildir;
    int budget = kDetectEntries;
    return detectInFolder(path, 1, budget);
}

ListingResult listMailStore(MailStoreKind kind, const fs::path& root, const MailListing* previous) {
    MailListing listing;
    listing.kind = kind;
    listing.root = root;
    if (previous != nullptr && (previous->kind != kind || previous->root != root)) previous = nullptr;
    std::string error;
    const bool ok = kind == MailStoreKind::maildir ? listMaildirStore(root, listing, error)
                                                   : listMboxStore(root, kind == MailStoreKind::mboxFolder, previous, listing, error);
    if (!ok) return ListingError{"Mail store not readable: " + root.string() + ": " + error};
    // Listings are kept as JSON, which holds UTF-8 only: a name in another encoding cannot be kept.
    if (!platform::isValidUtf8(root.string())) return ListingError{"Mail store not readable: " + root.string() + ": name is not UTF-8"};
    std::erase_if(listing.messages, [&](const MessageLocation& m) {
        if (platform::isValidUtf8(m.id) && platform::isValidUtf8(m.file.string()) && platform::isValidUtf8(m.mailbox)) return false;
        listing.unreadable.push_back((root / m.file).string() + ": name is not UTF-8");
        return true;
    });
    std::erase_if(listing.mboxFiles, [](const MboxFileState& f) { return !platform::isValidUtf8(f.file.string()) || !platform::isValidUtf8(f.mailbox); });
    std::sort(listing.messages.begin(), listing.messages.end(), [](const MessageLocation& a, const MessageLocation& b) { return a.id < b.id; });
    std::sort(listing.mboxFiles.begin(), listing.mboxFiles.end(), [](const MboxFileState& a, const MboxFileState& b) { return a.file < b.file; });
    return listing;
}

ListingDiff diffListings(const MailListing& before, const MailListing& after) {
    ListingDiff diff;
    auto old = before.messages.begin();
    auto now = after.messages.begin();
    while (old != before.messages.end() || now != after.messages.end()) {
        if (now == after.messages.end() || (old != before.messages.end() && old->id < now->id)) {
            diff.removed.push_back(old->id);
            ++old;
        } else if (old == before.messages.end() || now->id < old->id) {
            diff.added.push_back(*now);
            ++now;
        } else {
            if (old->changeKey != now->changeKey) {
                diff.changed.push_back(*now);
            } else if (old->file != now->file || old->offset != now->offset || old->length != now->length || old->mailbox != now->mailbox) {
                diff.moved.push_back({old->id, *now});
            }
            ++old;
            ++now;
        }
    }
    return diff;
}

nlohmann::json listingToJson(const MailListing& listing) {
    nlohmann::json messages = nlohmann::json::array();
    for (const auto& m : listing.messages) {
        messages.push_back({m.id, m.file.string(), m.offset, m.length, m.mailbox, m.changeKey});
    }
    nlohmann::json files = nlohmann::json::array();
    for (const auto& f : listing.mboxFiles) files.push_back({f.file.string(), f.size, f.mtimeNs, f.inode, f.tailHash, f.mailbox});
    return {{"format", kListingFormat},
            {"version", kListingVersion},
            {"kind", std::string(storeKindName(listing.kind))},
            {"root", listing.root.string()},
            {"messages", std::move(messages)},
            {"mbox_files", std::move(files)}};
}

std::optional<MailListing> listingFromJson(const nlohmann::json& json) {
    try {
        if (!json.is_object() || json.at("format") != kListingFormat || json.at("version") != kListingVersion) return std::nullopt;
        const auto kind = storeKindFromName(json.at("kind").get<std::string>());
        if (!kind) return std::nullopt;
        MailListing listing;
        listing.kind = *kind;
        listing.root = json.at("root").get<std::string>();
        for (const auto& m : json.at("messages")) {
            if (!m.is_array() || m.size() != 6) return std::nullopt;
            MessageLocation location;
            location.id = m[0].get<std::string>();
            location.file = m[1].get<std::string>();
            location.offset = m[2].get<int64_t>();
            location.length = m[3].get<int64_t>();
            location.mailbox = m[4].get<std::string>();
            location.changeKey = m[5].get<std::string>();
            if (location.id.empty() || location.length < 0) return std::nullopt;
            listing.messages.push_back(std::move(location));
        }
        for (const auto& f : json.at("mbox_files")) {
            if (!f.is_array() || f.size() != 6 || !f[1].is_number_unsigned() || !f[3].is_number_unsigned() || !f[4].is_number_unsigned()) {
                return std::nullopt;
            }
            listing.mboxFiles.push_back({f[0].get<std::string>(), f[1].get<uint64_t>(), f[2].get<int64_t>(), f[3].get<uint64_t>(),
                                         f[4].get<uint64_t>(), f[5].get<std::string>()});
        }
        if (!sortedUnique(listing.messages)) return std::nullopt;
        return listing;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::variant<std::string, MessageReadError> readMessage(const MailListing& listing, const MessageLocation& location) {
    if (listing.kind == MailStoreKind::maildir) return readMaildirMessage(listing.root, location);
    return readMboxMessage(location.file.empty() ? listing.root : listing.root / location.file, location);
}

std::variant<MessageBytes, MessageReadError> readMessagePrefix(const MailListing& listing, const MessageLocation& location,
                                                               size_t maxBytes) {
    MessageBytes out;
    auto read = listing.kind == MailStoreKind::maildir
                    ? readMaildirMessage(listing.root, location, maxBytes, &out.cut)
                    : readMboxMessage(location.file.empty() ? listing.root : listing.root / location.file, location, maxBytes,
                                      &out.cut);
    if (auto* error = std::get_if<MessageReadError>(&read)) return std::move(*error);
    out.bytes = std::move(std::get<std::string>(read));
    return out;
}

}  // namespace lumidex::mail
