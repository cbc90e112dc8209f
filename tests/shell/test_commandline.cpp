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
