#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

// The socket of a D-Bus daemon that hangs: it never even accepts, or it answers the authentication
// only (a proxy whose bus hangs). Keeps what the client wrote.
class FakeBusServer
{
public:
    enum class Answers { Nothing, Authentication };

    FakeBusServer(const QString &path, Answers answers);
    ~FakeBusServer();
    FakeBusServer(const FakeBusServer &) = delete;
    FakeBusServer &operator=(const FakeBusServer &) = delete;

    bool listening() const { return m_listener >= 0; }
    QByteArray received() const;

private:
    void serve();
    bool readUntil(int fd, const std::function<bool(const QByteArray &)> &enough);

    const Answers m_answers;
    int m_listener = -1;
    std::atomic<bool> m_stop = false;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};
