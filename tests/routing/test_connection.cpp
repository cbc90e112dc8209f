// The connection check: loopback servers need no network.
#include "routing/connection.h"

#include <gtest/gtest.h>

using namespace vessamo::routing;

TEST(Connection, LoopbackServersNeedNoNetwork)
{
    for (const char *host : {"localhost", " LOCALHOST ", "127.12.0.9", "::1", "mail.localhost"})
        EXPECT_TRUE(isLoopbackHost(QString::fromLatin1(host))) << host;
    for (const char *host : {"10.0.0.1", "mail.example.org", "", "localhost.example"})
        EXPECT_FALSE(isLoopbackHost(QString::fromLatin1(host))) << host;
    const QStringList local {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")};
    const QStringList mixed {QStringLiteral("127.0.0.1"), QStringLiteral("pop.example.org")};
    EXPECT_TRUE(isConnected(local, false));
    EXPECT_FALSE(isConnected(mixed, false));
    EXPECT_TRUE(isConnected(mixed, true));
    EXPECT_TRUE(machineConnected(local));
}
