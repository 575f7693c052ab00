#include "mail/mail_indexer_sources.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

#include "core/atomic_file.h"
#include "mail/mail_envelope.h"
#include "mail/mail_thunderbird.h"
#include "platform/paths.h"

namespace lumidex::mail {

std::optional<ConfiguredMailSource> detectMailSource(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec).lexically_normal();
    if (ec) return std::nullopt;
    if (absolute.has_parent_path() && absolute.filename().empty()) absolute = absolute.parent_path();
    std::error_code exists;
    if (std::filesystem::is_regular_file(EnvelopeIndexReader::pathBelow(absolute), exists)) {
        return ConfiguredMailSource{absolute, std::string(kAppleMailSourceType)};
    }
    if (!thunderbirdMailFolders(absolute).empty()) return ConfiguredMailSource{absolute, "thunderbird"};
    if (const auto kind = detectStoreKind(absolute)) return ConfiguredMailSource{absolute, std::string(storeKindName(*kind))};
    return std::nullopt;
}

std::vector<LocalStore> storesOf(const ConfiguredMailSource& source) {
    if (source.type == "thunderbird") {
        std::vector<LocalStore> stores;
        for (const auto& folder : thunderbirdMailFolders(source.path)) stores.push_back({MailStoreKind::mboxFolder, folder});
        return stores;
    }
    if (const auto kind = storeKindFromName(source.type)) return {LocalStore{*kind, source.path}};
    return {};
}

std::filesystem::path MailSourceList::defaultPath() {
    return platform::userDirectories().settingsDirectory / "mail_sources.json";
}

MailSourceList::MailSourceList(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::string> MailSourceList::load() {
    sources_.clear();
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return std::nullopt;
    std::ifstream in(file_, std::ios::binary);
    if (!in) return "Could not read " + file_.string();
    std::stringstream bytes;
    bytes << in.rdbuf();
    const nlohmann::json json = nlohmann::json::parse(bytes.str(), nullptr, false);
    const auto damaged = [&] {
        sources_.clear();
        return "Damaged mail source list: " + file_.string();
    };
    if (!json.is_object() || !json.contains("sources") || !json["sources"].is_array()) return damaged();
    for (const nlohmann::json& entry : json["sources"]) {
        if (!entry.is_object() || !entry.contains("path") || !entry["path"].is_string() || !entry.contains("type") ||
            !entry["type"].is_string()) {
            return damaged();
        }
        sources_.push_back({entry["path"].get<std::string>(), entry["type"].get<std::string>()});
    }
    return std::nullopt;
}

std::optional<std::string> MailSourceList::save() const {
    nlohmann::json list = nlohmann::json::array();
    for (const ConfiguredMailSource& source : sources_) list.push_back({{"path", source.path.string()}, {"type", source.type}});
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    if (ec) return "Could not create " + file_.parent_path().string() + ": " + ec.message();
    const nlohmann::json json = {{"sources", list}};
    if (const auto error = writeFileAtomically(file_, json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))) {
        return error->message();
    }
    return std::nullopt;
}

bool MailSourceList::add(ConfiguredMailSource source) {
    if (std::any_of(sources_.begin(), sources_.end(), [&](const auto& s) { return s.path == source.path; })) return false;
    sources_.push_back(std::move(source));
    return true;
}

bool MailSourceList::remove(const std::filesystem::path& path) {
    return std::erase_if(sources_, [&](const auto& s) { return s.path == path; }) > 0;
}

}  // namespace lumidex::mail
