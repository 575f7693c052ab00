// Shared between the store listers (mail_maildir, mail_mbox) and the listing front end; not for callers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "mail/mail_source_listing.h"

namespace lumidex::mail {

// A larger message is refused rather than read into memory.
inline constexpr uint64_t kMaxMessageBytes = uint64_t{1} << 30;

// The message hash an mbox message id carries ("<file>#<16 hex digits>[~<copy>]").
std::optional<uint64_t> mboxMessageHash(std::string_view id);

}  // namespace lumidex::mail

namespace lumidex::mail {

// The whole file, opened read-only; false with the system's reason when it cannot be opened or read, or
// is larger than kMaxMessageBytes. With `cut` set, a larger file is no error: its first maxBytes are read
// and *cut says whether the file went on.
bool readWholeFileReadOnly(const std::filesystem::path& path, std::string& out, std::string& error, int& errorNumber,
                           bool* cut = nullptr, uint64_t maxBytes = kMaxMessageBytes);

}  // namespace lumidex::mail
