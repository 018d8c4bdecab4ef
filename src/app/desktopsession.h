#pragma once

class QWidget;

// Before the application exists: on a Wayland session, asks Qt for X11 (XWayland) unless the user
// set QT_QPA_PLATFORM or the xcb plugin is missing.
void preferX11OnWayland();

// One Japanese UI font for Latin and Japanese alike, and the name the Windows peers' popup font
// goes by mapped to an installed font with its metrics.
void setUpApplicationFonts();

// SIGTERM, SIGINT and SIGHUP close the window like its close box, so the leaving sequence runs.
void closeOnTerminationSignals(QWidget *window);
