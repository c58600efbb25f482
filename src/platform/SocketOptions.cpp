// SPDX-License-Identifier: Apache-2.0
#include "platform/SocketOptions.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace kivo::net {

bool enableKeepAlive(qintptr descriptor, int seconds)
{
    const int fd = static_cast<int>(descriptor);
    const int on = 1;
    return fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0
        // Without an idle time of its own the first probe would wait two hours.
        && ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &seconds, sizeof seconds) == 0
        && ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &seconds, sizeof seconds) == 0;
}

} // namespace kivo::net
