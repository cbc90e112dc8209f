// The spam filter: asks the configured anti-spam program about a queued message. The
// program gets the message file ("%i") and a fresh output file ("%o") on its command line;
// the message is spam when the configured mark occurs, exact case, in that output. The
// output file is always removed afterwards.
#pragma once

#include <QString>

namespace vessamo::routing {

struct RunContext;

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
// és spam", runs `ProgramaSpam` with no time limit and looks for `MarcaSpam` in its
// output. A program that cannot be started or writes no output: not spam.
bool ComprovarSpam(RunContext &ctx, const QString &messagePath);

} // namespace vessamo::routing
