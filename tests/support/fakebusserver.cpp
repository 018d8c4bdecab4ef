#include "fakebusserver.h"

#include <QFile>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

FakeBusServer::FakeBusServer(const QString &path, Answers answers) : m_answers(answers)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= qsizetype(sizeof address.sun_path))
        return;
    std::memcpy(address.sun_path, name.constData(), name.size());
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return;
    }
    if (m_answers != Answers::Nothing)
        m_thread = std::thread([this] { serve(); });
}

FakeBusServer::~FakeBusServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

QByteArray FakeBusServer::received() const
{
    const std::lock_guard lock(m_mutex);
    return m_received;
}

// Reads what the client sends until enough(all received); false once stopped or closed.
bool FakeBusServer::readUntil(int fd, const std::function<bool(const QByteArray &)> &enough)
{
    while (!m_stop) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 20) <= 0)
            continue;
        char chunk[512];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        const std::lock_guard lock(m_mutex);
        m_received.append(chunk, got);
        if (enough(m_received))
            return true;
    }
    return false;
}

void FakeBusServer::serve()
{
    int client = -1;
    while (!m_stop && client < 0) {
        pollfd acceptable{m_listener, POLLIN, 0};
        if (::poll(&acceptable, 1, 20) > 0)
            client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (client < 0)
        return;
    if (readUntil(client, [](const QByteArray &text) { return text.endsWith("\r\n"); })) {
        const QByteArray ok = "OK 0123456789abcdef0123456789abcdef\r\n";
        ::send(client, ok.constData(), ok.size(), MSG_NOSIGNAL);
    }
    // Keeps the connection open and silent until the end.
    readUntil(client, [](const QByteArray &) { return false; });
    ::close(client);
}
