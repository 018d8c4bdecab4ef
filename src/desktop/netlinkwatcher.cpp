#include "netlinkwatcher.h"

#include "base/scheduler.h"

#include <QSocketNotifier>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

constexpr int pollMs = 2000;

int openNetlink()
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    // Routes too: the address start-up chooses follows the default route.
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_LINK;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        FileDescriptor closing(fd);
        return -1;
    }
    return fd;
}

} // namespace

NetlinkWatcher::NetlinkWatcher(Scheduler &scheduler, QObject *parent)
    : QObject(parent), m_scheduler(scheduler)
{
}

NetlinkWatcher::~NetlinkWatcher()
{
    // Before the descriptor it watches is closed.
    delete m_notifier;
}

void NetlinkWatcher::start()
{
    if (m_notifier || m_poll)
        return;
    if (const int fd = openNetlink(); fd >= 0) {
        m_socket = std::make_unique<FileDescriptor>(fd);
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &NetlinkWatcher::readNotices);
        return;
    }
    m_poll = m_scheduler.createTimer(Timer::Repeating, Qt::CoarseTimer);
    connect(m_poll.get(), &Timer::timeout, this, &NetlinkWatcher::changed);
    m_poll->start(pollMs);
}

void NetlinkWatcher::readNotices()
{
    // The content does not matter: any notice means "look again". A full receive queue (ENOBUFS)
    // lost some, which means the same.
    char buffer[8192];
    bool any = false;
    for (;;) {
        const ssize_t got = ::recv(m_socket->get(), buffer, sizeof buffer, 0);
        if (got > 0 || (got < 0 && errno == ENOBUFS)) {
            any = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    if (any)
        emit changed();
}
