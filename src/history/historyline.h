#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// One entry of the history: what the chat log showed, or a line the user sent to chosen
// participants only.
struct HistoryLine
{
    enum class Kind : int {
        Chat = 0,           // a chat line as it came in, the own ones included
        Join = 1,           // the join line of the chat log
        Leave = 2,          // the leave line of the chat log
        NetworkChange = 3,  // the line telling that the machine moved to another address
        SentToSelected = 4, // a line the user sent to the participants named in recipients
        Gap = 5             // lines that arrived but could not be kept; the count is in text
    };

    qint64 id = 0;     // given by the store; increases in the order lines were stored
    qint64 timeMs = 0; // UTC, milliseconds since the epoch
    int utcOffset = 0; // seconds east of UTC where and when it was stored
    Kind kind = Kind::Chat;
    quint16 port = 0; // the chat port of the instance that kept it
    bool selectedOnly = false;
    QString name;
    QString address;
    QString text;
    QString recipients; // "name (address)" joined by ", " for SentToSelected

    bool operator==(const HistoryLine &) const = default;
};

using HistoryLines = QList<HistoryLine>;

Q_DECLARE_METATYPE(HistoryLine)
