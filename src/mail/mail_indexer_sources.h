// The mail stores the user asked to index, kept as JSON ("mail_sources.json" in the settings folder):
// each a path and what it was found to be when added.
//
// A value type; load() and save() touch the file, nothing else does. Not thread-safe: one command owns
// it. Failure behaviour: nothing throws except std::bad_alloc; a damaged file and a failed save are
// returned as error texts, and a failed save leaves the file as it was.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_indexer.h"

namespace lumidex::mail {

struct ConfiguredMailSource {
    std::filesystem::path path;  // absolute
    std::string type;            // "maildir", "mbox", "mbox-folder", "thunderbird" or "apple-mail"

    bool operator==(const ConfiguredMailSource&) const = default;
};

// What a path holds, as a configured source; nullopt when it is no mail store.
std::optional<ConfiguredMailSource> detectMailSource(const std::filesystem::path& path);

// The type of a folder laid out as the mail client keeps its store (an Envelope Index below
// V10/MailData and the message files).
inline constexpr std::string_view kAppleMailSourceType = "apple-mail";

// The local stores of a configured source, found again now (a profile's folders may have changed);
// none for an "apple-mail" source, which is no local store.

std::vector<LocalStore> storesOf(const ConfiguredMailSource& source);

class MailSourceList {
public:
    // <settings folder>/mail_sources.json.
    static std::filesystem::path defaultPath();
    explicit MailSourceList(std::filesystem::path file = defaultPath());

    // A missing file is an empty list. Returns the error of a file that cannot be read or is damaged;
    // the list is then empty.
    std::optional<std::string> load();
    [[nodiscard]] std::optional<std::string> save() const;

    const std::vector<ConfiguredMailSource>& sources() const { return sources_; }
    // False when the path is already in the list.
    bool add(ConfiguredMailSource source);
    // False when the path is not in the list.
    bool remove(const std::filesystem::path& path);

private:
    std::filesystem::path file_;
    std::vector<ConfiguredMailSource> sources_;
};

}  // namespace lumidex::mail
