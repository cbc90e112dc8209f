// Finding the router that runs on a configuration, to wake it ("vessamo --flush"). The
// router, as the service or by hand, keeps its process id in a pid file in its state
// folder and holds an exclusive flock(2) on it for its whole life; the file is never
// removed (see lockfile.h for why).
//
// Root may wake the service, whose user can write that file: the number in it is trusted
// only when the kernel shows that very process holding the file's lock, when the process
// runs as the file's owner (or root) and when it is the same executable as the caller.
// The signal goes through a pidfd opened before those checks and still alive after them,
// so a process id reused meanwhile is never signalled.
#pragma once

#include "platform/posixfd.h"

#include <QString>
#include <sys/types.h>

namespace vessamo::platform {

inline constexpr char16_t kRouterPidFileName[] = u"vessamo.pid";

// Claims the pid file for this process: nothing (an invalid descriptor) when another
// router holds it or it cannot be written; keep the result open while the router lives.
UniqueFd claimRouterPidFile(const QString &path);

struct RouterProcess
{
    enum class State {
        Found, // `pidfd` refers to the router
        None, // no router holds the file
        Refused, // the file names a process that is not a router of ours: `error`
    };
    State state = State::None;
    pid_t pid = 0;
    UniqueFd pidfd;
    QString error;
};
RouterProcess findRouter(const QString &pidFilePath);

// Whether a process holds a flock(2) on the file (read from /proc/locks); its pid in
// `holder` when given.
bool flockHeld(const QString &path, pid_t *holder = nullptr);

// 0 or errno.
int sendSignal(const RouterProcess &router, int signal);

} // namespace vessamo::platform
