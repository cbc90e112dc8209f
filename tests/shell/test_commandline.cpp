// The switches are substrings of the upper-cased command line, tested in a fixed order.
#include "shell/commandline.h"

#include <gtest/gtest.h>

using vessamo::shell::parseSwitch;
using vessamo::shell::Switch;

TEST(CommandLine, SwitchOrderCaseAndSubstrings)
{
    const std::pair<QStringList, Switch> rows[] = {
        {{}, Switch::Service},
        {{QStringLiteral("x/iy")}, Switch::Install},
        {{QStringLiteral("/c"), QStringLiteral("/I")}, Switch::Install},
        {{QStringLiteral("/D"), QStringLiteral("/A")}, Switch::Remove},
        {{QStringLiteral("/a")}, Switch::Toggle},
        {{QStringLiteral("/E"), QStringLiteral("/c")}, Switch::Configure},
        {{QStringLiteral("--/eXtra")}, Switch::Standalone},
        {{QStringLiteral("/"), QStringLiteral("E")}, Switch::Service}, // joined by a blank
        {{QStringLiteral("/X"), QStringLiteral("-e")}, Switch::Service},
    };
    for (const auto &[args, expected] : rows)
        EXPECT_EQ(parseSwitch(args), expected) << args.join(u' ').toStdString();
}

// The Unix options beside the switches: help and version win wherever they stand outside
// /C's own options; any other option is refused, except the first "--" word after /C.
TEST(CommandLine, UnixOptionsBesideTheSwitches)
{
    using vessamo::shell::parseCommandLine;
    using vessamo::shell::Request;
    struct Row
    {
        QStringList args;
        Request request;
        Switch sw;
        const char *unknown;
    };
    const auto words = [](const char *line) {
        return QString::fromLatin1(line).split(u' ', Qt::SkipEmptyParts);
    };
    const Row rows[] = {
        {words("--help"), Request::Help, Switch::Service, ""},
        {words("-h /I"), Request::Help, Switch::Install, ""},
        {words("/E -V"), Request::Version, Switch::Standalone, ""},
        {words("--version /I"), Request::Version, Switch::Service, ""},
        {words("/C --help"), Request::Help, Switch::Configure, ""},
        {words("-H"), Request::UsageError, Switch::Service, "-H"}, // options keep their case
        {words("--verbose"), Request::UsageError, Switch::Service, "--verbose"},
        {words("/E --bogus"), Request::UsageError, Switch::Standalone, "--bogus"},
        {words("-x /E --help"), Request::UsageError, Switch::Standalone, "-x"}, // first decides
        {words("/C -x"), Request::UsageError, Switch::Configure, "-x"},
        // /C's own options, right or wrong, are /C's to judge.
        {words("/C --apply -"), Request::Run, Switch::Configure, ""},
        {words("/C --set a=-h"), Request::Run, Switch::Configure, ""},
        {words("/C --bogus --help"), Request::Run, Switch::Configure, ""},
        {words("/C --apply /tmp/-V"), Request::Run, Switch::Configure, ""},
        {words("- /E"), Request::Run, Switch::Standalone, ""},
        {words("/i"), Request::Run, Switch::Install, ""},
        // What follows --check is its thresholds; both read the state, no switch with them.
        {words("--status"), Request::Status, Switch::Service, ""},
        {words("--check --warn-age 5 --bogus"), Request::Check, Switch::Service, ""},
        {words("--status --help"), Request::Status, Switch::Service, ""},
        {words("/E --status"), Request::UsageError, Switch::Standalone, "--status"},
        {words("-q --check"), Request::UsageError, Switch::Service, "-q"},
        // Acting on the queue: stems or --all, never both; delete names its folder.
        {words("--requeue M1 M2"), Request::Requeue, Switch::Service, ""},
        {words("--requeue --all --spam"), Request::Requeue, Switch::Service, ""},
        {words("--requeue --all M1"), Request::UsageError, Switch::Service, "M1"},
        {words("--requeue"), Request::UsageError, Switch::Service, "--requeue"},
        {words("--requeue M1 --yes"), Request::UsageError, Switch::Service, "--yes"},
        {words("--requeue M1 /E"), Request::UsageError, Switch::Service, "/E"},
        {words("--delete --all --spam --yes"), Request::Delete, Switch::Service, ""},
        {words("--delete M1"), Request::UsageError, Switch::Service, "--delete"},
        {words("--delete M1 --queue --failed"), Request::UsageError, Switch::Service, "--failed"},
        {words("--flush"), Request::Flush, Switch::Service, ""},
        {words("--flush --yes"), Request::UsageError, Switch::Service, "--yes"},
        {words("--help --flush"), Request::Help, Switch::Service, ""},
    };
    for (const Row &row : rows) {
        const auto line = parseCommandLine(row.args);
        const std::string trace = row.args.join(u' ').toStdString();
        EXPECT_EQ(line.request, row.request) << trace;
        EXPECT_EQ(line.sw, row.sw) << trace;
        EXPECT_EQ(line.unknown, QLatin1String(row.unknown)) << trace;
    }
}
