#pragma once

class QCoreApplication;
class QLocale;
class QWidget;

// Before the application exists: on a Wayland session, asks Qt for X11 (XWayland) unless the user
// set QT_QPA_PLATFORM or the xcb plugin is missing.
void preferX11OnWayland();

// Qt's own texts (context menus, standard buttons) in the locale's language, when Qt's translations
// are installed. False when there is none for it.
bool installQtTranslations(QCoreApplication &application, const QLocale &locale);

// One Japanese UI font for Latin and Japanese alike, and the name the Windows peers' popup font
// goes by mapped to an installed font with its metrics.
void setUpApplicationFonts();

// SIGTERM, SIGINT and SIGHUP close the window like its close box, so the leaving sequence runs.
void closeOnTerminationSignals(QWidget *window);
