// The desktop mail client's profiles: its profiles.ini names each profile's folder, and a profile keeps
// local folders below "Mail/" and cached IMAP folders below "ImapMail/", both as folders of mbox files
// (listed with MailStoreKind::mboxFolder). Reads only; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::mail {

struct ThunderbirdProfile {
    std::string name;
    std::filesystem::path folder;
    bool isDefault = false;
    std::vector<std::filesystem::path> mailFolders;  // the existing "Mail" and "ImapMail" folders
};

// The profiles of profiles.ini's text, relative paths taken below `base`. The default is the one an
// install section names, else the one marked Default=1. Profiles whose folder is missing are left out.
std::vector<ThunderbirdProfile> parseThunderbirdProfiles(std::string_view iniText, const std::filesystem::path& base);

// The profiles of every installation in the home folder: the native one (~/.thunderbird) and the snap
// and flatpak ones. Empty when there is none.
std::vector<ThunderbirdProfile> findThunderbirdProfiles(const std::filesystem::path& home);

// "Mail" and "ImapMail" inside a profile folder, those that exist; empty for a folder that is no profile.
std::vector<std::filesystem::path> thunderbirdMailFolders(const std::filesystem::path& profileFolder);

}  // namespace lumidex::mail
