#pragma once

#include "diagnosis.h"

#include <QJsonObject>

// What the doctor prints: one JSON object, or plain Japanese text for a terminal.
namespace Report {

QJsonObject json(const Diagnosis &diagnosis, const QList<Diagnosis::Problem> &problems);
QString text(const Diagnosis &diagnosis, const QList<Diagnosis::Problem> &problems, const QStringList &notes);

// A peer's text made safe for a terminal: control characters (escape sequences among them) and
// direction overrides become "?".
QString printable(const QString &text);

// 0 without problems, 1 with.
int exitStatus(const QList<Diagnosis::Problem> &problems);

} // namespace Report
