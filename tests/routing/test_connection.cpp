// The connection check: loopback servers need no network.
#include "routing/connection.h"

#include <gtest/gtest.h>

using namespace vessamo::routing;

TEST(Connection, LoopbackHosts)
{
    struct Row
    {
        const char *host;
        bool loopback;
    };
    const Row rows[] = {
        {"localhost", true},          {"LOCALHOST", true},
        {" localhost ", true},        {"127.0.0.1", true},
        {"127.12.0.9", true},         {"::1", true},
        {"mail.localhost", true},     {"10.0.0.1", false},
        {"mail.example.org", false},  {"", false},
        {"localhost.example", false},
    };
    for (const Row &row : rows)
        EXPECT_EQ(isLoopbackHost(QString::fromLatin1(row.host)), row.loopback) << row.host;
}

TEST(Connection, DecisionTable)
{
    const QStringList local {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")};
    const QStringList mixed {QStringLiteral("127.0.0.1"), QStringLiteral("pop.example.org")};
    EXPECT_TRUE(isConnected(local, false));
    EXPECT_TRUE(isConnected(local, true));
    EXPECT_FALSE(isConnected(mixed, false));
    EXPECT_TRUE(isConnected(mixed, true));
    // Loopback servers are reachable on any machine.
    EXPECT_TRUE(machineConnected(local));
}
