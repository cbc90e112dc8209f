// `modSyncShell`: runs an external program and waits for its end while the event loop
// keeps serving sockets and timers. The command line is split like a Windows command line
// (double quotes group words) and started without a shell; the first word is the program.
// The wait sleeps in the event loop, and a time limit runs on a monotonic clock, so a
// limit that crosses midnight lasts its full time.
//
// The program runs in a process group of its own, so that whatever it starts can be ended
// with it: at the time limit, when the caller's stop is requested, and when the call
// returns (a child left running by a program that has ended is ended too).
#pragma once

#include "platform/stopsource.h"
#include "routing/processgroup.h"

#include <QString>
#include <QStringList>

namespace vessamo::routing {

// Runs `commandLine` and returns when the program has ended, could not be started,
// `timeLimitSeconds` (0: no limit) has run out, or `stop` was requested. A program still
// running then is ended with its process group (SIGTERM, then SIGKILL after a short
// grace) rather than left behind. The program's standard input is empty and what it
// writes to standard output and error is discarded.
SyncShellResult SyncShell(const QString &commandLine, qint32 timeLimitSeconds,
                          const platform::StopSource *stop = nullptr);

// The same with the command line already split: `program` runs as named, with `arguments`.
SyncShellResult SyncShellProgram(const QString &program, const QStringList &arguments,
                                 qint32 timeLimitSeconds,
                                 const platform::StopSource *stop = nullptr);

} // namespace vessamo::routing
