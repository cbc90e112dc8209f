// The MX lookup over real loopback UDP against the scripted server: the parent-domain
// walk, failures, stray replies, and the discovery that runs while no server is known.
// MXQuery's status texts are seen through the mail object (tests/mail).
#include "dns/mxquery.h"
#include "support/fakedns.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vessamo::dns;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vessamo::test;

namespace {

const QString kNoServers = u"No DNS entries found, MX Query cannot contine."_s;
const QString kNoDomain = u"No Valid Domain Specified"_s;
const QString kReceiveFailed = u"Problem receiving MX query"_s;

const QByteArray kNone = dnsReply(u"example.com"_s);
const QByteArray kMx = dnsReply(u"example.com"_s, {mxRecord(10, u"mx.example.com"_s)});

// A known server table and domains; discovery, when it runs, finds only what a test writes.
class MxLookup : public ::testing::Test
{
protected:
    MxLookup()
    {
        servers = {{u"127.0.0.1"_s}, u"example.com"_s, u"example.com"_s};
        options.servers = &servers;
        options.port = dns.port();
        options.timeLimit = 300ms;
        options.sources.resolvConf = dir.filePath(u"resolv.conf"_s);
        options.sources.fallbackResolvConf = dir.filePath(u"fallback.conf"_s);
        options.sources.fullyQualifiedHostName = [] { return QString(); };
        options.sources.lookUpHostName = [](const QString &) { return QString(); };
    }

    QTemporaryDir dir;
    FakeDns dns;
    DnsServers servers;
    MxQueryOptions options;
};

// Each query is answered by the next reply (an empty one: silence). No socket outlives
// the lookup.
TEST_F(MxLookup, Table)
{
    // why, domain, base domain, replies, the domains queried, the host found, the failure
    using Row = std::tuple<const char *, const char *, const char *, QByteArrayList, const char *,
                           const char *, QString>;
    const QByteArray broken
        = dnsReply(u"example.com"_s, {dnsRecord(15, QByteArray::fromHex("000A 0178 C0FF"))});
    // clang-format off
    const Row rows[] = {
        {"no answer: the parents, to the first answer", "a.b.example.com", "example.com",
         {kNone, kNone, kMx}, "a.b.example.com b.example.com example.com", "mx.example.com", {}},
        {"the walk ends at the base domain", "b.example.com", "example.com", {kNone, kNone},
         "b.example.com example.com", "", {}},
        {"a malformed answer is an answer: no parent", "w.example.com", "example.com", {broken},
         "w.example.com", "", {}},
        {"empty base domain: no parent", "a.example.com", "", {kNone}, "a.example.com", "", {}},
        {"base domain elsewhere", "mail.other.org", "example.com", {kNone}, "mail.other.org", "", {}},
        {"no dot left", "xhostname", "hostname", {kNone}, "xhostname", "", {}},
        {"a parent under five characters is refused", "mail.x.io", "x.io", {kNone}, "mail.x.io",
         "", kNoDomain},
        {"silence inside the walk ends the lookup", "w.example.com", "example.com", {kNone, {}},
         "w.example.com example.com", "", kReceiveFailed},
        {"four characters are refused before sending", "ab.c", "", {}, "", "", kNoDomain},
        {"five are sent", "ab.cd", "", {kMx}, "ab.cd", "mx.example.com", {}},
        {"a name that cannot travel", "mail..example.com", "", {}, "", "", kNoDomain},
        {"no domain: the default one", "", "", {kMx}, "example.com", "mx.example.com", {}},
    };
    // clang-format on
    for (const auto &[why, domain, baseDomain, replies, queried, host, failure] : rows) {
        SCOPED_TRACE(why);
        FakeDns server;
        for (const QByteArray &reply : replies)
            server.script.append({reply});
        servers.baseDomain = QString::fromLatin1(baseDomain);
        options.port = server.port();
        const QDir fds(u"/proc/self/fd"_s);
        const auto descriptors = fds.count();
        const MxQueryResult result = QueryMx(QString::fromLatin1(domain), options);
        EXPECT_EQ(result.host, QString::fromLatin1(host));
        EXPECT_EQ(result.failure, failure);
        EXPECT_EQ(server.queried(), QString::fromLatin1(queried));
        EXPECT_EQ(QDir(fds.path()).count(), descriptors);
    }
}

// Replies from another sender, with another identifier or shorter than a header are
// dropped; the wait goes on for the real one, or to the time limit.
TEST_F(MxLookup, StrayDatagramsAreIgnored)
{
    const QByteArray wrongId = dnsReply(u"example.com"_s, {mxRecord(1, u"wrong"_s)}, -1, 4576);
    const QByteArray forged = dnsReply(u"example.com"_s, {mxRecord(1, u"forged"_s)});
    dns.script = {{wrongId, QByteArray("\x11\xDF\x81", 3), kMx}, {wrongId}};
    dns.strangers = {forged};
    EXPECT_EQ(QueryMx(u"example.com"_s, options).host, u"mx.example.com"_s);
    const MxQueryResult result = QueryMx(u"example.com"_s, options);
    EXPECT_EQ(result.failure, kReceiveFailed);
    EXPECT_TRUE(result.host.isEmpty());
}

TEST_F(MxLookup, OnlyTheFirstServerIsAsked)
{
    dns.script = {{kMx}};
    servers.servers = QStringList {u"localhost"_s, u"192.0.2.1"_s}; // a name is resolved
    EXPECT_EQ(QueryMx(u"example.com"_s, options).host, u"mx.example.com"_s);
    servers.servers = QStringList {QString(), u"127.0.0.1"_s}; // unusable: nothing, no report
    const MxQueryResult unusable = QueryMx(u"example.com"_s, options);
    EXPECT_TRUE(unusable.host.isEmpty() && unusable.failure.isEmpty());
    EXPECT_EQ(dns.queries.size(), 1);
    servers.servers = QStringList {u"127.0.0.1"_s};
    options.port = 0; // no datagram can be sent to port 0
    EXPECT_EQ(QueryMx(u"example.com"_s, options).failure, u"Problem sending MX query"_s);
}

// Discovery runs again while it has found no server; once found, the table is kept.
TEST_F(MxLookup, DiscoveryRunsWhileNoServerIsKnown)
{
    servers = DnsServers {};
    EXPECT_EQ(QueryMx(u"example.com"_s, options).failure, kNoServers);
    const auto writeResolvConf = [&](const QByteArray &text) {
        QFile file(options.sources.resolvConf);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    };
    writeResolvConf("nameserver 127.0.0.1\n");
    EXPECT_EQ(QueryMx(QString(), options).failure, kNoDomain); // no domain anywhere
    EXPECT_EQ(servers.servers, QStringList {u"127.0.0.1"_s});
    writeResolvConf("nameserver 192.0.2.1\ndomain example.com\n");
    dns.script = {{kMx}};
    EXPECT_EQ(QueryMx(u"example.com"_s, options).host, u"mx.example.com"_s);
}

} // namespace
