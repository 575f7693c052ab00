#include "core/model/json_coding.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace lumidex {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& key, const char* what) {
    throw json::other_error::create(501, "key \"" + key + "\": " + what, nullptr);
}

const json& field(const json& j, const std::string& key) {
    if (!j.is_object()) throw json::type_error::create(302, "expected an object", nullptr);
    const auto it = j.find(key);
    if (it == j.end()) fail(key, "missing");
    return *it;
}

const json* optionalField(const json& j, const std::string& key) {
    const auto it = j.find(key);
    return (it == j.end() || it->is_null()) ? nullptr : &*it;
}

bool readBool(const json& j, const std::string& key) {
    const json& v = field(j, key);
    if (!v.is_boolean()) fail(key, "not a Boolean");
    return v.get<bool>();
}

int64_t asInt64(const json& v, const std::string& key) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) fail(key, "integer out of range");
        return static_cast<int64_t>(u);
    }
    if (!v.is_number_integer()) fail(key, "not an integer");
    return v.get<int64_t>();
}

int64_t readInt64(const json& j, const std::string& key) { return asInt64(field(j, key), key); }

std::string readString(const json& j, const std::string& key) {
    const json& v = field(j, key);
    if (!v.is_string()) fail(key, "not a string");
    return v.get<std::string>();
}

std::optional<std::string> readOptionalString(const json& j, const std::string& key) {
    const json* v = optionalField(j, key);
    if (v == nullptr) return std::nullopt;
    if (!v->is_string()) fail(key, "not a string");
    return v->get<std::string>();
}

Date readDate(const json& j, const std::string& key) {
    const json& v = field(j, key);
    if (!v.is_number()) fail(key, "not a number of seconds");
    const double seconds = v.get<double>();
    if (!std::isfinite(seconds)) fail(key, "not a finite date");
    return dateFromSecondsSince1970(seconds);
}

Uuid readUuid(const json& j, const std::string& key) {
    const std::optional<Uuid> id = Uuid::parse(readString(j, key));
    if (!id) fail(key, "not a UUID");
    return *id;
}

template <typename T>
std::optional<T> decode(std::string_view text) {
    try {
        const json j = json::parse(text.begin(), text.end());
        return j.get<T>();
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

template <typename T>
std::string encode(const T& item) {
    // Invalid UTF-8 in a string field is written as U+FFFD instead of failing the whole record.
    return json(item).dump(-1, ' ', false, json::error_handler_t::replace);
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64Encode(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += {kBase64[v >> 18], kBase64[(v >> 12) & 63], kBase64[(v >> 6) & 63], kBase64[v & 63]};
    }
    if (const size_t rest = bytes.size() - i; rest > 0) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0u);
        out += {kBase64[v >> 18], kBase64[(v >> 12) & 63], rest == 2 ? kBase64[(v >> 6) & 63] : '=', '='};
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 == 0 && !text.empty() && text.back() == '=') {
        text.remove_suffix(1);
        if (!text.empty() && text.back() == '=') text.remove_suffix(1);
    }
    if (text.size() % 4 == 1) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() * 3 / 4);
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        const int v = base64Value(c);
        if (v < 0) return std::nullopt;
        buffer = (buffer << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(buffer >> bits));
            buffer &= (1u << bits) - 1;
        }
    }
    if (buffer != 0) return std::nullopt;  // non-canonical trailing bits
    return out;
}

void to_json(json& j, const FileStructureItem& item) {
    j = json{
        {"id", item.id.toString()},
        {"isFile", item.isFile},
        {"url", item.url},
        {"creationDate", secondsSince1970(item.creationDate)},
        {"modificationDate", secondsSince1970(item.modificationDate)},
        {"fileSize", item.fileSize},
        {"inSyncWithServer", item.inSyncWithServer},
        {"hasContent", item.hasContent},
    };
    if (item.serverFileId) j["serverFileId"] = *item.serverFileId;
}

void from_json(const json& j, FileStructureItem& item) {
    FileStructureItem out;
    out.id = readUuid(j, "id");
    out.isFile = readBool(j, "isFile");
    out.url = readString(j, "url");
    out.creationDate = readDate(j, "creationDate");
    out.modificationDate = readDate(j, "modificationDate");
    out.fileSize = readInt64(j, "fileSize");
    out.inSyncWithServer = readBool(j, "inSyncWithServer");
    out.hasContent = readBool(j, "hasContent");
    if (const json* v = optionalField(j, "serverFileId")) out.serverFileId = asInt64(*v, "serverFileId");
    item = std::move(out);
}

void to_json(json& j, const HistoryItem& item) {
    j = json{
        {"id", item.id.toString()},
        {"uuid", item.uuid.toString()},
        {"dbId", item.dbId},
        {"creationDate", secondsSince1970(item.creationDate)},
        {"clientIdentifier", item.clientIdentifier},
        {"encryptionKey", item.encryptionKey},
        {"isDirectory", item.isDirectory},
        {"pageGroupId", item.pageGroupId},
        {"totalPageCount", item.totalPageCount},
        {"pageIndex", item.pageIndex},
        {"isDeleted", item.isDeleted},
        {"fileModifiedDate", secondsSince1970(item.fileModifiedDate)},
        {"fileCreatedDate", secondsSince1970(item.fileCreatedDate)},
        {"fileContentCreatedDate", secondsSince1970(item.fileContentCreatedDate)},
        {"fileSize", item.fileSize},
        {"editModeActive", item.editModeActive},
        {"historyItemSyncType", rawValue(item.historyItemSyncType)},
    };
    if (item.relativeSearchableFolderItemUrl) j["relativeSearchableFolderItemUrl"] = *item.relativeSearchableFolderItemUrl;
    if (item.relativeLocalUrl) j["relativeLocalUrl"] = *item.relativeLocalUrl;
    if (item.fileData) j["fileData"] = base64Encode(*item.fileData);
}

void from_json(const json& j, HistoryItem& item) {
    HistoryItem out;
    out.id = readUuid(j, "id");
    out.uuid = readUuid(j, "uuid");
    out.dbId = readInt64(j, "dbId");
    out.creationDate = readDate(j, "creationDate");
    out.clientIdentifier = readString(j, "clientIdentifier");
    out.encryptionKey = readString(j, "encryptionKey");
    out.relativeSearchableFolderItemUrl = readOptionalString(j, "relativeSearchableFolderItemUrl");
    out.relativeLocalUrl = readOptionalString(j, "relativeLocalUrl");
    out.isDirectory = readBool(j, "isDirectory");
    out.pageGroupId = readInt64(j, "pageGroupId");
    out.totalPageCount = readInt64(j, "totalPageCount");
    out.pageIndex = readInt64(j, "pageIndex");
    out.isDeleted = readBool(j, "isDeleted");
    out.fileModifiedDate = readDate(j, "fileModifiedDate");
    out.fileCreatedDate = readDate(j, "fileCreatedDate");
    out.fileContentCreatedDate = readDate(j, "fileContentCreatedDate");
    out.fileSize = readInt64(j, "fileSize");
    if (const std::optional<std::string> data = readOptionalString(j, "fileData")) {
        out.fileData = base64Decode(*data);
        if (!out.fileData) fail("fileData", "not base64");
    }
    out.editModeActive = readBool(j, "editModeActive");
    const std::optional<HistoryItemSyncTypes> type = historyItemSyncTypeFromRaw(readInt64(j, "historyItemSyncType"));
    if (!type) fail("historyItemSyncType", "unknown raw value");
    out.historyItemSyncType = *type;
    item = std::move(out);
}

std::string toJson(const FileStructureItem& item) { return encode(item); }
std::string toJson(const HistoryItem& item) { return encode(item); }
std::optional<FileStructureItem> fileStructureItemFromJson(std::string_view text) { return decode<FileStructureItem>(text); }
std::optional<HistoryItem> historyItemFromJson(std::string_view text) { return decode<HistoryItem>(text); }

}  // namespace lumidex
