#pragma once

#include <QByteArray>
#include <chrono>

// Asks a D-Bus bus for its Hello with a deadline, through a private libdbus connection: Qt's own
// connection waits libdbus's default 25 s for a bus that accepts the connection and never answers,
// and Qt's start-up waits with it on the window's thread.
namespace SessionBusProbe {

enum class Answer {
    Greets,      // the Hello was answered, or refused: libdbus gives up at once too
    Silent,      // connected, and no answer within the deadline
    Unreachable, // nothing took the connection, or it was closed: libdbus fails at once too
};

// Whether every entry of the address is a Unix socket (path or abstract name). Other kinds (tcp,
// autolaunch, which may start a bus of its own) and malformed addresses are left to libdbus.
bool askable(const QByteArray &address);

// Connects, authenticates and calls Hello; an answer is given by the deadline whatever the bus
// does (a connect that blocks on a full listen queue included).
Answer ask(const QByteArray &address, std::chrono::milliseconds deadline);

} // namespace SessionBusProbe
