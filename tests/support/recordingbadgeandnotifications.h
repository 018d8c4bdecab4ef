#pragma once

#include "app/badgeandnotifications.h"

#include <QList>

// Remembers what the desktop was asked to show. Nothing is answered until a test says so.
class RecordingBadgeAndNotifications : public BadgeAndNotifications
{
    Q_OBJECT

public:
    void setBadge(qint64 count) override { badges.append(count); }
    void notify(const DesktopNotification &notification) override { notifications.append(notification); }
    void closeNotification(quint32 id) override { closed.append(id); }

    // The server's answer to the last call, with the id it gave.
    void answerLast(quint32 id);

    QList<qint64> badges;
    QList<DesktopNotification> notifications;
    QList<quint32> closed;
};
