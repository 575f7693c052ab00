#include "mail/mail_maildir.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>
#include <vector>

#include "mail/mail_source_listing_internal.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxFolderDepth = 32;

struct Folder {
    fs::path relative;
    std::string mailbox;
};

bool isMessageFolderName(std::string_view name) { return name == "cur" || name == "new" || name == "tmp"; }

bool isDirectoryNoLink(const fs::directory_entry& entry) {
    std::error_code ec;
    return !entry.is_symlink(ec) && entry.is_directory(ec);
}

// Plain nested folders (one folder per mailbox, as some synchronisers lay them out).
void collectNested(const fs::path& root, const fs::path& relative, int depth, std::vector<Folder>& folders,
                   std::vector<std::string>& unreadable) {
    std::error_code ec;
    fs::directory_iterator it(root / relative, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        unreadable.push_back((root / relative).string() + ": " + ec.message());
        return;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            unreadable.push_back((root / relative).string() + ": " + ec.message());
            return;
        }
        const std::string name = it->path().filename().string();
        if (!isDirectoryNoLink(*it) || isMessageFolderName(name)) continue;
        if (name.starts_with('.')) {
            // Maildir++ keeps every subfolder flat beside the top folder's cur/ and new/.
            if (!relative.empty() || name.size() < 2 || name == "..") continue;
            if (isMaildirFolder(it->path())) {
                std::string mailbox = name.substr(1);
                std::replace(mailbox.begin(), mailbox.end(), '.', '/');
                folders.push_back({name, mailbox});
            }
            continue;
        }
        const fs::path child = relative / name;
        if (isMaildirFolder(it->path())) folders.push_back({child, child.generic_string()});
        if (depth < kMaxFolderDepth) collectNested(root, child, depth + 1, folders, unreadable);
    }
}

struct Found {
    std::string unique;
    fs::path file;
    int64_t size = 0;
    int64_t mtimeNs = 0;
    const Folder* folder = nullptr;
};

void collectMessages(const fs::path& root, const Folder& folder, std::vector<Found>& found, std::vector<std::string>& unreadable) {
    for (const char* sub : {"cur", "new"}) {
        const fs::path relative = folder.relative / sub;
        std::error_code ec;
        fs::directory_iterator it(root / relative, fs::directory_options::skip_permission_denied, ec);
        if (ec) {
            if (ec != std::errc::no_such_file_or_directory) unreadable.push_back((root / relative).string() + ": " + ec.message());
            continue;
        }
        for (const fs::directory_iterator end; it != end; it.increment(ec)) {
            if (ec) {
                unreadable.push_back((root / relative).string() + ": " + ec.message());
                break;
            }
            const std::string name = it->path().filename().string();
            const auto unique = maildirUniqueName(name);
            if (!unique) continue;
            struct stat info {};
            // A message can be renamed between the directory read and stat; the next listing finds it.
            if (::stat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            found.push_back({std::string(*unique), relative / name, static_cast<int64_t>(info.st_size),
                             static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec, &folder});
        }
    }
}

}  // namespace

std::optional<std::string_view> maildirUniqueName(std::string_view fileName) {
    if (fileName.empty() || fileName.starts_with('.')) return std::nullopt;
    const auto unique = fileName.substr(0, fileName.find(':'));
    if (unique.empty()) return std::nullopt;
    return unique;
}

bool isMaildirFolder(const fs::path& folder) {
    std::error_code ec;
    return fs::is_directory(folder / "cur", ec) || fs::is_directory(folder / "new", ec);
}

bool listMaildirStore(const fs::path& root, MailListing& out, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        error = ec ? ec.message() : "not a folder";
        return false;
    }
    std::vector<Folder> folders;
    if (isMaildirFolder(root)) folders.push_back({{}, "INBOX"});
    collectNested(root, {}, 0, folders, out.unreadable);

    std::vector<Found> found;
    for (const auto& folder : folders) collectMessages(root, folder, found, out.unreadable);
    // The same unique name twice (a copy in another folder): the first in path order keeps the bare id.
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.file < b.file; });
    std::set<std::string> ids;
    for (auto& message : found) {
        std::string id = message.unique;
        if (ids.contains(id)) id = message.unique + "@" + message.folder->mailbox;
        for (int copy = 2; ids.contains(id); ++copy) id = message.unique + "@" + message.folder->mailbox + "~" + std::to_string(copy);
        ids.insert(id);
        MessageLocation location;
        location.id = std::move(id);
        location.file = std::move(message.file);
        location.length = message.size;
        location.mailbox = message.folder->mailbox;
        location.changeKey = std::to_string(message.size) + ":" + std::to_string(message.mtimeNs);
        out.messages.push_back(std::move(location));
    }
    return true;
}

std::variant<std::string, MessageReadError> readMaildirMessage(const fs::path& root, const MessageLocation& location,
                                                               size_t maxBytes, bool* cut) {
    const uint64_t limit = cut != nullptr ? maxBytes : kMaxMessageBytes;
    fs::path path = root / location.file;
    std::string bytes;
    std::string error;
    int errorNumber = 0;
    if (readWholeFileReadOnly(path, bytes, error, errorNumber, cut, limit)) return bytes;
    if (errorNumber == ENOENT) {
        const std::string unique = location.id.substr(0, location.id.find('@'));
        const fs::path folder = path.parent_path().parent_path();
        for (const char* sub : {"cur", "new"}) {
            std::error_code ec;
            for (fs::directory_iterator it(folder / sub, ec), end; !ec && it != end; it.increment(ec)) {
                if (maildirUniqueName(it->path().filename().string()) != std::optional<std::string_view>(unique)) continue;
                path = it->path();
                if (readWholeFileReadOnly(path, bytes, error, errorNumber, cut, limit)) return bytes;
                return MessageReadError{"Mail message not readable: " + path.string() + ": " + error};
            }
        }
    }
    return MessageReadError{"Mail message not readable: " + path.string() + ": " + error};
}

}  // namespace lumidex::mail
