// Raw HTTP/1.1 for tests that talk to a server over loopback: one exchange on a fresh connection, and
// the answer read off it (status, head, body).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace lumidex::testing {

// Sends RAW on a fresh loopback connection to PORT and reads until the server closes it (or stays
// silent for five seconds).
inline std::string loopbackExchange(uint16_t port, const std::string& raw) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string_view bytes = raw;
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) break;
            bytes.remove_prefix(static_cast<size_t>(sent));
        }
        char chunk[65536];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            received.append(chunk, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return received;
}

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
