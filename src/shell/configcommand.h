// `vessamo /C` as text, for machines without a display (and for scripts on any machine):
//   vessamo /C [--print]          prints the configuration as "key = value" lines
//   vessamo /C --apply [FILE|-]   applies such lines (standard input without FILE)
//   vessamo /C --set KEY=VALUE... applies the lines given as arguments
// Refusals are the dialogs' own messages, on standard error, with exit status 1; a wrong
// option gives the usage and status 2.
#pragma once

#include <QStringList>

namespace vessamo::shell {

// Whether the options ask for the text interface even where a display is available.
bool wantsConfigurationText(const QStringList &options);

// Runs the text interface over the configuration already loaded; returns the exit status.
int configureAsText(const QStringList &options, const QString &path, const QString &programFolder);

} // namespace vessamo::shell
