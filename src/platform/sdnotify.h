// The service manager's notification protocol: one datagram to the AF_UNIX socket named
// by $NOTIFY_SOCKET ("@" at the start names an abstract socket).
#pragma once

#include <QByteArray>

namespace vessamo::platform {

// True when the datagram was sent; false when $NOTIFY_SOCKET is unset or unusable.
bool sdNotify(const QByteArray &state);

} // namespace vessamo::platform
