#pragma once

class QCoreApplication;
class QLocale;

// Qt's own texts (context menus, standard buttons) in the locale's language, when Qt's translations
// are installed. False when there is none for it.
bool installQtTranslations(QCoreApplication &application, const QLocale &locale);
