// The connection check: servers on this machine or a local network need no network, named
// ones counted by where their names lead.
#include "routing/connection.h"

#include <QHash>
#include <algorithm>
#include <gtest/gtest.h>

using namespace vessamo::routing;

TEST(Connection, LoopbackServersNeedNoNetwork)
{
    for (const char *host : {"localhost", " LOCALHOST ", "127.12.0.9", "::1", "mail.localhost"})
        EXPECT_TRUE(isLoopbackHost(QString::fromLatin1(host))) << host;
    for (const char *host : {"10.0.0.1", "mail.example.org", "", "localhost.example"})
        EXPECT_FALSE(isLoopbackHost(QString::fromLatin1(host))) << host;
    EXPECT_TRUE(machineConnected({QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}));
    // The real resolver finds loopback for a name (none of its addresses hidden for want
    // of a configured interface), and nothing for a name that cannot exist.
    const QList<QHostAddress> local = resolveHost(QStringLiteral("localhost"));
    EXPECT_TRUE(std::any_of(local.begin(), local.end(),
                            [](const QHostAddress &a) { return a.isLoopback(); }));
    EXPECT_TRUE(resolveHost(QStringLiteral("no-such-host.invalid")).isEmpty());
}

// With no interface up but loopback (and one that is up without a carrier), a server counts
// as reachable when its name leads to this machine or to a network of an interface.
TEST(Connection, NamesAreResolvedFirst)
{
    const QHash<QString, QList<QHostAddress>> hosts = {
        {QStringLiteral("mail.site.test"), {QHostAddress(QStringLiteral("127.0.0.1"))}},
        {QStringLiteral("smtp.site.test"), {QHostAddress(QStringLiteral("::1"))}},
        {QStringLiteral("pop.lan.test"), {QHostAddress(QStringLiteral("192.168.7.20"))}},
        {QStringLiteral("pop.example.org"), {QHostAddress(QStringLiteral("203.0.113.5"))}},
    };
    NetworkState offline;
    offline.localNetworks = {QNetworkAddressEntry()};
    offline.localNetworks.first().setIp(QHostAddress(QStringLiteral("192.168.7.1")));
    offline.localNetworks.first().setPrefixLength(24);
    QStringList asked;
    offline.resolve = [&](const QString &host) {
        asked << host;
        return hosts.value(host);
    };
    const auto list = [](std::initializer_list<const char *> names) {
        QStringList out;
        for (const char *n : names)
            out << QString::fromLatin1(n);
        return out;
    };
    const std::pair<QStringList, const char *> rows[] = {
        {list({"mail.site.test", "smtp.site.test", "localhost"}), ""},
        {list({"mail.site.test", "pop.lan.test"}), ""},
        {list({"mail.site.test", "pop.example.org"}), "pop.example.org (203.0.113.5)"},
        {list({"mail.site.test", "unknown.test"}), "unknown.test does not resolve"},
        {list({"127.0.0.1", ""}), "does not resolve"},
    };
    for (const auto &[servers, reason] : rows) {
        SCOPED_TRACE(servers.join(u' ').toStdString());
        const QString why = unreachableReason(servers, offline);
        EXPECT_EQ(why.isEmpty(), *reason == 0) << why.toStdString();
        EXPECT_TRUE(why.contains(QLatin1String(reason))) << why.toStdString();
        EXPECT_EQ(isConnected(servers, offline), why.isEmpty());
    }
    NetworkState online = offline;
    online.interfaceUp = true;
    asked.clear();
    EXPECT_TRUE(isConnected(list({"pop.example.org", "unknown.test"}), online));
    EXPECT_TRUE(asked.isEmpty()) << "nothing to resolve with a network";
}
