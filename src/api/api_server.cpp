#include "api/api_server.h"

#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <future>
#include <optional>
#include <thread>
#include <unordered_map>

#include "api/http_head.h"
#include "core/app_log.h"
#include "core/settings/api_server_ports.h"
#include "core/settings/settings.h"

namespace lumidex::api {

using asio::ip::tcp;
using std::chrono::milliseconds;

namespace {

// A rejected request may still be arriving; reading it away for a moment before closing keeps the
// kernel from resetting the connection, which would lose the answer on the way.
constexpr milliseconds kLingerTime{2000};
constexpr std::size_t kLingerMaxBytes = 4 * 1024 * 1024;

bool isTransientAcceptError(const std::error_code& ec) {
    if (ec.category() != asio::error::get_system_category()) return false;
    switch (ec.value()) {
        case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: case ECONNABORTED: case EPROTO: case EPERM: return true;
        default: return false;
    }
}

}  // namespace

std::vector<uint16_t> portCandidates(int64_t configuredPort) { return apiServerPortCandidates(configuredPort); }

std::string localHostName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return {};
    std::string text(name.data());
    text = text.substr(0, text.find('.'));
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool ApiAuthManager::isAuthorized(const ApiRequest& request) const {
    return isAuthorizedWithToken(request, Settings(*settings_).apiServerToken());
}

class Connection;

struct ApiServer::Impl {
    Impl(const ApiRouter& r, SettingsStore& s, ApiServerOptions o)
        : router(r), settings(s), options(std::move(o)), auth(s), hostName(localHostName()),
          handlers(std::max<std::size_t>(1, options.handlerThreads)) {}

    const ApiRouter& router;
    SettingsStore& settings;
    ApiServerOptions options;
    ApiServerConfig config;
    ApiAuthManager auth;
    std::string hostName;
    std::chrono::system_clock::time_point startTime = std::chrono::system_clock::now();
    std::atomic<uint16_t> actualPort{0};

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    asio::thread_pool handlers;
    std::thread network;

    // Network thread only.
    std::optional<tcp::acceptor> acceptor;
    asio::steady_timer acceptRetry{io};
    bool didBind = false;
    uint64_t nextConnectionId = 0;
    std::unordered_map<uint64_t, std::weak_ptr<Connection>> connections;
    std::array<char, kReceiveChunkBytes> chunk{};  // every read lands here first: idle connections cost no buffer

    void log(const std::string& line) const {
        if (options.log) {
            options.log(line);
        } else {
            appLog("[api] " + line);
        }
    }

    template <typename F>
    void runOnNetwork(F&& task) {
        if (std::this_thread::get_id() == network.get_id()) {
            task();
            return;
        }
        std::promise<void> done;
        asio::post(io, [&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }

    RequestContext requestContext() {
        // A token made by `lumidex token new` (another process) counts from the next request on.
        settings.reloadIfChanged();
        RequestContext context;
        context.allowLan = Settings(settings).apiServerAllowLan();
        context.localHostName = hostName;
        context.isAuthorized = [this](const ApiRequest& request) { return !config.authEnabled || auth.isAuthorized(request); };
        context.allowedMethods = [this](const std::string& path) { return router.allowedMethods(path); };
        return context;
    }

    bool listen(std::size_t portIndex);
    void accept();
    void closeListener();
    void closeAllConnections();
};

// One accepted connection, touched only on the network thread (the handler gets a copy of the request).
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ApiServer::Impl& server, tcp::socket socket, uint64_t id)
        : server_(server), socket_(std::move(socket)), guard_(server.io), id_(id) {}

    void begin() {
        std::error_code ec;
        socket_.non_blocking(true, ec);
        armGuard(server_.options.idleTimeout);
        waitForData();
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        guard_.cancel();
        std::error_code ec;
        socket_.close(ec);
        server_.connections.erase(id_);
    }

private:
    void armGuard(milliseconds timeout) {
        guard_.expires_after(timeout);
        guard_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            // A completion queued just before a re-arm arrives without error: only a due expiry counts.
            if (!ec && self->guard_.expiry() <= std::chrono::steady_clock::now()) self->close();
        });
    }

    void waitForData() {
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](const std::error_code& ec) { self->onReadable(ec); });
    }

    void onReadable(std::error_code ec) {
        if (closed_) return;
        if (ec) {
            if (ec != asio::error::operation_aborted && !lingering_) server_.log("Empfangsfehler: " + ec.message());
            close();
            return;
        }
        std::size_t want = server_.chunk.size();
        if (headDone_ && !lingering_) {
            want = std::min<std::size_t>(want, static_cast<std::size_t>(decision_.bodyLength) - buffer_.size());
        }
        const std::size_t received = socket_.read_some(asio::buffer(server_.chunk.data(), want), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            waitForData();
            return;
        }
        if (ec) {
            // The peer finished (or failed) before the request was complete: no answer.
            if (ec != asio::error::eof && !lingering_) server_.log("Empfangsfehler: " + ec.message());
            close();
            return;
        }
        if (lingering_) {
            drained_ += received;
            if (drained_ > kLingerMaxBytes) {
                close();
            } else {
                waitForData();
            }
            return;
        }
        armGuard(server_.options.idleTimeout);
        const std::size_t before = buffer_.size();
        buffer_.append(server_.chunk.data(), received);
        if (headDone_) {
            onBodyBytes();
        } else {
            onHeadBytes(before);
        }
    }

    void onHeadBytes(std::size_t before) {
        const std::size_t end = buffer_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
        if (end == std::string::npos) {
            if (buffer_.size() > kMaxHeadBytes) {
                send(serializeResponse(errorResponse(431, "bad_request", "Request headers exceed limit")), true);
            } else {
                waitForData();
            }
            return;
        }
        headDone_ = true;
        decision_ = decideHead(std::string_view(buffer_).substr(0, end), server_.requestContext());
        if (decision_.parsed && server_.options.onHead) server_.options.onHead(decision_.request, decision_.validationStatus);
        if (decision_.rejection) {
            if (!decision_.rejection->logLine.empty()) server_.log(decision_.rejection->logLine);
            send(serializeResponse(decision_.rejection->response), true);
            return;
        }
        buffer_.erase(0, end + 4);
        onBodyBytes();
    }

    void onBodyBytes() {
        const auto length = static_cast<std::size_t>(decision_.bodyLength);
        if (buffer_.size() < length) {
            waitForData();
            return;
        }
        if (length > 0) {
            buffer_.resize(length);
            decision_.request.body = std::move(buffer_);
        }
        buffer_ = std::string();
        guard_.cancel();
        asio::post(server_.handlers, [self = shared_from_this(), request = std::move(decision_.request)]() mutable {
            std::string bytes;
            try {
                bytes = serializeResponse(self->server_.router.handle(std::move(request)));
            } catch (...) {
                bytes = serializeResponse(ApiResponse{500, {}, std::nullopt});
            }
            asio::post(self->server_.io, [self, bytes = std::move(bytes)]() mutable { self->send(std::move(bytes), false); });
        });
    }

    // Sends the whole answer, then closes. A client that does not read it is dropped after the idle
    // time, so it cannot keep its place among the connections.
    void send(std::string bytes, bool lingerAfter) {
        if (closed_) return;
        outgoing_ = std::move(bytes);
        armGuard(server_.options.idleTimeout);
        asio::async_write(socket_, asio::buffer(outgoing_),
                          [self = shared_from_this(), lingerAfter](const std::error_code& ec, std::size_t) {
                              if (ec) {
                                  if (ec != asio::error::operation_aborted) self->server_.log("Sendefehler: " + ec.message());
                                  self->close();
                              } else if (lingerAfter) {
                                  self->linger();
                              } else {
                                  std::error_code ignored;
                                  self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
                                  self->close();
                              }
                          });
    }

    void linger() {
        lingering_ = true;
        outgoing_ = std::string();
        buffer_ = std::string();
        std::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        if (ec) {
            close();
            return;
        }
        armGuard(std::min(server_.options.idleTimeout, kLingerTime));
        waitForData();
    }

    ApiServer::Impl& server_;
    tcp::socket socket_;
    asio::steady_timer guard_;
    uint64_t id_;
    std::string buffer_;    // the head, then the body
    std::string outgoing_;  // the answer while it is sent
    HeadDecision decision_;
    bool headDone_ = false;
    bool lingering_ = false;
    bool closed_ = false;
    std::size_t drained_ = 0;
};

bool ApiServer::Impl::listen(std::size_t portIndex) {
    if (acceptor) return true;
    const std::vector<uint16_t> ports = options.ports ? options.ports() : portCandidates(Settings(settings).apiServerPort());
    std::error_code ec;
    const asio::ip::address address = asio::ip::make_address(config.host, ec);
    for (std::size_t i = portIndex; i < ports.size(); ++i) {
        const uint16_t port = ports[i];
        tcp::acceptor candidate(io);
        if (!ec) candidate.open(address.is_v6() ? tcp::v6() : tcp::v4(), ec);
        if (ec) {
            log("Listener konnte nicht erstellt werden auf Port " + std::to_string(port));
            return false;
        }
        candidate.set_option(asio::socket_base::reuse_address(true), ec);
        candidate.bind(tcp::endpoint(address, port), ec);
        if (!ec) candidate.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            log("Port " + std::to_string(port) + " nicht verfügbar: " + ec.message());
            actualPort = 0;
            ec.clear();
            continue;
        }
        const uint16_t bound = candidate.local_endpoint(ec).port();
        acceptor.emplace(std::move(candidate));
        didBind = true;
        actualPort = bound;
        log("Läuft auf " + config.host + ":" + std::to_string(bound));
        accept();
        return true;
    }
    std::string list;
    for (const uint16_t port : ports) list += (list.empty() ? "" : ", ") + std::to_string(port);
    log("Kein Port verfügbar (" + list + ")");
    return false;
}

void ApiServer::Impl::accept() {
    acceptor->async_accept([this](const std::error_code& ec, tcp::socket socket) {
        if (!acceptor || ec == asio::error::operation_aborted) return;
        if (ec) {
            if (isTransientAcceptError(ec)) {
                // Out of descriptors or memory for a moment: try again shortly instead of spinning.
                acceptRetry.expires_after(milliseconds(50));
                acceptRetry.async_wait([this](const std::error_code& waited) {
                    if (!waited && acceptor) accept();
                });
                return;
            }
            log("Laufzeitfehler auf Port " + std::to_string(actualPort.load()) + ": " + ec.message() + " — Server gestoppt");
            closeListener();
            return;
        }
        if (connections.size() >= options.maxConnections) {
            std::error_code ignored;
            socket.close(ignored);
        } else {
            const uint64_t id = nextConnectionId++;
            auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
            connections.emplace(id, connection);
            connection->begin();
        }
        accept();
    });
}

void ApiServer::Impl::closeListener() {
    if (acceptor) {
        std::error_code ignored;
        acceptor->close(ignored);
        acceptor.reset();
    }
    acceptRetry.cancel();
    didBind = false;
    actualPort = 0;
}

void ApiServer::Impl::closeAllConnections() {
    std::vector<std::shared_ptr<Connection>> open;
    for (const auto& [id, weak] : connections) {
        if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
    for (const auto& connection : open) connection->close();
    connections.clear();
}

ApiServer::ApiServer(const ApiRouter& router, SettingsStore& settings, ApiServerOptions options)
    : impl_(std::make_unique<Impl>(router, settings, std::move(options))) {
    impl_->config.host = Settings(settings).apiServerAllowLan() ? "0.0.0.0" : "127.0.0.1";
    Impl* impl = impl_.get();
    impl_->network = std::thread([impl] {
        while (true) {
            try {
                impl->io.run();
                return;
            } catch (const std::exception& error) {
                impl->log(std::string("Fehler im Netzwerk-Thread: ") + error.what());
            }
        }
    });
}

ApiServer::~ApiServer() {
    impl_->runOnNetwork([this] {
        impl_->closeListener();
        impl_->closeAllConnections();
    });
    impl_->handlers.join();  // their answers go to closed connections and are dropped
    impl_->work.reset();
    impl_->io.stop();
    impl_->network.join();
}

bool ApiServer::start(std::size_t portIndex) {
    bool listening = false;
    impl_->runOnNetwork([&] { listening = impl_->listen(portIndex); });
    return listening;
}

void ApiServer::stop() {
    impl_->runOnNetwork([this] {
        impl_->closeListener();
        impl_->log("Server gestoppt");
    });
}

uint16_t ApiServer::actualPort() const { return impl_->actualPort.load(); }
const ApiServerConfig& ApiServer::config() const { return impl_->config; }
std::chrono::system_clock::time_point ApiServer::startTime() const { return impl_->startTime; }

}  // namespace lumidex::api
