// `vessamo /C` as text, for machines without a display (and for scripts on any machine):
//   vessamo /C [--print]          prints the configuration as "key = value" lines
//   vessamo /C --apply [FILE|-]   applies such lines (standard input without FILE)
//   vessamo /C --set KEY=VALUE... applies the lines given as arguments
// Refusals are the dialogs' own messages, on standard error, with exit status 1; a wrong
// option gives the usage and status 2, and so does an argument that is not one key and one
// value or that carries a password (every local user can read a command line).
//
// A configuration file that is there but cannot be read or is damaged is never replaced
// by defaults: every form refuses it, with status 1 and the file untouched. Applying reads,
// checks and writes under the configuration's lock, so parallel editors lose nothing.
#pragma once

#include "config/configuracio.h"

#include <QStringList>

namespace vessamo::shell {

// Whether the options ask for the text interface even where a display is available.
bool wantsConfigurationText(const QStringList &options);

struct ConfigurationPlace
{
    QString path;
    // Where the default folders go.
    QString programFolder;
    // The installed program's system-wide configuration, which the service reads: folders
    // outside those its sandbox lets it write get a warning.
    bool forService = false;
};

// Loads the configuration and runs the text interface; returns the exit status.
int configureAsText(const QStringList &options, const ConfigurationPlace &place);

// The folders of the record that the service's sandbox does not let it write.
QStringList foldersOutsideServicePaths(const config::ConfiguracioRecord &record);

} // namespace vessamo::shell
