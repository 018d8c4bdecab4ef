#pragma once

#include "app/badgeandnotifications.h"
#include "busconnector.h"

#include <memory>

class QDBusConnection;

// The desktop's signs over the session bus: the launcher entry's Update signal for the badge and
// org.freedesktop.Notifications. Only asynchronous calls: a bus or server that never answers
// costs nothing but the answer.
class DBusBadgeAndNotifications : public BadgeAndNotifications
{
    Q_OBJECT

public:
    // sessionBusAddress: the bus to join instead of Qt's (see SessionBusDetour); empty for Qt's.
    explicit DBusBadgeAndNotifications(const QString &sessionBusAddress = {}, QObject *parent = nullptr);
    ~DBusBadgeAndNotifications() override;

    // The one long-lived connection: docks forget a badge when its sender leaves the bus. Made on
    // a thread of its own, since joining a bus waits for its greeting. Until it is made, and when
    // there is no bus, notifications fail and the badge is only remembered.
    void connectToSessionBus();

    // Still waiting for the bus to greet us.
    bool connecting() const;

    void setBadge(qint64 count) override;
    void notify(const DesktopNotification &notification) override;
    void closeNotification(quint32 id) override;

private slots:
    void onActionInvoked(uint id, const QString &action);
    void onNotificationClosed(uint id, uint reason);
    void onLauncherOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    // On the joining thread.
    void subscribe(const QDBusConnection &bus);
    void useBus(const QDBusConnection &bus);
    void sendBadge();

    BusConnector m_connector;
    const QString m_sessionBusAddress;

    std::unique_ptr<QDBusConnection> m_bus;
    qint64 m_badge = 0;
};
