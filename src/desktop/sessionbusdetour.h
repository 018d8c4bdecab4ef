#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

// Qt asks the session bus on the window's thread: Qt 6.8's platform services in QApplication's
// constructor (the desktop portal, on X11) and the accessibility bridge on its first question.
// Each waits libdbus's 25 s for a bus that accepts the connection and never answers. So before
// QApplication exists the bus is asked for its greeting with a short deadline; a silent bus is
// kept from Qt, whose session connection then fails at once (no portal, no accessibility bridge
// for this run), while the program's own connections (BusConnector) join it off the window's
// thread, should it wake up. Child processes get the address as it was.
class SessionBusDetour
{
public:
    // A dbus-daemon answered within 32 ms at worst with both cores saturated (median 0.4 ms).
    static constexpr std::chrono::milliseconds deadline{100};

    // Before QApplication: asks the bus that libdbus would join (DBUS_SESSION_BUS_ADDRESS, or
    // $XDG_RUNTIME_DIR/bus without it) and keeps it from Qt if it stays silent.
    static SessionBusDetour takeIfSilent();

    // The address to ask, as libdbus picks it; empty when it picks none of its own or none that
    // can be asked (autolaunch).
    static QByteArray addressToAsk(const QByteArray &sessionBusAddress, bool addressSet,
                                   const QByteArray &runtimeDir, bool runtimeBusExists);

    // After QApplication: Qt's session connection is made now, while the environment leads
    // nowhere, and the environment is then as it was.
    void settle() const;

    // The bus the program's own session connections join; empty for Qt's own.
    QString ownAddress() const;

private:
    QByteArray m_address;     // the silent bus's, when it was kept from Qt
    QByteArray m_original;    // DBUS_SESSION_BUS_ADDRESS as it was
    bool m_addressSet = true; // whether it was set at all
};
