#include "core/settings/settings.h"

#include <set>
#include <type_traits>

#include "core/model/search_parameters.h"
#include "core/uuid.h"

namespace lumidex {

namespace {

std::optional<SettingsError> firstError(std::optional<SettingsError> first, std::optional<SettingsError> next) {
    return first ? first : next;
}

}  // namespace

std::string Settings::string(std::string_view key, std::string_view fallback) const {
    if (auto value = store_->getString(key)) return std::move(*value);
    return std::string(fallback);
}

std::optional<SettingValue> Settings::storedValue(const SettingDescription& description) const {
    switch (description.type) {
    case SettingType::boolean:
        if (auto v = store_->getBool(description.key)) return SettingValue(*v);
        break;
    case SettingType::integer:
        if (auto v = store_->getInt(description.key)) return SettingValue(*v);
        break;
    case SettingType::real:
        if (auto v = store_->getDouble(description.key)) return SettingValue(*v);
        break;
    case SettingType::string:
        if (auto v = store_->getString(description.key)) return SettingValue(std::move(*v));
        break;
    case SettingType::stringList:
        if (auto v = store_->getStringList(description.key)) return SettingValue(std::move(*v));
        break;
    }
    return std::nullopt;
}

std::optional<SettingValue> Settings::effectiveValue(const SettingDescription& description) const {
    if (auto stored = storedValue(description)) return stored;
    return description.defaultValue;
}

std::optional<SettingsError> Settings::set(std::string_view key, SettingValue value) {
    if (const auto description = describeSetting(key)) {
        if (description->type == SettingType::real) {
            if (const auto* i = std::get_if<int64_t>(&value)) value = static_cast<double>(*i);
        }
        const bool matches = std::visit(
            [&](const auto& v) {
                using V = std::decay_t<decltype(v)>;
                switch (description->type) {
                case SettingType::boolean: return std::is_same_v<V, bool>;
                case SettingType::integer: return std::is_same_v<V, int64_t>;
                case SettingType::real: return std::is_same_v<V, double>;
                case SettingType::string: return std::is_same_v<V, std::string>;
                case SettingType::stringList: return std::is_same_v<V, StringList>;
                }
                return false;
            },
            value);
        if (!matches) {
            return SettingsError{SettingsError::Kind::invalidValue,
                                 std::string(key) + " must be of type " + std::string(name(description->type))};
        }
    }
    return store_->set(key, value);
}

std::optional<SettingsError> Settings::setResultLimit(int64_t limit) {
    const auto choice = resultLimitChoiceForNumber(limit);
    if (!choice) return SettingsError{SettingsError::Kind::invalidValue, std::string(kResultLimitChoicesMessage)};
    return store_->setInt(SettingsKeys::limitSearchResultsTypeKey, *choice);
}

SortOrders Settings::sortOrder() const {
    const auto raw = string(SettingsKeys::sortOrderKey, DefaultSettings::sortOrder);
    return sortOrderFromRaw(raw).value_or(SortOrders::new2Old);
}

std::optional<SettingsError> Settings::setSortOrder(SortOrders order) {
    return store_->setString(SettingsKeys::sortOrderKey, std::string(rawValue(order)));
}

double Settings::filterPanelWidth() const {
    return panelSize(real(SettingsKeys::filterPanelWidthKey, DefaultSettings::filterPanelWidth),
                     DefaultSettings::filterPanelWidthUsed, DefaultSettings::filterPanelWidthMin,
                     DefaultSettings::filterPanelWidthMax);
}

double Settings::filterPanelHeight() const {
    return panelSize(real(SettingsKeys::filterPanelHeightKey, DefaultSettings::filterPanelHeight),
                     DefaultSettings::filterPanelHeightUsed, DefaultSettings::filterPanelHeightMin,
                     DefaultSettings::filterPanelHeightMax);
}

double Settings::infoPanelWidth() const {
    return panelSize(real(SettingsKeys::infoPanelWidthKey, DefaultSettings::infoPanelWidth),
                     DefaultSettings::infoPanelWidthUsed, DefaultSettings::infoPanelWidthMin,
                     DefaultSettings::infoPanelWidthMax);
}

double Settings::infoPanelHeight() const {
    return panelSize(real(SettingsKeys::infoPanelHeightKey, DefaultSettings::infoPanelHeight),
                     DefaultSettings::infoPanelHeightUsed, DefaultSettings::infoPanelHeightMin,
                     DefaultSettings::infoPanelHeightMax);
}

std::optional<SettingsError> Settings::ensureIdentifiers() {
    std::optional<SettingsError> result;
    for (const auto key : {SettingsKeys::cloudServiceClientIdentifier, SettingsKeys::uniqueIdentifier,
                           SettingsKeys::uuidStringKey}) {
        // An empty or non-string value is no usable identifier: replace it.
        const auto needsIdentifier = [](const SettingsEntry* current) {
            if (!current || !current->value) return true;
            const auto* text = std::get_if<std::string>(&*current->value);
            return !text || text->empty();
        };
        result = firstError(std::move(result), store_->setIf(key, SettingValue(Uuid::random().toString()), needsIdentifier));
    }
    return result;
}

std::optional<SettingsError> Settings::migrateLanDefault(const std::function<void()>& restartApiServer) {
    if (store_->getBool(SettingsKeys::lanDefaultMigrationDoneKey)) return std::nullopt;

    std::optional<SettingsError> result;
    if (!store_->getBool(SettingsKeys::apiServerAllowLanKey) && apiServerEnabled()) {
        bool stored = false;
        result = store_->setIf(
            SettingsKeys::apiServerAllowLanKey, SettingValue(true),
            [](const SettingsEntry* current) {
                return !current || !current->value || !std::holds_alternative<bool>(*current->value);
            },
            &stored);
        if (stored && restartApiServer) restartApiServer();
    }
    return firstError(std::move(result), store_->setBool(SettingsKeys::lanDefaultMigrationDoneKey, true));
}

SearchParameters searchParametersFromSettings(const Settings& settings) {
    SearchParameters parameters;
    const auto folders = settings.searchFolderUrlStrings();
    parameters.rootFolderUrlStrings = std::set<std::string>(folders.begin(), folders.end());
    parameters.sortOrder = settings.sortOrder();
    // The search drops words shorter than this, so it must follow the user's setting.
    parameters.minSearchCharCount = settings.minSearchCharCount();
    return parameters;
}

}  // namespace lumidex
