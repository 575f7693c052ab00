// What a desktop user does with a found file outside Lumidex: open it with its default application,
// show it in the file manager, copy its path. GUI thread only; nothing blocks on the launched programs.
#pragma once

#include <QString>

#include <functional>

namespace lumidex::ui {

// Stand-ins for opening and revealing, for the whole process (tests install them so that no program
// starts); an empty function leaves the real action in place. GUI thread only.
struct DesktopLaunchers {
    std::function<bool(const QString& path)> open;
    std::function<bool(const QString& path)> reveal;
};
void setDesktopLaunchers(DesktopLaunchers launchers);

// Starts `xdg-open` on the file; false when it could not be started.
bool openWithDefaultApplication(const QString& path);
// Asks the session's file manager to show the file selected (org.freedesktop.FileManager1.ShowItems);
// without one (or without D-Bus) opens the file's folder instead. False when neither could be started.
bool revealInFileManager(const QString& path);
void copyPathToClipboard(const QString& path);

}  // namespace lumidex::ui
