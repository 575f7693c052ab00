#include "core/settings/settings_store.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include "core/app_log.h"
#include "core/model/date.h"
#include "core/atomic_file.h"
#include "platform/paths.h"

namespace lumidex {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// The file holds the API token: readable by its owner only.
constexpr fs::perms kFilePermissions = fs::perms::owner_read | fs::perms::owner_write;

std::string dumpJson(const json& value, int indent = -1) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

std::optional<int64_t> asInt(const json& v) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        // 2^63 is exactly representable; anything at or above it does not fit.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<StringList> asStringList(const json& v) {
    if (!v.is_array()) return std::nullopt;
    StringList list;
    list.reserve(v.size());
    for (const auto& item : v) {
        if (!item.is_string()) return std::nullopt;
        list.push_back(item.get<std::string>());
    }
    return list;
}

// The value as one of the five types, judged by its JSON type alone (3 is an integer, 3.0 a double).
std::optional<SettingValue> classify(const json& v) {
    if (v.is_boolean()) return SettingValue(v.get<bool>());
    if (v.is_number_float()) return SettingValue(v.get<double>());
    if (v.is_number()) {
        if (auto i = asInt(v)) return SettingValue(*i);
        return SettingValue(v.get<double>());
    }
    if (v.is_string()) return SettingValue(v.get<std::string>());
    if (auto list = asStringList(v)) return SettingValue(std::move(*list));
    return std::nullopt;
}

SettingsEntry makeEntry(std::string key, const json& v) { return {std::move(key), classify(v), dumpJson(v)}; }

std::optional<SettingsError> invalid(std::string message) {
    return SettingsError{SettingsError::Kind::invalidValue, std::move(message)};
}

std::optional<SettingsError> toJson(std::string_view key, const SettingValue& value, json& out) {
    if (const auto* d = std::get_if<double>(&value); d && !std::isfinite(*d))
        return invalid(std::string(key) + ": not a finite number");
    std::visit([&out](const auto& v) { out = v; }, value);
    try {
        (void)json(std::string(key)).dump();
        (void)out.dump();
    } catch (const json::exception&) {
        return invalid(std::string(key) + ": the key or value is not valid UTF-8");
    }
    return std::nullopt;
}

// What tells one version of the file from another: a replacement by rename has a new inode.
struct FileIdentity {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return {};
    return {true, st.st_ino, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

struct SettingsStore::Impl {
    fs::path file;

    mutable std::mutex mutex;  // guards everything below up to writeMutex
    json values = json::object();
    uint64_t changeSequence = 0;
    std::vector<std::pair<int, Observer>> observers;
    int nextObserverToken = 1;
    std::string writeBlockedReason;  // set when an unreadable file could not be kept aside

    std::mutex writeMutex;  // serialises file writes and reloads; guards writtenSequence and known
    uint64_t writtenSequence = 0;
    FileIdentity known;  // the file as last read or written here

    void load();
    void keepAside(const std::string& why);
    std::optional<SettingsError> persist(uint64_t sequence);
    void notify(std::string_view key);
};

void SettingsStore::Impl::load() {
    known = identityOf(file);
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found) return;

    std::ifstream in(file, std::ios::binary);
    if (!in) {
        keepAside("could not be read");
        return;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        keepAside("could not be read");
        return;
    }
    json parsed;
    try {
        parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
    } catch (const json::exception&) {
        parsed = json::value_t::discarded;
    }
    if (parsed.is_discarded()) {
        keepAside("is not valid JSON");
    } else if (!parsed.is_object()) {
        keepAside("is not a JSON object");
    } else {
        values = std::move(parsed);
    }
}

void SettingsStore::Impl::keepAside(const std::string& why) {
    const std::string base = file.string() + ".corrupt-" + compactUtcTimestamp();
    fs::path aside = base;
    std::error_code ec;
    for (int n = 1; fs::exists(aside, ec) && n < 1000; ++n) aside = base + "-" + std::to_string(n);
    fs::rename(file, aside, ec);
    if (!ec) {
        appLog("Warning: settings file " + file.string() + " " + why + "; kept aside as " + aside.string() +
               ", starting with default settings");
        return;
    }
    // Saving now would destroy the only copy of the user's settings: refuse to write instead.
    writeBlockedReason = "the unreadable settings file " + file.string() + " could not be kept aside (" +
                         ec.message() + "), so it is not overwritten";
    appLog("Warning: settings file " + file.string() + " " + why + " and could not be kept aside (" + ec.message() +
           "); starting with default settings, changes will not be saved");
}

std::optional<SettingsError> SettingsStore::Impl::persist(uint64_t sequence) {
    std::lock_guard writeLock(writeMutex);
    if (writtenSequence >= sequence) return std::nullopt;  // a later write already carried this change

    std::string bytes;
    uint64_t snapshotSequence = 0;
    std::string blocked;
    {
        std::lock_guard lock(mutex);
        bytes = dumpJson(values, 2) + "\n";
        snapshotSequence = changeSequence;
        blocked = writeBlockedReason;
    }
    std::string failure;
    if (!blocked.empty()) {
        failure = "Settings not saved: " + blocked;
    } else {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        if (ec) {
            failure = "Settings not saved: could not create the folder " + file.parent_path().string() + ": " +
                      ec.message();
        } else if (auto error = writeFileAtomically(file, bytes, kFilePermissions)) {
            failure = "Settings not saved: " + error->message();
            // The new content is in place; only its durability is in doubt.
            if (error->step == FileWriteError::Step::flushFolder) writtenSequence = snapshotSequence;
        }
    }
    if (!failure.empty()) {
        appLog(failure);
        return SettingsError{SettingsError::Kind::writeFailed, failure};
    }
    writtenSequence = snapshotSequence;
    known = identityOf(file);
    return std::nullopt;
}

void SettingsStore::Impl::notify(std::string_view key) {
    std::vector<Observer> toCall;
    {
        std::lock_guard lock(mutex);
        for (const auto& [token, observer] : observers) toCall.push_back(observer);
    }
    for (const auto& observer : toCall) observer(key);
}

SettingsStore::SettingsStore(fs::path file) : impl_(std::make_unique<Impl>()) {
    impl_->file = std::move(file);
    impl_->load();
}

SettingsStore::~SettingsStore() = default;

SettingsStore& SettingsStore::shared() {
    static SettingsStore store(defaultFilePath());
    return store;
}

fs::path SettingsStore::defaultFilePath() { return platform::userDirectories().settingsDirectory / "settings.json"; }

const fs::path& SettingsStore::filePath() const { return impl_->file; }

namespace {

template <class T, class Convert>
std::optional<T> read(std::mutex& mutex, const json& values, std::string_view key, Convert convert) {
    std::lock_guard lock(mutex);
    const auto it = values.find(std::string(key));
    if (it == values.end()) return std::nullopt;
    return convert(*it);
}

}  // namespace

std::optional<bool> SettingsStore::getBool(std::string_view key) const {
    return read<bool>(impl_->mutex, impl_->values, key,
                      [](const json& v) { return v.is_boolean() ? std::optional<bool>(v.get<bool>()) : std::nullopt; });
}

std::optional<int64_t> SettingsStore::getInt(std::string_view key) const {
    return read<int64_t>(impl_->mutex, impl_->values, key, asInt);
}

std::optional<double> SettingsStore::getDouble(std::string_view key) const {
    return read<double>(impl_->mutex, impl_->values, key, [](const json& v) {
        return v.is_number() ? std::optional<double>(v.get<double>()) : std::nullopt;
    });
}

std::optional<std::string> SettingsStore::getString(std::string_view key) const {
    return read<std::string>(impl_->mutex, impl_->values, key, [](const json& v) {
        return v.is_string() ? std::optional<std::string>(v.get<std::string>()) : std::nullopt;
    });
}

std::optional<StringList> SettingsStore::getStringList(std::string_view key) const {
    return read<StringList>(impl_->mutex, impl_->values, key, asStringList);
}

bool SettingsStore::contains(std::string_view key) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->values.contains(std::string(key));
}

std::vector<SettingsEntry> SettingsStore::entries() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<SettingsEntry> result;
    result.reserve(impl_->values.size());
    for (const auto& [key, value] : impl_->values.items()) result.push_back(makeEntry(key, value));
    return result;
}

std::optional<SettingsError> SettingsStore::set(std::string_view key, const SettingValue& value) {
    return setIf(key, value, nullptr);
}

std::optional<SettingsError> SettingsStore::setIf(std::string_view key, const SettingValue& value,
                                                  const std::function<bool(const SettingsEntry*)>& shouldStore,
                                                  bool* stored) {
    if (stored) *stored = false;
    json newValue;
    if (auto error = toJson(key, value, newValue)) return error;

    const std::string name(key);
    bool changed = false;
    uint64_t sequence = 0;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->values.find(name);
        if (shouldStore) {
            const bool present = it != impl_->values.end();
            const SettingsEntry current = present ? makeEntry(name, *it) : SettingsEntry{};
            if (!shouldStore(present ? &current : nullptr)) return std::nullopt;
        }
        // JSON compares 3 and 3.0 as equal; a change of type is still a change.
        changed = it == impl_->values.end() || it->type() != newValue.type() || *it != newValue;
        if (changed) {
            impl_->values[name] = std::move(newValue);
            ++impl_->changeSequence;
        }
        sequence = impl_->changeSequence;
    }
    if (stored) *stored = true;
    if (changed) impl_->notify(key);
    return impl_->persist(sequence);
}

std::optional<SettingsError> SettingsStore::remove(std::string_view key) {
    uint64_t sequence = 0;
    bool changed = false;
    {
        std::lock_guard lock(impl_->mutex);
        changed = impl_->values.erase(std::string(key)) > 0;
        if (changed) ++impl_->changeSequence;
        sequence = impl_->changeSequence;
    }
    if (changed) impl_->notify(key);
    return impl_->persist(sequence);
}

bool SettingsStore::reloadIfChanged() {
    std::set<std::string> changedKeys;
    {
        std::lock_guard writeLock(impl_->writeMutex);
        const FileIdentity now = identityOf(impl_->file);
        if (now == impl_->known) return false;
        {
            std::lock_guard lock(impl_->mutex);
            if (impl_->writtenSequence < impl_->changeSequence || !impl_->writeBlockedReason.empty()) return false;
        }
        std::ifstream in(impl_->file, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!now.exists) parsed = json::object();  // removed: the defaults apply again
        impl_->known = now;
        if (!parsed.is_object()) {
            appLog("Warning: settings file " + impl_->file.string() + " was replaced by something unreadable; keeping the settings in memory");
            return false;
        }
        std::lock_guard lock(impl_->mutex);
        for (const auto& [key, value] : impl_->values.items()) {
            if (!parsed.contains(key) || parsed[key] != value || parsed[key].type() != value.type()) changedKeys.insert(key);
        }
        for (const auto& [key, value] : parsed.items()) {
            if (!impl_->values.contains(key)) changedKeys.insert(key);
        }
        impl_->values = std::move(parsed);
        impl_->writtenSequence = ++impl_->changeSequence;
    }
    for (const std::string& key : changedKeys) impl_->notify(key);
    return true;
}

int SettingsStore::addObserver(Observer observer) {
    std::lock_guard lock(impl_->mutex);
    const int token = impl_->nextObserverToken++;
    impl_->observers.emplace_back(token, std::move(observer));
    return token;
}

void SettingsStore::removeObserver(int token) {
    std::lock_guard lock(impl_->mutex);
    std::erase_if(impl_->observers, [token](const auto& entry) { return entry.first == token; });
}

}  // namespace lumidex
