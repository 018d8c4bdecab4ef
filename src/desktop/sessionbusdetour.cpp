#include "sessionbusdetour.h"

#include "sessionbusprobe.h"

#include <QDBusConnection>
#include <QFileInfo>
#include <QtGlobal>

namespace {

constexpr char variable[] = "DBUS_SESSION_BUS_ADDRESS";

} // namespace

QByteArray SessionBusDetour::addressToAsk(const QByteArray &sessionBusAddress, bool addressSet,
                                          const QByteArray &runtimeDir, bool runtimeBusExists)
{
    // libdbus takes an empty variable for none.
    if (addressSet && !sessionBusAddress.isEmpty())
        return sessionBusAddress;
    if (runtimeDir.isEmpty() || !runtimeBusExists)
        return {};
    return "unix:path=" + (runtimeDir + "/bus").toPercentEncoding("/", "~");
}

SessionBusDetour SessionBusDetour::takeIfSilent()
{
    SessionBusDetour detour;
    const QByteArray original = qgetenv(variable);
    detour.m_addressSet = qEnvironmentVariableIsSet(variable);
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray address = addressToAsk(original, detour.m_addressSet, runtimeDir,
                                            QFileInfo::exists(QFile::decodeName(runtimeDir + "/bus")));
    if (address.isEmpty())
        return detour;
    if (!SessionBusProbe::askable(address) ||
        SessionBusProbe::ask(address, deadline) != SessionBusProbe::Answer::Silent)
        return detour;
    qWarning("The session bus (D-Bus) at %s did not answer within %lld ms. Desktop notifications and the "
             "launcher badge wait for it; screen readers cannot reach the program until it is restarted "
             "with a working session bus.",
             address.constData(), qlonglong(deadline.count()));
    detour.m_address = address;
    detour.m_original = original;
    // No socket there: libdbus fails at once, and does not go on to launch a bus of its own.
    qputenv(variable, "unix:path=/dev/null");
    return detour;
}

void SessionBusDetour::settle() const
{
    if (m_address.isEmpty())
        return;
    QDBusConnection::sessionBus();
    if (m_addressSet)
        qputenv(variable, m_original);
    else
        qunsetenv(variable);
}

QString SessionBusDetour::ownAddress() const
{
    return QString::fromLocal8Bit(m_address);
}
