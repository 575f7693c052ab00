#include "app/settings_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <memory>

#include "core/settings/settings.h"
#include "service/settings_service.h"

namespace lumidex {

namespace {

constexpr const char* kValueHelp = R"(Values are read by the key's type:
  Boolean          true or false
  integer          a decimal integer, e.g. 250
  double           a decimal number, e.g. 13 or 13.5
  string           the text as given
  list of strings  a JSON array, e.g. '["/a/b","/c,d"]', or comma-separated items: /a/b,/c/d
                   (spaces around items are removed; an empty argument is the empty list)
Range checks: startSearchCharacterCountKey 1-5, automaticallySearchAfterKey 0-5,
limitSearchResultsTypeKey 0-5, listFontSizeKey 10-24, numberOfRecentScanItems at least 1,
apiServerPortKey 1024-65535; sortOrderKey is one of a2z, z2a, new2Old, old2New, relevance.
A running Lumidex picks up changes at its next start.)";

[[noreturn]] void refuse(const std::string& message) {
    std::cerr << "lumidex settings: " << message << '\n';
    throw CLI::RuntimeError(1);
}

std::string plainText(const SettingValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    return formatSettingValue(value);
}

const SettingsEntry* findEntry(const std::vector<SettingsEntry>& entries, std::string_view key) {
    for (const auto& entry : entries) {
        if (entry.key == key) return &entry;
    }
    return nullptr;
}

void listSettings() {
    const Settings settings(SettingsStore::shared());
    const auto entries = settings.store().entries();
    std::cout << std::left;
    for (const auto& description : settingDescriptions()) {
        const auto stored = settings.storedValue(description);
        const auto effective = settings.effectiveValue(description);
        std::string note;
        if (!stored) {
            note = effective ? "  (default)" : "";
            if (const auto* entry = findEntry(entries, description.key))
                note += "  (stored value " + entry->json + " ignored: not a " + std::string(name(description.type)) + ")";
        }
        std::cout << std::setw(40) << description.key << ' ' << std::setw(16) << name(description.type) << ' '
                  << (effective ? formatSettingValue(*effective) : "(not set)") << note << '\n';
    }
    const auto inTable = [](std::string_view key) {
        return std::any_of(settingDescriptions().begin(), settingDescriptions().end(),
                           [key](const auto& d) { return d.key == key; });
    };
    bool headerShown = false;
    for (const auto& entry : entries) {
        if (inTable(entry.key)) continue;
        if (!headerShown) {
            std::cout << "\nOther stored keys:\n";
            headerShown = true;
        }
        std::cout << std::setw(40) << entry.key << ' ' << entry.json << '\n';
    }
}

void getSetting(const std::string& key) {
    const Settings settings(SettingsStore::shared());
    if (const auto description = describeSetting(key)) {
        const auto value = settings.effectiveValue(*description);
        if (!value) refuse(key + " is not set");
        std::cout << plainText(*value) << '\n';
        return;
    }
    const auto entries = settings.store().entries();
    if (const auto* entry = findEntry(entries, key)) {
        std::cout << entry->json << '\n';
        return;
    }
    if (service::isSidebarConfigurationKey(key)) refuse(key + " is not set");
    refuse("unknown key \"" + key + "\" (see \"lumidex settings list\")");
}

void setSetting(const std::string& key, const std::string& text) {
    if (auto refusal = service::storeSettingText(SettingsStore::shared(), key, text)) refuse(*refusal);
    const auto description = describeSetting(key);
    const auto stored = Settings(SettingsStore::shared()).storedValue(*description);
    std::cout << key << " = " << (stored ? formatSettingValue(*stored) : text) << '\n';
}

void removeSetting(const std::string& key) {
    Settings settings(SettingsStore::shared());
    if (!describeSetting(key) && !settings.store().contains(key) && !service::isSidebarConfigurationKey(key))
        refuse("unknown key \"" + key + "\" (see \"lumidex settings list\")");
    if (auto error = settings.remove(key)) refuse(error->message);
    std::cout << key << " removed; the default applies\n";
}

}  // namespace

void addSettingsCommands(CLI::App& app) {
    auto* settings = app.add_subcommand("settings", "Show or change the preferences");
    settings->require_subcommand(1);
    settings->footer(kValueHelp);

    auto* list = settings->add_subcommand("list", "Every key with its type and effective value");
    list->callback([] { listSettings(); });

    auto key = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>();

    auto* get = settings->add_subcommand("get", "Print the effective value of KEY");
    get->add_option("KEY", *key, "settings key")->required();
    get->callback([key] { getSetting(*key); });

    auto* set = settings->add_subcommand("set", "Store VALUE under KEY");
    set->add_option("KEY", *key, "settings key")->required();
    set->add_option("VALUE", *value, "new value, read by the key's type")->required();
    set->footer(kValueHelp);
    set->callback([key, value] { setSetting(*key, *value); });

    auto* remove = settings->add_subcommand("remove", "Delete the stored value of KEY so its default applies");
    remove->add_option("KEY", *key, "settings key")->required();
    remove->callback([key] { removeSetting(*key); });
}

}  // namespace lumidex
