// Maildir folders as mail programs and synchronisers keep them: one file per message in cur/ (seen by a
// program) or new/, named "<unique>:2,<flags>", with Maildir++ subfolders ".Sub.Folder" beside cur/ and
// new/, or subfolders nested as plain folders. Used by the listing (mail_source_listing.h); pure
// functions, thread-safe, nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "mail/mail_source_listing.h"

namespace lumidex::mail {

// The name's unique part, before the ":" of its flags; nullopt for names that are no message (hidden
// files a mail server leaves in cur/).
std::optional<std::string_view> maildirUniqueName(std::string_view fileName);

// A folder with a cur/ or new/ folder inside.
bool isMaildirFolder(const std::filesystem::path& folder);

// Every message below `root`: the folder itself is "INBOX", ".Sub.Folder" is "Sub/Folder", a nested
// folder is named by its path. Appends to `out`; false with `error` when `root` cannot be read.
bool listMaildirStore(const std::filesystem::path& root, MailListing& out, std::string& error);

// Reads a listed message; one renamed since (flags, or new/ to cur/) is found again by its unique name.
// With `cut` set, at most maxBytes are read and *cut says whether the file went on.
std::variant<std::string, MessageReadError> readMaildirMessage(const std::filesystem::path& root, const MessageLocation& location,
                                                               size_t maxBytes = SIZE_MAX, bool* cut = nullptr);

}  // namespace lumidex::mail
