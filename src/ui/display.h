// Whether the desktop window can be shown on this session: a display is named (DISPLAY or
// WAYLAND_DISPLAY) and Qt's platform plugin starts on it. The probe runs in a child process, since
// Qt ends a process whose platform plugin fails to load; call it before any thread is started. A probe
// that has not answered within five seconds is killed and the window counts as unavailable.
#pragma once

namespace lumidex::ui {

bool windowPlatformAvailable();

}  // namespace lumidex::ui
