// The spam filter: asks the configured anti-spam program about a queued message. The
// program gets the message file ("%i") and a fresh output file ("%o") on its command line;
// the message is spam when the configured mark occurs, exact case, in that output. The
// output file is always removed afterwards.
//
// The program is trusted with neither the message nor the run: a copy of the message
// stands by while it runs (a program that deletes or empties it has it put back), and it
// gets a bounded time, ended with its children when that passes or the run is stopped.
#pragma once

#include <QString>

namespace vessamo::routing {

struct RunContext;

// How long the anti-spam program may take for one message. A filter answers in well under
// a second normally and in seconds under load; a minute leaves a slow one its time and
// keeps a hung one, with the grace to end it, inside the run's 121-second safety timer.
inline constexpr int kSpamFilterLimitSeconds = 60;

// The command line for one call: every "%o" replaced by the quoted output path and every
// "%i" by the quoted message path, case-sensitive, in one pass (a path that happens to
// hold "%i" is never touched again). A double quote inside a path is written as """.
QString buildSpamCommand(const QString &templateText, const QString &messagePath,
                         const QString &outputPath);

// True when the output file holds the mark (Windows-1252 bytes, exact case). Read in
// pieces, so an output of any size is searched in bounded memory. An empty mark, or one
// that Windows-1252 cannot write, never matches.
bool outputHoldsMark(const QString &outputPath, const QString &mark);

// `ComprovarSpam`: false at once when `FiltreSpam` is off; otherwise shows "Comprovant si
// és spam", runs `ProgramaSpam` for at most kSpamFilterLimitSeconds (ended sooner when the
// run's stop is requested) and looks for `MarcaSpam` in its output. A program that cannot
// be started, writes no output, runs out of time or is stopped: not spam; the last two
// are logged, as is a message put back after the program deleted or emptied it, and a
// program that others could change, which is not run.
bool ComprovarSpam(RunContext &ctx, const QString &messagePath);

} // namespace vessamo::routing
