#include "dbusdesktopsignals.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QMetaObject>
#include <QMutex>
#include <thread>

namespace {

const QString desktopId = QStringLiteral("org.example.ZumzumChat");
const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString launcherInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
// Listeners match on the interface; the path only has to be valid, and a desktop id is not.
const QString launcherPath = QStringLiteral("/com/canonical/unity/launcherentry/%1")
                                 .arg(qChecksum(QByteArrayView(desktopId.toLatin1())));

} // namespace

// Shared with the connecting thread, which may outlive the window when the bus never answers.
struct DBusDesktopSignals::Connector
{
    QMutex mutex;
    DBusDesktopSignals *owner = nullptr;
    bool done = false;
};

DBusDesktopSignals::DBusDesktopSignals(QObject *parent) : DesktopSignals(parent) {}

DBusDesktopSignals::~DBusDesktopSignals()
{
    if (m_connector) {
        QMutexLocker lock(&m_connector->mutex);
        m_connector->owner = nullptr;
    }
}

void DBusDesktopSignals::connectToSessionBus()
{
    if (m_connector)
        return;
    m_connector = std::make_shared<Connector>();
    m_connector->owner = this;
    std::thread([connector = m_connector] {
        const QDBusConnection bus = QDBusConnection::sessionBus();
        QMutexLocker lock(&connector->mutex);
        connector->done = true;
        DBusDesktopSignals *owner = connector->owner;
        if (owner && bus.isConnected())
            QMetaObject::invokeMethod(
                owner, [owner, bus] { owner->useBus(bus); }, Qt::QueuedConnection);
    }).detach();
}

bool DBusDesktopSignals::connecting() const
{
    if (!m_connector)
        return false;
    QMutexLocker lock(&m_connector->mutex);
    return !m_connector->done;
}

void DBusDesktopSignals::useBus(const QDBusConnection &bus)
{
    m_bus = std::make_unique<QDBusConnection>(bus);
    // Servers may send these to the caller only; the service name is left open so that
    // subscribing needs no name lookup.
    m_bus->connect(QString(), notificationsPath, notifications, QStringLiteral("ActionInvoked"), this,
                   SLOT(onActionInvoked(uint, QString)));
    m_bus->connect(QString(), notificationsPath, notifications, QStringLiteral("NotificationClosed"), this,
                   SLOT(onNotificationClosed(uint, uint)));
    // A dock started after us learns the count from the next Update.
    m_launcherWatcher = new QDBusServiceWatcher(QStringLiteral("com.canonical.Unity"), *m_bus,
                                                QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_launcherWatcher, &QDBusServiceWatcher::serviceRegistered, this, &DBusDesktopSignals::sendBadge);
    if (m_badge != 0)
        sendBadge();
}

void DBusDesktopSignals::setBadge(qint64 count)
{
    m_badge = count;
    sendBadge();
}

void DBusDesktopSignals::sendBadge()
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

void DBusDesktopSignals::notify(const DesktopNotification &notification)
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

void DBusDesktopSignals::closeNotification(quint32 id)
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

void DBusDesktopSignals::onActionInvoked(uint id, const QString &action)
{
    emit actionInvoked(id, action);
}

void DBusDesktopSignals::onNotificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason);
    emit notificationClosed(id);
}
