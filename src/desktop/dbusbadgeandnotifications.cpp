#include "dbusbadgeandnotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>

namespace {

const QString desktopId = QStringLiteral("org.example.ZumzumChat");
const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString launcherInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
// Listeners match on the interface; the path only has to be valid, and a desktop id is not.
const QString launcherPath = QStringLiteral("/com/canonical/unity/launcherentry/%1")
                                 .arg(qChecksum(QByteArrayView(desktopId.toLatin1())));

} // namespace

DBusBadgeAndNotifications::DBusBadgeAndNotifications(const QString &sessionBusAddress, QObject *parent)
    : BadgeAndNotifications(parent), m_sessionBusAddress(sessionBusAddress)
{
}

DBusBadgeAndNotifications::~DBusBadgeAndNotifications() = default;

void DBusBadgeAndNotifications::connectToSessionBus()
{
    m_connector.start(
        BusConnector::Bus::Session,
        [this](const QDBusConnection &bus) {
            subscribe(bus);
            QMetaObject::invokeMethod(
                this, [this, bus] { useBus(bus); }, Qt::QueuedConnection);
        },
        m_sessionBusAddress);
}

bool DBusBadgeAndNotifications::connecting() const
{
    return m_connector.pending();
}

void DBusBadgeAndNotifications::subscribe(const QDBusConnection &bus)
{
    QDBusConnection connection(bus);
    // Servers may send these to the caller only; the service name is left open so that
    // subscribing needs no name lookup.
    connection.connect(QString(), notificationsPath, notifications, QStringLiteral("ActionInvoked"), this,
                       SLOT(onActionInvoked(uint, QString)));
    connection.connect(QString(), notificationsPath, notifications, QStringLiteral("NotificationClosed"),
                       this, SLOT(onNotificationClosed(uint, uint)));
    // A dock started after us learns the count from the next Update.
    connection.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                       {QStringLiteral("com.canonical.Unity")}, QString(), this,
                       SLOT(onLauncherOwnerChanged(QString, QString, QString)));
}

void DBusBadgeAndNotifications::useBus(const QDBusConnection &bus)
{
    m_bus = std::make_unique<QDBusConnection>(bus);
    if (m_badge != 0)
        sendBadge();
}

void DBusBadgeAndNotifications::onLauncherOwnerChanged(const QString &name, const QString &oldOwner,
                                                       const QString &newOwner)
{
    Q_UNUSED(name);
    Q_UNUSED(oldOwner);
    if (!newOwner.isEmpty())
        sendBadge();
}

void DBusBadgeAndNotifications::setBadge(qint64 count)
{
    m_badge = count;
    sendBadge();
}

void DBusBadgeAndNotifications::sendBadge()
{
    if (!m_bus)
        return;
    QDBusMessage update =
        QDBusMessage::createSignal(launcherPath, launcherInterface, QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("count"), QVariant::fromValue<qint64>(m_badge)},
                                 {QStringLiteral("count-visible"), m_badge > 0}};
    update << QStringLiteral("application://%1.desktop").arg(desktopId) << properties;
    m_bus->send(update);
}

void DBusBadgeAndNotifications::notify(const DesktopNotification &notification)
{
    const quint64 serial = notification.serial;
    if (!m_bus) {
        QMetaObject::invokeMethod(
            this, [this, serial] { emit notificationFailed(serial); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(notifications, notificationsPath, notifications,
                                                       QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), desktopId},
                            {QStringLiteral("category"), QStringLiteral("im.received")},
                            {QStringLiteral("urgency"), QVariant::fromValue<uchar>(1)}};
    call << QStringLiteral("Zumzumちゃっと") << uint(notification.replacesId) << desktopId
         << notification.summary << notification.body
         << QStringList{QStringLiteral("default"), QStringLiteral("開く")} << hints << -1;
    auto *watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, serial](QDBusPendingCallWatcher *w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            emit notificationFailed(serial);
        else
            emit notificationShown(serial, reply.value());
        w->deleteLater();
    });
}

void DBusBadgeAndNotifications::closeNotification(quint32 id)
{
    if (!m_bus)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(notifications, notificationsPath, notifications,
                                                       QStringLiteral("CloseNotification"));
    call << uint(id);
    // No answer is needed.
    call.setAutoStartService(false);
    m_bus->send(call);
}

void DBusBadgeAndNotifications::onActionInvoked(uint id, const QString &action)
{
    emit actionInvoked(id, action);
}

void DBusBadgeAndNotifications::onNotificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason);
    emit notificationClosed(id);
}
