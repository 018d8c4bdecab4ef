#include "sessionbusprobe.h"

#include <QtEndian>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace SessionBusProbe {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<QByteArray> unescaped(QByteArrayView value)
{
    QByteArray result;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            result.append(value[i]);
            continue;
        }
        bool ok = false;
        const int byte = i + 2 < value.size() ? value.sliced(i + 1, 2).toInt(&ok, 16) : 0;
        if (!ok)
            return std::nullopt;
        result.append(char(byte));
        i += 2;
    }
    return result;
}

// The method call org.freedesktop.DBus.Hello, little-endian, serial 1, no body.
QByteArray helloMessage()
{
    QByteArray fields;
    // Alignment counts from the start of the message; the fields start at byte 16.
    const auto pad = [&fields](int to) {
        while ((16 + fields.size()) % to != 0)
            fields.append('\0');
    };
    const auto field = [&](char code, char type, QByteArrayView value) {
        pad(8);
        fields.append(code).append('\1').append(type).append('\0');
        pad(4);
        const quint32 size = qToLittleEndian(quint32(value.size()));
        fields.append(reinterpret_cast<const char *>(&size), sizeof size).append(value).append('\0');
    };
    field(1, 'o', "/org/freedesktop/DBus");
    field(2, 's', "org.freedesktop.DBus");
    field(3, 's', "Hello");
    field(6, 's', "org.freedesktop.DBus");
    QByteArray message("l\1\0\1", 4);
    for (const quint32 value : {quint32(0), quint32(1), quint32(fields.size())}) {
        const quint32 little = qToLittleEndian(value);
        message.append(reinterpret_cast<const char *>(&little), sizeof little);
    }
    message.append(fields);
    while (message.size() % 8 != 0)
        message.append('\0');
    return message;
}

class Socket
{
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

int connectTo(const Endpoint &endpoint)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const qsizetype offset = endpoint.abstract ? 1 : 0;
    // A path needs its terminating zero, an abstract name its leading one.
    if (endpoint.name.isEmpty() || endpoint.name.size() + 1 > qsizetype(sizeof address.sun_path))
        return -1;
    std::memcpy(address.sun_path + offset, endpoint.name.constData(), endpoint.name.size());
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + endpoint.name.size() +
                                       (endpoint.abstract ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0)
        return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

enum class Read { Done, TimedOut, Closed };

// Reads into buffer until done(buffer) or the deadline.
template <typename Done> Read readUntil(int fd, QByteArray &buffer, Clock::time_point deadline, Done done)
{
    while (!done(buffer)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Read::TimedOut;
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ready == 0 ? Read::TimedOut : Read::Closed;
        char chunk[256];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return Read::Closed;
        buffer.append(chunk, got);
    }
    return Read::Done;
}

bool sendAll(int fd, const QByteArray &data)
{
    // A few hundred bytes into a fresh socket's empty buffer: written whole or not at all.
    return ::send(fd, data.constData(), data.size(), MSG_NOSIGNAL) == data.size();
}

Answer converse(int fd, Clock::time_point deadline)
{
    if (!sendAll(fd,
                 QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(::getuid()).toHex() + "\r\n"))
        return Answer::Unreachable;
    QByteArray reply;
    // A bus that writes endless junk has answered all the same.
    const auto line = [](const QByteArray &text) { return text.contains("\r\n") || text.size() > 512; };
    switch (readUntil(fd, reply, deadline, line)) {
    case Read::TimedOut: return Answer::Silent;
    case Read::Closed: return Answer::Unreachable;
    case Read::Done: break;
    }
    // Refused: libdbus tries its other mechanisms and fails just as fast.
    if (!reply.startsWith("OK "))
        return Answer::Greets;
    if (!sendAll(fd, "BEGIN\r\n" + helloMessage()))
        return Answer::Unreachable;
    // The fixed part of the reply's header is enough: whatever it says, it was said.
    QByteArray message;
    switch (readUntil(fd, message, deadline, [](const QByteArray &text) { return text.size() >= 16; })) {
    case Read::TimedOut: return Answer::Silent;
    case Read::Closed: return Answer::Unreachable;
    case Read::Done: break;
    }
    return Answer::Greets;
}

} // namespace

std::optional<QList<Endpoint>> unixEndpoints(QByteArrayView address)
{
    QList<Endpoint> endpoints;
    for (const QByteArrayView entry : QByteArray(address.toByteArray()).split(';')) {
        if (entry.isEmpty())
            continue;
        if (!entry.startsWith("unix:"))
            return std::nullopt;
        std::optional<Endpoint> endpoint;
        for (const QByteArrayView pair : entry.sliced(5).toByteArray().split(',')) {
            const qsizetype equals = pair.indexOf('=');
            if (equals <= 0)
                return std::nullopt;
            const QByteArrayView key = pair.first(equals);
            const std::optional<QByteArray> value = unescaped(pair.sliced(equals + 1));
            if (!value)
                return std::nullopt;
            if (key == "path" || key == "abstract")
                endpoint = Endpoint{*value, key == "abstract"};
            else if (key != "guid")
                return std::nullopt;
        }
        if (!endpoint)
            return std::nullopt;
        endpoints.append(*endpoint);
    }
    return endpoints;
}

Answer ask(const QList<Endpoint> &endpoints, std::chrono::milliseconds deadline)
{
    const Clock::time_point end = Clock::now() + deadline;
    for (const Endpoint &endpoint : endpoints) {
        const Socket socket(connectTo(endpoint));
        if (socket.fd() >= 0)
            return converse(socket.fd(), end);
        // A listener whose queue is full takes nobody: libdbus's blocking connect would wait.
        if (errno == EAGAIN)
            return Answer::Silent;
    }
    return Answer::Unreachable;
}

} // namespace SessionBusProbe
