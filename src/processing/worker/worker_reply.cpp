#include "processing/worker/worker_reply.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <type_traits>
#include <utility>

namespace lumidex {
namespace {

using nlohmann::json;

WorkerReply invalid(std::string why) {
    WorkerReply reply;
    reply.text = std::move(why);
    return reply;
}

// A JSON text of any value; bad UTF-8 in it is replaced rather than thrown about.
std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// The member `key` of the type `T`: absent gives `fallback`, another type nothing.
template <class T>
std::optional<T> member(const json& object, const char* key, T fallback) {
    const auto found = object.find(key);
    if (found == object.end()) return fallback;
    if constexpr (std::is_same_v<T, std::string>) {
        if (!found->is_string()) return std::nullopt;
    } else {
        if (!found->is_boolean()) return std::nullopt;
    }
    return found->get<T>();
}

}  // namespace

WorkerReply parseWorkerReply(std::string_view payload, std::uint64_t jobId) {
    const json message = json::parse(payload, nullptr, false);
    const auto id = message.is_object() ? message.find("id") : message.end();
    if (!message.is_object() || id == message.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() != jobId)
        return invalid("unexpected message " + std::string(payload.substr(0, 200)));
    const auto type = member<std::string>(message, "type", "");
    if (!type) return invalid("a message type that is not a string");

    WorkerReply reply;
    if (*type == "progress") {
        const auto found = message.find("payload");
        reply.type = WorkerReply::Type::progress;
        reply.json = found == message.end() ? "null" : dump(*found);
        return reply;
    }
    if (*type == "log") {
        const auto line = member<std::string>(message, "message", "");
        if (!line) return invalid("a log message that is not a string");
        reply.type = WorkerReply::Type::log;
        reply.text = *line;
        return reply;
    }
    if (*type != "result") return invalid("unknown message type \"" + *type + "\"");
    const auto ok = member<bool>(message, "ok", false);
    const auto error = member<std::string>(message, "error", "unspecified error");
    const auto outOfMemory = member<bool>(message, "out_of_memory", false);
    if (!ok || !error || !outOfMemory) return invalid("a result with members of the wrong type");
    reply.type = WorkerReply::Type::result;
    reply.ok = *ok;
    if (reply.ok) {
        const auto found = message.find("result");
        reply.json = found == message.end() ? "null" : dump(*found);
    } else {
        reply.text = *error;
        reply.outOfMemory = *outOfMemory;
    }
    return reply;
}

bool isWorkerGreeting(std::string_view payload, int protocol) {
    const json hello = json::parse(payload, nullptr, false);
    if (!hello.is_object()) return false;
    // Comparisons of JSON values: a member of another type is unequal, not an exception.
    const auto type = hello.find("type");
    const auto version = hello.find("protocol");
    return type != hello.end() && *type == "hello" && version != hello.end() && *version == protocol;
}

}  // namespace lumidex
