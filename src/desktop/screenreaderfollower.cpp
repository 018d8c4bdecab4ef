#include "screenreaderfollower.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QEvent>

namespace {

const QString statusInterface = QStringLiteral("org.a11y.Status");
// The object in Qt's bridge that joins the accessibility bus, and its slot that reads the status
// and joins or leaves: Qt's own code path for a bus that appears, reused for a status that changes.
constexpr char bridgeConnectionClass[] = "DBusConnection";
constexpr char askAgainSlot[] = "serviceRegistered";
constexpr char askAgainSignature[] = "serviceRegistered()";

} // namespace

ScreenReaderFollower::ScreenReaderFollower(const QString &sessionBusAddress, QObject *parent)
    : QObject(parent), m_sessionBusAddress(sessionBusAddress)
{
}

ScreenReaderFollower::~ScreenReaderFollower() = default;

bool ScreenReaderFollower::findBridge()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Its bridge joins and leaves the bus as the status changes, on its own.
    return false;
#else
    // Qt makes its bridge when first asked whether accessibility is active; making it gives the
    // bridge's bus object a child (its name watcher), and the child event names the object.
    QCoreApplication *application = QCoreApplication::instance();
    application->installEventFilter(this);
    QAccessible::isActive();
    application->removeEventFilter(this);
    return m_bridgeConnection != nullptr;
#endif
}

bool ScreenReaderFollower::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ChildAdded && !m_bridgeConnection &&
        qstrcmp(watched->metaObject()->className(), bridgeConnectionClass) == 0 &&
        watched->metaObject()->indexOfSlot(askAgainSignature) >= 0)
        m_bridgeConnection = watched;
    return false;
}

void ScreenReaderFollower::start()
{
    if (!m_bridgeConnection)
        return;
    m_connector.start(
        BusConnector::Bus::Session,
        [this](const QDBusConnection &bus) {
            QDBusConnection connection(bus);
            connection.connect(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                               QStringLiteral("org.freedesktop.DBus.Properties"),
                               QStringLiteral("PropertiesChanged"), this,
                               SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
            // A change between the bridge's start and this subscription would go unnoticed.
            QMetaObject::invokeMethod(this, &ScreenReaderFollower::askAgain, Qt::QueuedConnection);
        },
        m_sessionBusAddress);
}

void ScreenReaderFollower::askAgain()
{
    if (m_bridgeConnection)
        QMetaObject::invokeMethod(m_bridgeConnection, askAgainSlot, Qt::QueuedConnection);
}

bool ScreenReaderFollower::connecting() const
{
    return m_connector.pending();
}

bool ScreenReaderFollower::concernsScreenReader(const QString &interface, const QVariantMap &changed,
                                                const QStringList &invalidated)
{
    if (interface != statusInterface)
        return false;
    for (const QString &name : {QStringLiteral("IsEnabled"), QStringLiteral("ScreenReaderEnabled")}) {
        if (changed.contains(name) || invalidated.contains(name))
            return true;
    }
    return false;
}

void ScreenReaderFollower::onPropertiesChanged(const QString &interface, const QVariantMap &changed,
                                               const QStringList &invalidated)
{
    if (concernsScreenReader(interface, changed, invalidated))
        askAgain();
}
