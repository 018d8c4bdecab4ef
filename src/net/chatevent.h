#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// What the session showed in the chat log, or sent to chosen participants, for whoever keeps a
// record of it. The chat log's own form of it (name>text TAB time) stays the session's.
struct ChatEvent
{
    enum class Kind {
        Line,          // a chat line as it came in, the own ones included
        Join,          // the join line
        Leave,         // the leave line
        NetworkChange, // the line telling that the machine moved to another address
        SentToSelected // a line the user sent to the participants named in recipients
    };

    Kind kind = Kind::Line;
    QString name;
    QString address;
    // As the chat log shows it, without the time; a selected-only line without its "-Only" mark.
    QString text;
    bool selectedOnly = false;
    QStringList recipients; // "name (address)", in the order the line went to them
};

Q_DECLARE_METATYPE(ChatEvent)
