#include "sendwhole.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

int sendWholeDatagram(int fd, const QByteArray &payload, const sockaddr_in &to)
{
    for (int attempt = 0;; ++attempt) {
        const ssize_t sent = ::sendto(fd, payload.constData(), size_t(payload.size()), 0,
                                      reinterpret_cast<const sockaddr *>(&to), sizeof to);
        if (sent == payload.size())
            return 0;
        const int error = sent < 0 ? errno : EMSGSIZE;
        if (error == EINTR)
            continue;
        if ((error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) && attempt < 10) {
            pollfd writable = {fd, POLLOUT, 0};
            ::poll(&writable, 1, 50);
            continue;
        }
        return error;
    }
}
