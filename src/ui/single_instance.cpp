#include "ui/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/hashing.h"
#include "platform/paths.h"

namespace lumidex::ui {
namespace {

constexpr char kConfirmation[] = "ok\n";

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

QString instanceSocketPath(const QString& dataDirectory) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    QString folder = !runtime.isEmpty() && QFileInfo(QString::fromLocal8Bit(runtime)).isDir()
                         ? QString::fromLocal8Bit(runtime)
                         : QString::fromStdString(platform::userDirectories().appDocuments.string());
    char name[48];
    std::snprintf(name, sizeof name, "lumidex-window-%08x.socket", fnv1a32(dataDirectory.toStdString()));
    return QDir(folder).filePath(QString::fromLatin1(name));
}

Handover handToRunningInstance(const QString& socketPath, const QStringList& arguments, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path)) return Handover::noInstance;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    Descriptor socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0) return Handover::noInstance;
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // Nobody listens: no file, or one left by an instance that ended without removing it.
        return errno == ENOENT || errno == ECONNREFUSED ? Handover::noInstance : Handover::noAnswer;
    }
    QJsonArray list;
    for (const QString& argument : arguments) list.append(argument);
    const QByteArray message = QJsonDocument(list).toJson(QJsonDocument::Compact) + '\n';
    for (qsizetype sent = 0; sent < message.size();) {
        const ssize_t n = ::send(socket.fd, message.constData() + sent, static_cast<size_t>(message.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Handover::noAnswer;
        sent += n;
    }
    std::string answer;
    while (answer.find('\n') == std::string::npos) {
        pollfd ready{socket.fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, remainingMs(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return Handover::noAnswer;
        char buffer[64];
        const ssize_t n = ::recv(socket.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Handover::noAnswer;
        answer.append(buffer, static_cast<size_t>(n));
    }
    return answer == kConfirmation ? Handover::done : Handover::noAnswer;
}

std::unique_ptr<InstanceServer> InstanceServer::listen(const QString& socketPath, QString& error) {
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath);  // a file left behind; the caller made sure nobody listens
    if (!server->listen(socketPath)) {
        error = server->errorString();
        return nullptr;
    }
    return std::unique_ptr<InstanceServer>(new InstanceServer(std::move(server)));
}

InstanceServer::InstanceServer(std::unique_ptr<QLocalServer> server) : server_(std::move(server)) {
    connect(server_.get(), &QLocalServer::newConnection, this, &InstanceServer::accept);
}

InstanceServer::~InstanceServer() = default;  // closing the server removes its socket file

void InstanceServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > 64 * 1024) socket->abort();  // not one of ours
                return;
            }
            const QJsonDocument document = QJsonDocument::fromJson(socket->readLine());
            QStringList arguments;
            for (const auto& value : document.array()) arguments << value.toString();
            // Confirmed first: the later start must not wait while a folder is added.
            socket->write(kConfirmation);
            socket->disconnectFromServer();  // after the confirmation is written
            QTimer::singleShot(0, this, [this, arguments] { emit argumentsReceived(arguments); });
        });
    }
}

InstanceElection electInstance(const QString& socketPath, const QStringList& arguments, int timeoutMs) {
    InstanceElection election;
    QDir().mkpath(QFileInfo(socketPath).absolutePath());
    // Held while deciding, so that of two starts at once one listens and the other hands over.
    QLockFile lock(socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(timeoutMs)) {
        election.error = QStringLiteral("cannot lock %1").arg(lock.fileName());
        return election;
    }
    election.handover = handToRunningInstance(socketPath, arguments, timeoutMs);
    switch (election.handover) {
        case Handover::done: return election;
        case Handover::noAnswer:
            election.error = QStringLiteral("a running Lumidex window at %1 did not answer").arg(socketPath);
            return election;
        case Handover::noInstance: break;
    }
    election.server = InstanceServer::listen(socketPath, election.error);
    return election;
}

}  // namespace lumidex::ui
