// `modSyncShell`: runs an external program and waits for its end while the event loop
// keeps serving sockets and timers. The command line is split like a Windows command line
// (double quotes group words) and started without a shell; the first word is the program.
// The wait sleeps in the event loop, and a time limit runs on a monotonic clock, so a
// limit that crosses midnight lasts its full time.
#pragma once

#include <QString>

namespace vessamo::routing {

struct SyncShellResult
{
    enum class Outcome {
        Finished, // the program ended; exitCode holds its code
        Crashed, // the program died from a signal
        FailedToStart, // no such program, not executable, or an empty command line
        TimedOut, // the limit ran out; the program was ended
    };
    Outcome outcome = Outcome::FailedToStart;
    int exitCode = 0;
};

// Runs `commandLine` and returns when the program has ended, could not be started, or
// `timeLimitSeconds` (0: no limit) has run out. A program still running at the limit is
// ended (terminated, then killed) rather than left behind. The program's standard input
// is empty and what it writes to standard output and error is discarded.
SyncShellResult SyncShell(const QString &commandLine, qint32 timeLimitSeconds);

} // namespace vessamo::routing
