#pragma once

#include <QObject>
#include <QString>

// One desktop notification as the program asks for it; summary and body are already escaped.
struct DesktopNotification
{
    // Matches the answer to the request.
    quint64 serial = 0;
    // The notification this one replaces; 0 for a new one.
    quint32 replacesId = 0;
    QString summary;
    QString body;
};

// What the desktop shows besides the window: the launcher's count badge and notifications.
// Every call returns at once; answers come back as signals, or never.
class BadgeAndNotifications : public QObject
{
    Q_OBJECT

public:
    explicit BadgeAndNotifications(QObject *parent = nullptr) : QObject(parent) {}
    ~BadgeAndNotifications() override;

    virtual void setBadge(qint64 count) = 0;
    virtual void notify(const DesktopNotification &notification) = 0;
    virtual void closeNotification(quint32 id) = 0;

signals:
    void notificationShown(quint64 serial, quint32 id);
    void notificationFailed(quint64 serial);
    // The server closed it: expired, dismissed or replaced by its user.
    void notificationClosed(quint32 id);
    void actionInvoked(quint32 id, const QString &action);
};
