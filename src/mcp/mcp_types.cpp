#include "mcp/mcp_types.h"

#include <cmath>
#include <utility>

namespace lumidex::mcp {
namespace {

// A number read as a signed 64-bit integer when it is one: an unsigned beyond the range does not
// fit, a floating value does when it is whole and inside the range (3.0 is 3).
std::optional<int64_t> integerOf(const Json& json) {
    if (json.is_number_integer() && !json.is_number_unsigned()) return json.get<int64_t>();
    if (json.is_number_unsigned()) {
        const auto value = json.get<uint64_t>();
        if (value <= static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(value);
        return std::nullopt;
    }
    if (json.is_number_float()) {
        const double value = json.get<double>();
        // 2^63 is exactly representable; every double below it and at or above -2^63 converts safely.
        if (std::isfinite(value) && std::trunc(value) == value && value >= -9223372036854775808.0 &&
            value < 9223372036854775808.0) {
            return static_cast<int64_t>(value);
        }
    }
    return std::nullopt;
}

// Decoding recurses once per level; a body of nothing but brackets must not exhaust the stack.
constexpr int kMaxDepth = 512;

}  // namespace

std::variant<AnyCodableValue, std::string> AnyCodableValue::decode(const Json& json) { return decode(json, 0); }

std::variant<AnyCodableValue, std::string> AnyCodableValue::decode(const Json& json, int depth) {
    if (depth > kMaxDepth) return std::string("JSON nested too deeply");
    AnyCodableValue out;
    if (json.is_null()) return out;
    if (json.is_boolean()) {
        out.value = json.get<bool>();
        return out;
    }
    if (json.is_number()) {
        if (auto integer = integerOf(json)) {
            out.value = *integer;
        } else {
            out.value = json.get<double>();
        }
        return out;
    }
    if (json.is_string()) {
        out.value = json.get<std::string>();
        return out;
    }
    if (json.is_array()) {
        Array items;
        items.reserve(json.size());
        for (const Json& element : json) {
            auto decoded = decode(element, depth + 1);
            if (auto* error = std::get_if<std::string>(&decoded)) return std::move(*error);
            items.push_back(std::move(std::get<AnyCodableValue>(decoded)));
        }
        out.value = std::move(items);
        return out;
    }
    if (json.is_object()) {
        Object members;
        for (const auto& [key, element] : json.items()) {
            auto decoded = decode(element, depth + 1);
            if (auto* error = std::get_if<std::string>(&decoded)) return std::move(*error);
            members.insert_or_assign(key, std::move(std::get<AnyCodableValue>(decoded)));
        }
        out.value = std::move(members);
        return out;
    }
    return std::string("Unsupported JSON type");
}

Json AnyCodableValue::encode() const {
    struct Visitor {
        Json operator()(std::monostate) const { return nullptr; }
        Json operator()(const std::string& text) const { return text; }
        Json operator()(int64_t number) const { return number; }
        Json operator()(double number) const { return number; }
        Json operator()(bool flag) const { return flag; }
        Json operator()(const Array& items) const {
            Json out = Json::array();
            for (const AnyCodableValue& item : items) out.push_back(item.encode());
            return out;
        }
        Json operator()(const Object& members) const {
            Json out = Json::object();
            for (const auto& [key, member] : members) out[key] = member.encode();
            return out;
        }
    };
    return std::visit(Visitor{}, value);
}

std::variant<JsonRpcId, std::string> JsonRpcId::decode(const Json& json) {
    JsonRpcId id;
    if (json.is_null()) return id;
    if (auto integer = integerOf(json)) {
        id.value = *integer;
        return id;
    }
    if (json.is_string()) {
        id.value = json.get<std::string>();
        return id;
    }
    return std::string("Expected String, Int or null for JSON-RPC id");
}

Json JsonRpcId::encode() const {
    if (const auto* number = std::get_if<int64_t>(&value)) return *number;
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    return nullptr;
}

std::variant<JsonRpcRequest, std::string> JsonRpcRequest::decode(const Json& json) {
    if (!json.is_object()) return std::string("Expected a JSON-RPC request object");
    JsonRpcRequest request;

    const auto jsonrpc = json.find("jsonrpc");
    if (jsonrpc == json.end()) return std::string("Missing key 'jsonrpc'");
    if (!jsonrpc->is_string()) return std::string("Expected String for 'jsonrpc'");
    request.jsonrpc = jsonrpc->get<std::string>();

    if (const auto id = json.find("id"); id != json.end()) {
        auto decoded = JsonRpcId::decode(*id);
        if (auto* error = std::get_if<std::string>(&decoded)) return std::move(*error);
        request.id = std::move(std::get<JsonRpcId>(decoded));
    }

    const auto method = json.find("method");
    if (method == json.end()) return std::string("Missing key 'method'");
    if (!method->is_string()) return std::string("Expected String for 'method'");
    request.method = method->get<std::string>();

    if (const auto params = json.find("params"); params != json.end() && !params->is_null()) {
        if (!params->is_object()) return std::string("Expected an object for 'params'");
        auto decoded = AnyCodableValue::decode(*params);
        if (auto* error = std::get_if<std::string>(&decoded)) return std::move(*error);
        request.params = *params;
    }
    return request;
}

Json JsonRpcResponse::encode() const {
    Json out = Json::object();
    out["jsonrpc"] = "2.0";
    out["id"] = id.encode();
    if (error) {
        Json body = Json::object();
        body["code"] = error->code;
        body["message"] = error->message;
        if (error->data) body["data"] = *error->data;
        out["error"] = std::move(body);
    } else {
        out["result"] = result ? *result : Json::object();
    }
    return out;
}

Json McpToolContent::encode() const {
    Json out = Json::object();
    out["type"] = type;
    if (text) out["text"] = *text;
    if (data) out["data"] = *data;
    if (mimeType) out["mimeType"] = *mimeType;
    return out;
}

}  // namespace lumidex::mcp
