#pragma once

#include <QByteArray>

// The windows are placed by the program and one may stay on top of the others; Wayland lets a
// client do neither, X11 (XWayland on a Wayland desktop) does both.
namespace PlatformChoice {

// The value for QT_QPA_PLATFORM, or an empty one to leave Qt's choice alone: X11 on a Wayland
// session when the xcb plugin is installed and the user has not chosen a platform. Wayland stays
// the fallback for a session without XWayland.
QByteArray platformToAskFor(const QByteArray &waylandDisplay, const QByteArray &sessionType,
                            const QByteArray &qpaPlatform, bool xcbPluginInstalled);

} // namespace PlatformChoice

// Before the application exists: on a Wayland session, asks Qt for X11 (XWayland) unless the user
// set QT_QPA_PLATFORM or the xcb plugin is missing.
void preferX11OnWayland();
