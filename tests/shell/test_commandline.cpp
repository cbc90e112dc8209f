// The switches are substrings of the upper-cased command line, tested in a fixed order.
#include "shell/commandline.h"

#include <gtest/gtest.h>

using vessamo::shell::parseSwitch;
using vessamo::shell::Switch;

TEST(CommandLine, SwitchOrderCaseAndSubstrings)
{
    struct Row
    {
        QStringList args;
        Switch expected;
        const char *why;
    };
    const Row rows[] = {
        {{}, Switch::Service, "no switch: service mode"},
        {{QStringLiteral("/I")}, Switch::Install, "install"},
        {{QStringLiteral("/i")}, Switch::Install, "lower case"},
        {{QStringLiteral("x/iy")}, Switch::Install, "inside a word"},
        {{QStringLiteral("/c"), QStringLiteral("/I")}, Switch::Install, "/I wins over /C"},
        {{QStringLiteral("/D"), QStringLiteral("/A")}, Switch::Remove, "/D wins over /A"},
        {{QStringLiteral("/a")}, Switch::Toggle, "toggle"},
        {{QStringLiteral("/c")}, Switch::Configure, "configure, upper-cased"},
        {{QStringLiteral("/E"), QStringLiteral("/C")}, Switch::Configure, "/C wins over /E"},
        {{QStringLiteral("--/eXtra")}, Switch::Standalone, "/E inside a longer word"},
        {{QStringLiteral("/"), QStringLiteral("E")},
         Switch::Service,
         "arguments are joined by a blank"},
        {{QStringLiteral("/X"), QStringLiteral("-e")}, Switch::Service, "nothing matches"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(parseSwitch(row.args), row.expected) << row.why;
}
