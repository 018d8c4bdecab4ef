#pragma once

#include "history/historyline.h"

// A chat line from 198.18.0.2 on port 1000, at UTC+9, as the history stores it.
inline HistoryLine chatLine(const QString &name, const QString &text, qint64 timeMs = 1767225600000)
{
    HistoryLine line;
    line.timeMs = timeMs;
    line.utcOffset = 9 * 3600;
    line.port = 1000;
    line.name = name;
    line.address = QStringLiteral("198.18.0.2");
    line.text = text;
    return line;
}
