// The messages a worker sends (its greeting, then per job progress, log and result; see
// extraction_worker.h), read from one frame's payload and checked against the protocol. The payload
// comes from a process that decodes hostile files, so anything that is not exactly the protocol (not
// JSON, another job's id, a member of the wrong type) is rejected, never an exception.
// Pure functions; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumidex {

struct WorkerReply {
    enum class Type { progress, log, result, invalid };
    Type type = Type::invalid;
    // progress: the payload; result with ok: the handler's result. A JSON text, "null" when absent.
    std::string json;
    // log: the line; result without ok: the error; invalid: what is wrong, for the log.
    std::string text;
    bool ok = false;           // result: the handler succeeded
    bool outOfMemory = false;  // result without ok: an allocation failed at the memory limit
};

WorkerReply parseWorkerReply(std::string_view payload, std::uint64_t jobId);

// The first message of a worker: {"type":"hello","protocol":<protocol>,...}.
bool isWorkerGreeting(std::string_view payload, int protocol);

}  // namespace lumidex
