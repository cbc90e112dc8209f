// The command line: the arguments joined by blanks, upper-cased, and searched for each
// switch as a substring, in a fixed order; the first one found decides. Beside the
// Windows-style switches, the usual Unix options: -h/--help and -V/--version answer and
// end without touching anything; any other option outside /C's own is a usage error.
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

enum class Request {
    Run, // carry out the switch
    Help, // -h, --help
    Version, // -V, --version
    UsageError, // an option nobody understands
    ListPairs, // --queue, --failed or --spam, with or without --json
    Status, // --status: the last run's summary and the service's state
    Check, // --check [THRESHOLDS]: a monitoring plugin's verdict
    Requeue, // --requeue STEM... | --all [--failed | --spam]
    Delete, // --delete STEM... | --all --queue | --failed | --spam [--yes]
    Flush, // --flush: wake the running router
};

struct CommandLine
{
    Switch sw = Switch::Service;
    // Everything from the first argument that begins with "--" on ("--apply FILE"). Never
    // searched for switches: a path such as "/tmp/in.txt" must not select /I.
    QStringList options;
    Request request = Request::Run;
    // The option that made the request a usage error.
    QString unknown;
    // For ListPairs: which folder ("--queue", "--failed", "--spam") and whether as JSON.
    QString listing;
    bool json = false;
    // For Requeue and Delete: the stems, or every pair; for Delete, no question asked.
    QStringList stems;
    bool all = false;
    bool yes = false;
};
CommandLine parseCommandLine(const QStringList &arguments);

// What -h prints on standard output.
QString helpText();
// What -V prints on standard output.
QString versionText();
// The short usage printed on standard error after an unknown option.
QString usageText(const QString &unknown);

} // namespace vessamo::shell
