#include "platform/sdnotify.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vessamo::platform {

bool sdNotify(const QByteArray &state)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    if (path.isEmpty())
        return false;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (static_cast<std::size_t>(path.size()) >= sizeof(addr.sun_path))
        return false;
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path)
                                                 + static_cast<std::size_t>(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t sent = ::sendto(fd, state.constData(), static_cast<std::size_t>(state.size()),
                                  MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&addr), len);
    ::close(fd);
    return sent == state.size();
}

} // namespace vessamo::platform
