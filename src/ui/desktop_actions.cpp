#include "ui/desktop_actions.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QUrl>

#ifdef LUMIDEX_HAVE_QT_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#endif

namespace lumidex::ui {
namespace {

DesktopLaunchers& launchers() {
    static DesktopLaunchers installed;
    return installed;
}

}  // namespace

void setDesktopLaunchers(DesktopLaunchers replacement) { launchers() = std::move(replacement); }

bool openWithDefaultApplication(const QString& path) {
    if (launchers().open) return launchers().open(path);
    return QProcess::startDetached(QStringLiteral("xdg-open"), {path});
}

bool revealInFileManager(const QString& path) {
    if (launchers().reveal) return launchers().reveal(path);
#ifdef LUMIDEX_HAVE_QT_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        // A short wait: a session without a file manager answers with an error at once.
        const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
        if (reply.type() == QDBusMessage::ReplyMessage) return true;
    }
#endif
    return openWithDefaultApplication(QFileInfo(path).absolutePath());
}

void copyPathToClipboard(const QString& path) { QGuiApplication::clipboard()->setText(path); }

}  // namespace lumidex::ui
