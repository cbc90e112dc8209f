// Running an outside program the way the router trusts none: the program file found once
// (a bare name on PATH) and then started by its full path, so that the file checked is the
// file run; the program in a process group of its own, ended with everything it started
// when its time runs out, when the run's stop is requested, and when the call returns; its
// standard input empty, its standard error discarded, and its standard output either
// discarded or kept up to a cap (the rest read and dropped, so a program that writes
// without end never blocks on a full pipe and never fills memory).
//
// modSyncShell (syncshell.h) runs the anti-spam program through it; a token command runs
// through it with its output kept.
#pragma once

#include "platform/stopsource.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vessamo::routing {

// How a run of an outside program ended.
struct SyncShellResult
{
    enum class Outcome {
        Finished, // the program ended; exitCode holds its code
        Crashed, // the program died from a signal
        FailedToStart, // no such program, not executable, or an empty command line
        TimedOut, // the limit ran out; the program was ended
        Stopped, // the stop was requested; the program was ended
    };
    Outcome outcome = Outcome::FailedToStart;
    int exitCode = 0;
};

// The file the first word of a command line names, as it will be run: a name without "/"
// looked up on PATH now, any other made absolute. Empty when there is no such file.
QString programFile(const QString &word);

struct ProgramOutput
{
    QByteArray bytes; // the first `cap` bytes of standard output
    bool cut = false; // the program wrote more than that
};

// Runs `program` (a full path) with `arguments` for at most `timeLimitSeconds` (0: no
// limit), ended sooner when `stop` is requested; its standard output goes to `output` (at
// most `cap` bytes) when given, else nowhere.
SyncShellResult runInOwnGroup(const QString &program, const QStringList &arguments,
                              qint32 timeLimitSeconds, const platform::StopSource *stop,
                              ProgramOutput *output = nullptr, qsizetype cap = 0);

} // namespace vessamo::routing
