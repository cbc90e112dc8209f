// Discovery of name servers and domains from resolver files written to a temporary
// folder, with the host's own name and the reverse lookup scripted.
#include "dns/dnsservers.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vessamo::dns;

namespace {

const QByteArray kMissing = QByteArrayLiteral("<missing>");

struct DiscoveryRow
{
    const char *why;
    QByteArray resolvConf; // kMissing: no file
    QByteArray fallback; // kMissing: no file
    QString fqdn;
    QString reverseName; // what the reverse lookup of the first server gives
    QStringList servers;
    QString defaultDomain;
    QString baseDomain;
    bool asksReverse = false; // the first server's name is looked up
};

QList<DiscoveryRow> discoveryRows()
{
    const QString one = QStringLiteral("192.0.2.1");
    const QString two = QStringLiteral("192.0.2.2");
    const QString other = QStringLiteral("198.51.100.9");
    return {
        {"two servers and a domain: nothing else is read",
         "nameserver 192.0.2.1\nnameserver 192.0.2.2\ndomain corp.example.com\n",
         "nameserver 198.51.100.9\ndomain other.org\n",
         QStringLiteral("h.fqdn.example"),
         {},
         {one, two},
         QStringLiteral("corp.example.com"),
         QStringLiteral("example.com")},
        {"search entry when there is no domain line",
         "search first.example.net second.example.org\nnameserver 192.0.2.1\n",
         kMissing,
         {},
         {},
         {one},
         QStringLiteral("first.example.net"),
         QStringLiteral("example.net")},
        {"domain line wins over search, whatever the order",
         "domain d.example.com\nsearch s.example.org\nnameserver 192.0.2.1\n",
         kMissing,
         {},
         {},
         {one},
         QStringLiteral("d.example.com"),
         QStringLiteral("example.com")},
        {"comments, blank lines, tabs, CR LF and trailing words",
         "# nameserver 203.0.113.1\n; domain commented.example\n\n\tnameserver\t192.0.2.1  # "
         "primary\r\nnameserver\r\n   domain   lan.example.com\r\n",
         kMissing,
         {},
         {},
         {one},
         QStringLiteral("lan.example.com"),
         QStringLiteral("example.com")},
        {"keywords are whole words",
         "nameservers 192.0.2.9\ndomainname x.example\n"
         "nameserver 192.0.2.1\ndomain y.example\n",
         kMissing,
         {},
         {},
         {one},
         QStringLiteral("y.example"),
         QStringLiteral("y.example")},
        {"missing file: the fall-back file gives both",
         kMissing,
         "nameserver 198.51.100.9\nsearch fb.example.org\n",
         {},
         {},
         {other},
         QStringLiteral("fb.example.org"),
         QStringLiteral("example.org")},
        {"servers but no domain: fall-back servers replace them, host name gives the domain",
         "nameserver 127.0.0.53\n",
         "nameserver 198.51.100.9\n",
         QStringLiteral("box.office.example.com"),
         {},
         {other},
         QStringLiteral("office.example.com"),
         QStringLiteral("example.com")},
        {"host name domain replaces the fall-back domain",
         "nameserver 192.0.2.1\n",
         "domain fb.example.org\n",
         QStringLiteral("box.hn.example.net"),
         {},
         {one},
         QStringLiteral("hn.example.net"),
         QStringLiteral("example.net")},
        {"empty fall-back values replace nothing",
         "domain keep.example.com\n",
         "# nothing here\n",
         QStringLiteral("bare"),
         {},
         {},
         QStringLiteral("keep.example.com"),
         QStringLiteral("example.com")},
        {"no domain anywhere: the first server's name, three labels",
         "nameserver 192.0.2.1\n"
         "nameserver 192.0.2.2\n",
         kMissing,
         {},
         QStringLiteral("ns1.isp.example"),
         {one, two},
         QStringLiteral("isp.example"),
         QStringLiteral("isp.example"),
         true},
        {"no domain anywhere: a one-label server name",
         "nameserver 192.0.2.1\n",
         kMissing,
         {},
         QStringLiteral("gateway"),
         {one},
         QString(),
         QStringLiteral("gateway"),
         true},
        {"one-label domain is its own base",
         "nameserver 192.0.2.1\ndomain intranet\n",
         kMissing,
         {},
         {},
         {one},
         QStringLiteral("intranet"),
         QStringLiteral("intranet")},
        {"root as search entry is no domain",
         "nameserver 192.0.2.1\nsearch .\n",
         kMissing,
         {},
         {},
         {one},
         QString(),
         QString(),
         true},
        {"IPv6 server kept as written",
         "nameserver 2001:db8::53\ndomain v6.example\n",
         kMissing,
         {},
         {},
         {QStringLiteral("2001:db8::53")},
         QStringLiteral("v6.example"),
         QStringLiteral("v6.example")},
        {"nothing anywhere", kMissing, kMissing, {}, QStringLiteral("never.asked"), {}, {}, {}},
        {"empty file", "", "", {}, {}, {}, {}, {}},
    };
}

TEST(FindDnsServers, Table)
{
    for (const DiscoveryRow &row : discoveryRows()) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        DnsSources sources;
        sources.resolvConf = dir.filePath(QStringLiteral("resolv.conf"));
        sources.fallbackResolvConf = dir.filePath(QStringLiteral("fallback.conf"));
        for (const auto &[path, content] : {std::pair {sources.resolvConf, row.resolvConf},
                                            std::pair {sources.fallbackResolvConf, row.fallback}}) {
            if (content == kMissing)
                continue;
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        sources.fullyQualifiedHostName = [&row] { return row.fqdn; };
        QStringList reverseAsked;
        sources.lookUpHostName = [&](const QString &address) {
            reverseAsked.append(address);
            return row.reverseName;
        };

        const DnsServers found = FindDnsServers(sources);
        EXPECT_EQ(found.servers, row.servers) << row.why;
        EXPECT_EQ(found.serverCount(), row.servers.size()) << row.why;
        EXPECT_EQ(found.defaultDomain, row.defaultDomain) << row.why;
        EXPECT_EQ(found.baseDomain, row.baseDomain) << row.why;
        // The reverse lookup is only for a missing domain, and only of the first server.
        EXPECT_EQ(reverseAsked,
                  row.asksReverse ? QStringList {row.servers.first()} : QStringList {})
            << row.why;
    }
}

TEST(FindDnsServers, UnreadableFileIsSkipped)
{
    QTemporaryDir dir;
    DnsSources sources;
    sources.resolvConf = dir.path(); // a folder, not a file
    sources.fallbackResolvConf = dir.filePath(QStringLiteral("fallback.conf"));
    QFile file(sources.fallbackResolvConf);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("nameserver 192.0.2.7\ndomain ok.example.com\n");
    file.close();
    const DnsServers found = FindDnsServers(sources);
    EXPECT_EQ(found.servers, QStringList {QStringLiteral("192.0.2.7")});
    EXPECT_EQ(found.defaultDomain, QStringLiteral("ok.example.com"));
}

TEST(BaseDomain, LastTwoLabels)
{
    const std::pair<QString, QString> rows[] = {
        {QStringLiteral("a.b.example.com"), QStringLiteral("example.com")},
        {QStringLiteral("example.com"), QStringLiteral("example.com")},
        {QStringLiteral("local"), QStringLiteral("local")},
        {QString(), QString()},
    };
    for (const auto &[domain, base] : rows)
        EXPECT_EQ(baseDomainOf(domain), base) << qPrintable(domain);
}

TEST(LookUpHostName, OnlyForDottedAddresses)
{
    EXPECT_TRUE(LookUpHostName(QStringLiteral("not.an.address")).isEmpty());
    EXPECT_TRUE(LookUpHostName(QString()).isEmpty());
}

} // namespace
