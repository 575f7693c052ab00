// The per-user preferences store: a typed key-value map of Booleans, integers, doubles, strings and string
// lists, kept in one JSON object file ("settings.json").
//
// Reads never fail: an absent key, or a value of another type than asked for, reads as nullopt and the
// stored value is left alone (it survives every later write). Number rules: a double read accepts any JSON
// number; an integer read accepts a JSON integer within the signed 64-bit range or an integral
// floating-point number (3.0 reads as 3) and rejects 3.5. Integers are written as JSON integers, doubles
// always with a fraction ("13.0"), so a value keeps its type through a save.
//
// Every change is applied in memory, then the whole file is written and atomically replaced. A failed
// write is logged and returned; the previous file stays intact and the change stays in effect in memory
// (it is written with the next successful save). A file that is not a JSON object is kept aside as
// "settings.json.corrupt-<UTC time>" with a warning in the log, and the store starts empty.
//
// Thread-safe. The map is guarded by one mutex that is never held during file I/O; writes are serialised
// and each writes the latest state, so an older state never replaces a newer one. Change observers run on
// the thread that made the change, after the change is visible and without any lock held.
// The file is read at construction; changes another process makes (`lumidex token new` while a server
// runs) are taken up by reloadIfChanged(), which long-running owners call before they rely on a value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumidex {

using StringList = std::vector<std::string>;
using SettingValue = std::variant<bool, int64_t, double, std::string, StringList>;

struct SettingsError {
    enum class Kind {
        writeFailed,   // the file could not be written; the change is kept in memory
        invalidValue,  // rejected before anything was stored (wrong type, out of range, not UTF-8 ...)
        unknownKey,    // not a key this system uses
    };
    Kind kind;
    std::string message;
};

// One stored entry as found in the file. `value` is empty when the JSON value is none of the five types
// (for example an object written by another tool); `json` is its text either way.
struct SettingsEntry {
    std::string key;
    std::optional<SettingValue> value;
    std::string json;
};

class SettingsStore {
public:
    explicit SettingsStore(std::filesystem::path file);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The process-wide store in the user's settings directory, opened on first use.
    static SettingsStore& shared();
    static std::filesystem::path defaultFilePath();

    const std::filesystem::path& filePath() const;

    std::optional<bool> getBool(std::string_view key) const;
    std::optional<int64_t> getInt(std::string_view key) const;
    std::optional<double> getDouble(std::string_view key) const;
    std::optional<std::string> getString(std::string_view key) const;
    std::optional<StringList> getStringList(std::string_view key) const;
    bool contains(std::string_view key) const;  // stored with any type
    std::vector<SettingsEntry> entries() const;  // sorted by key

    // Each returns nullopt on success. Non-finite doubles and strings that are not UTF-8 are rejected.
    std::optional<SettingsError> set(std::string_view key, const SettingValue& value);
    std::optional<SettingsError> setBool(std::string_view key, bool value) { return set(key, SettingValue(value)); }
    std::optional<SettingsError> setInt(std::string_view key, int64_t value) { return set(key, SettingValue(value)); }
    std::optional<SettingsError> setDouble(std::string_view key, double value) { return set(key, SettingValue(value)); }
    std::optional<SettingsError> setString(std::string_view key, std::string value) {
        return set(key, SettingValue(std::move(value)));
    }
    std::optional<SettingsError> setStringList(std::string_view key, StringList value) {
        return set(key, SettingValue(std::move(value)));
    }
    std::optional<SettingsError> remove(std::string_view key);

    // Stores `value` only when `shouldStore` accepts the current entry (nullptr when absent); test and
    // change are one step. `shouldStore` runs under the store's lock and must not call the store.
    // `stored` (optional) tells whether the value was stored.
    std::optional<SettingsError> setIf(std::string_view key, const SettingValue& value,
                                       const std::function<bool(const SettingsEntry* current)>& shouldStore,
                                       bool* stored = nullptr);

    // Reads the file again when another process replaced it since this store last read or wrote it, and
    // tells the observers of every key whose value changed; true when it did. Changes of this process
    // not yet saved (a failed write) win: the file is then left for the next save to overwrite. An
    // unreadable replacement is ignored (the values in memory stay). One stat when nothing changed.
    bool reloadIfChanged();

    using Observer = std::function<void(std::string_view key)>;
    int addObserver(Observer observer);  // returns a token for removeObserver
    void removeObserver(int token);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumidex
