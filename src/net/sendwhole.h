#pragma once

#include <QByteArray>

struct sockaddr_in;

// Sends one datagram whole on a non-blocking UDP socket. A full send queue empties within
// moments: it is waited for a little (ten times 50 ms at most), never for a reader.
// 0 when it went out, else the errno.
int sendWholeDatagram(int fd, const QByteArray &payload, const sockaddr_in &to);
