#pragma once

#include "droppointentry.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// The page a browser gets for a drop point's link, built from the files under uploadpage/ (a Qt
// resource): page.html filled in for the drop point, and the script and style sheet it loads from
// the same origin (the server's Content-Security-Policy allows nothing inline).
namespace UploadPage {

struct Asset
{
    QByteArray type;
    QByteArray bytes;
};

// Whether an Accept-Language field ranks English above Japanese; Japanese when it names neither.
bool prefersEnglish(QByteArrayView acceptLanguage);
// "あと 1 時間 5 分" / "1 h 5 min left"; leftMs 0 or less: nothing is left but a moment.
QString timeLeft(qint64 leftMs, bool english);
// The page for the drop point at nowMs, its receiver's name escaped.
QByteArray html(const DropPointEntry &entry, qint64 nowMs, QByteArrayView acceptLanguage);
// page.js or page.css; nothing for any other name.
std::optional<Asset> asset(QByteArrayView name);

} // namespace UploadPage
