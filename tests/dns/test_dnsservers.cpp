// Discovery of name servers and domains from resolver files written to a temporary
// folder, with the host's own name and the reverse lookup scripted.
#include "dns/dnsservers.h"

#include <QFile>
#include <QTemporaryDir>
#include <array>
#include <gtest/gtest.h>

using namespace vessamo::dns;

namespace {

TEST(FindDnsServers, Table)
{
    // why; resolv.conf and the fall-back file (nullptr: none); the host's name and the first
    // server's; what is found: the servers joined by spaces, the default and base domains
    const std::array<const char *, 8> rows[] = {
        {"servers and a domain: nothing else is read",
         "nameserver 192.0.2.1\nnameserver 192.0.2.2\ndomain corp.example.com\n",
         "nameserver 198.51.100.9\ndomain other.org\n", "h.fqdn.example", "", "192.0.2.1 192.0.2.2",
         "corp.example.com", "example.com"},
        {"the first search entry when there is no domain line",
         "search first.example.net second.example.org\nnameserver 192.0.2.1\n", nullptr, "", "",
         "192.0.2.1", "first.example.net", "example.net"},
        {"the domain line wins over search, whatever the order",
         "domain d.example.com\nsearch s.example.org\nnameserver 192.0.2.1\n", nullptr, "", "",
         "192.0.2.1", "d.example.com", "example.com"},
        {"comments, blank lines, tabs, CR LF, trailing words, whole keywords only",
         "# nameserver 203.0.113.1\n; domain c.example\n\n\tnameserver\t192.0.2.1  # x\r\n"
         "nameserver\r\nnameservers 192.0.2.9\ndomainname x.example\n   domain   "
         "lan.example.com\r\n",
         nullptr, "", "", "192.0.2.1", "lan.example.com", "example.com"},
        {"no file: the fall-back file gives both", nullptr,
         "nameserver 198.51.100.9\nsearch fb.example.org\n", "", "", "198.51.100.9",
         "fb.example.org", "example.org"},
        {"no domain: the fall-back servers replace them, the host name's domain wins",
         "nameserver 127.0.0.53\n", "nameserver 198.51.100.9\ndomain fb.example.org\n",
         "box.office.example.com", "", "198.51.100.9", "office.example.com", "example.com"},
        {"empty fall-back values replace nothing", "domain keep.example.com\n", "# nothing\n",
         "bare", "", "", "keep.example.com", "example.com"},
        {"no domain anywhere: the first server's own name tells",
         "nameserver 192.0.2.1\nnameserver 192.0.2.2\n", nullptr, "", "ns1.isp.example",
         "192.0.2.1 192.0.2.2", "isp.example", "isp.example"},
        {"the root as search entry is no domain", "nameserver 192.0.2.1\nsearch .\n", nullptr, "",
         "gateway", "192.0.2.1", "", "gateway"},
        {"nothing anywhere", nullptr, nullptr, "", "never.asked", "", "", ""},
    };
    for (const auto &[why, resolvConf, fallback, fqdn, reverseName, servers, defaultDomain,
                      baseDomain] : rows) {
        SCOPED_TRACE(why);
        QTemporaryDir dir;
        DnsSources sources;
        sources.resolvConf = dir.filePath(QStringLiteral("resolv.conf"));
        sources.fallbackResolvConf = dir.filePath(QStringLiteral("fallback.conf"));
        for (const auto &[path, content] : {std::pair {sources.resolvConf, resolvConf},
                                            std::pair {sources.fallbackResolvConf, fallback}}) {
            QFile file(path);
            ASSERT_TRUE(!content || (file.open(QIODevice::WriteOnly) && file.write(content) >= 0));
        }
        sources.fullyQualifiedHostName = [fqdn] { return QString::fromLatin1(fqdn); };
        // Asked only when no domain was found, and only for the first server.
        QStringList reverseAsked;
        sources.lookUpHostName = [&](const QString &address) {
            reverseAsked.append(address);
            return QString::fromLatin1(reverseName);
        };
        const DnsServers found = FindDnsServers(sources);
        EXPECT_EQ(found.servers.join(u' '), QString::fromLatin1(servers));
        EXPECT_EQ(found.defaultDomain, QString::fromLatin1(defaultDomain));
        EXPECT_EQ(found.baseDomain, QString::fromLatin1(baseDomain));
        const bool asks = *reverseName && *servers;
        EXPECT_EQ(reverseAsked, asks ? QStringList {found.servers.value(0)} : QStringList {});
    }
}

} // namespace
