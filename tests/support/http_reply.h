// A raw HTTP/1.1 answer as a test reads it off a socket: the status, the head and the body.
#pragma once

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

namespace lumidex::testing {

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;

    explicit HttpReply(const std::string& raw) {
        const auto end = raw.find("\r\n\r\n");
        head = raw.substr(0, end);
        if (end != std::string::npos) body = raw.substr(end + 4);
        if (raw.starts_with("HTTP/1.1 ")) status = std::atoi(raw.c_str() + 9);
    }
    // The value of the first "NAME: value" line of the head; empty when there is none.
    std::string header(const std::string& name) const {
        const auto at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos) return {};
        const auto start = at + name.size() + 4;
        return head.substr(start, head.find("\r\n", start) - start);
    }
    bool hasHeaderLine(const std::string& line) const {
        return head.find("\r\n" + line + "\r\n") != std::string::npos || head.ends_with("\r\n" + line);
    }
    nlohmann::json bodyJson() const { return nlohmann::json::parse(body); }
};

}  // namespace lumidex::testing
