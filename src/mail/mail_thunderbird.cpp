#include "mail/mail_thunderbird.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "core/ascii_text.h"

namespace lumidex::mail {
namespace {

namespace fs = std::filesystem;

using Section = std::map<std::string, std::string>;

std::vector<std::pair<std::string, Section>> parseIni(std::string_view text) {
    std::vector<std::pair<std::string, Section>> sections;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const auto line = trimmedAscii(text.substr(start, end - start), " \t\r\xEF\xBB\xBF");
        start = end + 1;
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            sections.emplace_back(std::string(line.substr(1, line.size() - 2)), Section{});
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos || sections.empty()) continue;
        sections.back().second.emplace(std::string(trimmedAscii(line.substr(0, equals))), std::string(trimmedAscii(line.substr(equals + 1))));
    }
    return sections;
}

std::string value(const Section& section, const std::string& key) {
    const auto it = section.find(key);
    return it == section.end() ? std::string() : it->second;
}

}  // namespace

std::vector<fs::path> thunderbirdMailFolders(const fs::path& profileFolder) {
    std::vector<fs::path> folders;
    for (const char* name : {"Mail", "ImapMail"}) {
        std::error_code ec;
        if (fs::is_directory(profileFolder / name, ec)) folders.push_back(profileFolder / name);
    }
    return folders;
}

std::vector<ThunderbirdProfile> parseThunderbirdProfiles(std::string_view iniText, const fs::path& base) {
    const auto sections = parseIni(iniText);
    std::string installDefault;
    for (const auto& [name, section] : sections) {
        if (name.starts_with("Install") && installDefault.empty()) installDefault = value(section, "Default");
    }
    std::vector<ThunderbirdProfile> profiles;
    std::vector<std::pair<std::string, bool>> marks;  // each kept profile's Path and Default=1
    for (const auto& [name, section] : sections) {
        if (!name.starts_with("Profile")) continue;
        const std::string path = value(section, "Path");
        if (path.empty()) continue;
        ThunderbirdProfile profile;
        profile.name = value(section, "Name");
        profile.folder = value(section, "IsRelative") == "0" ? fs::path(path) : base / path;
        std::error_code ec;
        if (!fs::is_directory(profile.folder, ec)) continue;
        profile.mailFolders = thunderbirdMailFolders(profile.folder);
        profiles.push_back(std::move(profile));
        marks.emplace_back(path, value(section, "Default") == "1");
    }
    // An install section naming a profile that is gone: the profile marked as default counts.
    bool installNamesOne = false;
    for (const auto& mark : marks) installNamesOne = installNamesOne || (!installDefault.empty() && mark.first == installDefault);
    for (size_t i = 0; i < profiles.size(); ++i) {
        profiles[i].isDefault = installNamesOne ? marks[i].first == installDefault : marks[i].second;
    }
    return profiles;
}

std::vector<ThunderbirdProfile> findThunderbirdProfiles(const fs::path& home) {
    std::vector<ThunderbirdProfile> all;
    std::set<fs::path> seen;
    for (const fs::path& base : {home / ".thunderbird", home / "snap/thunderbird/common/.thunderbird",
                                home / ".var/app/org.mozilla.Thunderbird/.thunderbird"}) {
        std::ifstream in(base / "profiles.ini", std::ios::binary);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        for (auto& profile : parseThunderbirdProfiles(text.str(), base)) {
            std::error_code ec;
            const fs::path canonical = fs::weakly_canonical(profile.folder, ec);
            if (seen.insert(ec ? profile.folder : canonical).second) all.push_back(std::move(profile));
        }
    }
    return all;
}

}  // namespace lumidex::mail
