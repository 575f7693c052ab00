// One window per user and index: the first `lumidex window` listens on a local socket; a later start
// connects, hands over its arguments (the folder to add), waits until the first confirms receipt, and
// exits. The first answers from its event loop, so a start while it is still starting gets no answer.
// A socket left behind by an instance that crashed is taken over.
//
// The socket lives in $XDG_RUNTIME_DIR (else the state folder), named after the data directory, so
// that separate indexes (other homes, tests) keep separate windows. Choosing between listening and
// handing over happens under a lock file, so two starts at once end with one window.
//
// The client half (handToRunningInstance) blocks and needs no event loop: it may run on any thread and
// before a QApplication exists. The server lives on the thread that created it and answers from its
// event loop. Nothing throws.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;

namespace lumidex::ui {

// The socket's path for the index in `dataDirectory`.
QString instanceSocketPath(const QString& dataDirectory);

enum class Handover {
    done,        // a running instance took the arguments
    noInstance,  // nothing listens (no socket, or a stale one)
    noAnswer,    // something listens but did not confirm in time
};

// Sends `arguments` to the instance listening at `socketPath` and waits up to `timeoutMs` for it to
// confirm.
Handover handToRunningInstance(const QString& socketPath, const QStringList& arguments, int timeoutMs = 5000);

class InstanceServer : public QObject {
    Q_OBJECT
public:
    // Listens at `socketPath`, replacing a file left there; null (with `error`) when it cannot.
    static std::unique_ptr<InstanceServer> listen(const QString& socketPath, QString& error);
    ~InstanceServer() override;

signals:
    // A later start's arguments, emitted from the event loop after that start was told it may exit.
    void argumentsReceived(const QStringList& arguments);

private:
    explicit InstanceServer(std::unique_ptr<QLocalServer> server);
    void accept();

    std::unique_ptr<QLocalServer> server_;
};

struct InstanceElection {
    std::unique_ptr<InstanceServer> server;  // this process is the instance: keep it for the window's life
    Handover handover = Handover::noInstance;  // done: the arguments were handed over, exit
    QString error;                             // neither happened: why (the caller goes on alone)
};

// Hands `arguments` to a running instance, or becomes the instance.
InstanceElection electInstance(const QString& socketPath, const QStringList& arguments, int timeoutMs = 5000);

}  // namespace lumidex::ui
