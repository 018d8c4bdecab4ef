#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <chrono>
#include <optional>

// Asks a D-Bus bus for its greeting without libdbus, with a deadline: libdbus waits 25 s for a
// bus that accepts the connection and never answers, and Qt waits with it on the calling thread.
namespace SessionBusProbe {

struct Endpoint
{
    QByteArray name; // a file path, or the name of an abstract socket
    bool abstract = false;
    bool operator==(const Endpoint &) const = default;
};

enum class Answer {
    Greets,      // authentication and Hello were answered (or refused: libdbus gives up at once too)
    Silent,      // connected, and no answer within the deadline
    Unreachable, // no endpoint took the connection, or it was closed: libdbus fails at once too
};

// The Unix-socket endpoints of a bus address ("unix:path=/run/user/1000/bus;unix:abstract=/tmp/x"),
// in the order a client tries them. Nullopt when an entry is of another kind (tcp, launchd,
// autolaunch, unix:runtime=...) or malformed: such a bus is left to libdbus.
std::optional<QList<Endpoint>> unixEndpoints(QByteArrayView address);

// Connects to the first endpoint that takes the connection, authenticates as this user (EXTERNAL)
// and calls Hello.
Answer ask(const QList<Endpoint> &endpoints, std::chrono::milliseconds deadline);

} // namespace SessionBusProbe
