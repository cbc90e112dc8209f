// The command line: the arguments joined by blanks, upper-cased, and searched for each
// switch as a substring, in a fixed order; the first one found decides.
#pragma once

#include <QStringList>

namespace vessamo::shell {

enum class Switch {
    Install, // "/I"
    Remove, // "/D"
    Toggle, // "/A": start the installed service if stopped, stop it if started
    Configure, // "/C"
    Standalone, // "/E"
    Service, // none of these
};

// `arguments` excludes the program name.
Switch parseSwitch(const QStringList &arguments);

struct CommandLine
{
    Switch sw = Switch::Service;
    // Everything from the first argument that begins with "--" on ("--apply FILE"). Never
    // searched for switches: a path such as "/tmp/in.txt" must not select /I.
    QStringList options;
};
CommandLine parseCommandLine(const QStringList &arguments);

} // namespace vessamo::shell
