// The MX lookup over real loopback UDP against the scripted server: the best exchanger,
// the parent-domain walk, the reports and their texts, stray and missing replies, and
// the discovery that runs while no server is known.
#include "dns/dnsmessage.h"
#include "dns/fakedns.h"
#include "dns/mxquery.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vessamo::dns;
using namespace std::chrono_literals;
using vessamo::test::FakeDns;
using vessamo::test::ReplyBuilder;

namespace {

const QString kNoServers = QStringLiteral("No DNS entries found, MX Query cannot contine.");
const QString kNoDomain = QStringLiteral("No Valid Domain Specified");
const QString kSendFailed = QStringLiteral("Problem sending MX query");
const QString kReceiveFailed = QStringLiteral("Problem receiving MX query");

QByteArray noAnswer(const QString &domain)
{
    return ReplyBuilder(domain).build();
}

QByteArray oneMx(const QString &domain, const QString &exchange)
{
    return ReplyBuilder(domain).mx(10, exchange).build();
}

// A lookup against the fake server, with a known server table and domains, and
// discovery pointed at files that do not exist.
class MxLookup : public ::testing::Test
{
protected:
    MxLookup()
    {
        servers.servers = QStringList {QStringLiteral("127.0.0.1")};
        servers.defaultDomain = QStringLiteral("example.com");
        servers.baseDomain = QStringLiteral("example.com");
        options.servers = &servers;
        options.port = dns.port();
        options.timeLimit = 300ms;
        options.sources.resolvConf = dir.filePath(QStringLiteral("resolv.conf"));
        options.sources.fallbackResolvConf = dir.filePath(QStringLiteral("fallback.conf"));
        options.sources.fullyQualifiedHostName = [] { return QString(); };
        options.sources.lookUpHostName = [](const QString &) { return QString(); };
    }

    static int openDescriptors() { return int(QDir(QStringLiteral("/proc/self/fd")).count()); }

    QTemporaryDir dir;
    FakeDns dns;
    DnsServers servers;
    MxQueryOptions options;
};

TEST_F(MxLookup, SendsTheExactDatagramAndTakesTheFirstOfTheLowestPreference)
{
    dns.thenReply(ReplyBuilder(QStringLiteral("example.com"))
                      .mx(20, QStringLiteral("mx20.example.com"))
                      .mx(10, QStringLiteral("first10.example.com"))
                      .mx(10, QStringLiteral("second10.example.com"))
                      .build());
    const MxQueryResult result = QueryMx(QStringLiteral("example.com"), options);
    EXPECT_EQ(result.host, QStringLiteral("first10.example.com"));
    EXPECT_TRUE(result.failure.isEmpty());
    ASSERT_EQ(dns.queries().size(), 1);
    const QByteArray expected
        = QByteArray::fromHex("11DF 0100 0001 0000 0000 0000 076578616d706c6503636f6d00 000F 0001");
    EXPECT_EQ(dns.queries().first().toHex(' '), expected.toHex(' '));
}

TEST_F(MxLookup, AliasFirstGivesNothingAndNoParentQuery)
{
    dns.thenReply(ReplyBuilder(QStringLiteral("www.example.com"))
                      .cname(QStringLiteral("example.com"))
                      .mx(10, QStringLiteral("mx.example.com"))
                      .build());
    const MxQueryResult result = QueryMx(QStringLiteral("www.example.com"), options);
    EXPECT_TRUE(result.host.isEmpty());
    EXPECT_TRUE(result.failure.isEmpty());
    EXPECT_EQ(dns.queries().size(), 1);
}

TEST_F(MxLookup, EmptyExchangeIsPassedOver)
{
    dns.thenReply(ReplyBuilder(QStringLiteral("example.com"))
                      .mx(0, QString())
                      .mx(50, QStringLiteral("backup.example.com"))
                      .build());
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).host,
              QStringLiteral("backup.example.com"));
}

TEST_F(MxLookup, MalformedAnswerGivesNothingAndNoParentQuery)
{
    QByteArray reply = ReplyBuilder(QStringLiteral("a.example.com"))
                           .record(15, QByteArray::fromHex("000A 0178 C0FF"))
                           .build();
    dns.thenReply(reply);
    const MxQueryResult result = QueryMx(QStringLiteral("a.example.com"), options);
    EXPECT_TRUE(result.host.isEmpty());
    EXPECT_TRUE(result.failure.isEmpty());
    EXPECT_EQ(dns.queries().size(), 1);
}

struct WalkRow
{
    const char *why;
    QString domain;
    QString baseDomain;
    QStringList queried;
    QString failure;
};

TEST_F(MxLookup, ParentWalkOnEmptyAnswers)
{
    const WalkRow rows[] = {
        {"two labels over the base: two parents, then nothing",
         QStringLiteral("a.b.example.com"),
         QStringLiteral("example.com"),
         {QStringLiteral("a.b.example.com"), QStringLiteral("b.example.com"),
          QStringLiteral("example.com")},
         {}},
        {"empty base domain: one query",
         QStringLiteral("a.b.example.com"),
         QString(),
         {QStringLiteral("a.b.example.com")},
         {}},
        {"base domain elsewhere: one query",
         QStringLiteral("mail.other.org"),
         QStringLiteral("example.com"),
         {QStringLiteral("mail.other.org")},
         {}},
        {"parent shorter than five characters is refused",
         QStringLiteral("mail.x.io"),
         QStringLiteral("x.io"),
         {QStringLiteral("mail.x.io")},
         kNoDomain},
        {"base at the start of the domain: one query",
         QStringLiteral("example.com"),
         QStringLiteral("example.com"),
         {QStringLiteral("example.com")},
         {}},
        {"no dot left: the walk ends",
         QStringLiteral("xhostname"),
         QStringLiteral("hostname"),
         {QStringLiteral("xhostname")},
         {}},
    };
    for (const WalkRow &row : rows) {
        FakeDns server;
        for (const QString &domain : row.queried)
            server.thenReply(noAnswer(domain));
        server.thenReply(oneMx(QStringLiteral("unexpected"), QStringLiteral("mx.unexpected")));
        servers.baseDomain = row.baseDomain;
        options.port = server.port();
        const MxQueryResult result = QueryMx(row.domain, options);
        EXPECT_TRUE(result.host.isEmpty()) << row.why;
        EXPECT_EQ(result.failure, row.failure) << row.why;
        EXPECT_EQ(server.queriedDomains(), row.queried) << row.why;
    }
}

TEST_F(MxLookup, ParentWalkStopsAtTheFirstAnswer)
{
    dns.thenReply(noAnswer(QStringLiteral("sub.example.com")));
    dns.thenReply(oneMx(QStringLiteral("example.com"), QStringLiteral("mx.example.com")));
    EXPECT_EQ(QueryMx(QStringLiteral("sub.example.com"), options).host,
              QStringLiteral("mx.example.com"));
    EXPECT_EQ(dns.queriedDomains(),
              QStringList({QStringLiteral("sub.example.com"), QStringLiteral("example.com")}));
}

TEST_F(MxLookup, ReportInsideTheWalkEndsTheWholeLookup)
{
    dns.thenReply(noAnswer(QStringLiteral("sub.example.com")));
    dns.thenSilence();
    const MxQueryResult result = QueryMx(QStringLiteral("sub.example.com"), options);
    EXPECT_EQ(result.failure, kReceiveFailed);
    EXPECT_EQ(dns.queries().size(), 2);
}

TEST_F(MxLookup, FourCharacterDomainIsRefusedBeforeSendingAndFiveIsQueried)
{
    const MxQueryResult refused = QueryMx(QStringLiteral("ab.c"), options);
    EXPECT_EQ(refused.failure, kNoDomain);
    EXPECT_TRUE(dns.queries().isEmpty());

    dns.thenReply(oneMx(QStringLiteral("ab.cd"), QStringLiteral("mx.ab.cd")));
    EXPECT_EQ(QueryMx(QStringLiteral("ab.cd"), options).host, QStringLiteral("mx.ab.cd"));
    EXPECT_EQ(dns.queriedDomains(), QStringList {QStringLiteral("ab.cd")});
}

TEST_F(MxLookup, DomainThatCannotBeEncodedIsRefused)
{
    EXPECT_EQ(QueryMx(QStringLiteral("mail..example.com"), options).failure, kNoDomain);
    EXPECT_EQ(QueryMx(QString(64, u'a') + QStringLiteral(".com"), options).failure, kNoDomain);
    EXPECT_TRUE(dns.queries().isEmpty());
}

TEST_F(MxLookup, NoReplyWithinTheLimitIsReportedAndTheSocketReleased)
{
    const int before = openDescriptors();
    dns.thenSilence();
    const MxQueryResult result = QueryMx(QStringLiteral("example.com"), options);
    EXPECT_EQ(result.failure, kReceiveFailed);
    EXPECT_TRUE(result.host.isEmpty());
    EXPECT_EQ(dns.queries().size(), 1);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(MxLookup, DefaultLimitIsFiveSeconds)
{
    options.timeLimit = kMxReplyTimeLimit;
    dns.thenSilence();
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).failure, kReceiveFailed);
    EXPECT_GE(clock.elapsed(), 4900);
}

TEST_F(MxLookup, SocketIsReleasedAfterAReply)
{
    const int before = openDescriptors();
    dns.thenReply(oneMx(QStringLiteral("example.com"), QStringLiteral("mx.example.com")));
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).host,
              QStringLiteral("mx.example.com"));
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(MxLookup, StrayDatagramsAreIgnoredUntilTheRealReply)
{
    const QString domain = QStringLiteral("example.com");
    const QByteArray real = oneMx(domain, QStringLiteral("real.example.com"));
    const QByteArray forged = oneMx(domain, QStringLiteral("forged.example.com"));
    const QByteArray wrongId
        = ReplyBuilder(domain).identifier(4576).mx(1, QStringLiteral("wrong.example.com")).build();
    dns.then([&](const QByteArray &) {
        return FakeDns::Step {{wrongId, QByteArray("\x11\xDF\x81", 3), real}, {forged}};
    });
    EXPECT_EQ(QueryMx(domain, options).host, QStringLiteral("real.example.com"));
}

TEST_F(MxLookup, OnlyStrayDatagramsEndInTheTimeLimit)
{
    const QString domain = QStringLiteral("example.com");
    const QByteArray wrongId
        = ReplyBuilder(domain).identifier(1).mx(1, QStringLiteral("wrong.example.com")).build();
    const QByteArray fromStranger = oneMx(domain, QStringLiteral("forged.example.com"));
    dns.then([&](const QByteArray &) { return FakeDns::Step {{wrongId}, {fromStranger}}; });
    const MxQueryResult result = QueryMx(domain, options);
    EXPECT_EQ(result.failure, kReceiveFailed);
    EXPECT_TRUE(result.host.isEmpty());
}

TEST_F(MxLookup, SendFailureIsReported)
{
    options.port = 0; // no datagram can be sent to port 0
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).failure, kSendFailed);
}

TEST_F(MxLookup, OnlyTheFirstServerIsAskedAndAnUnusableOneEndsSilently)
{
    servers.servers = QStringList {QString(), QStringLiteral("127.0.0.1")};
    const MxQueryResult result = QueryMx(QStringLiteral("example.com"), options);
    EXPECT_TRUE(result.host.isEmpty());
    EXPECT_TRUE(result.failure.isEmpty());
    EXPECT_TRUE(dns.queries().isEmpty());
}

TEST_F(MxLookup, ServerGivenByNameIsResolved)
{
    servers.servers = QStringList {QStringLiteral("localhost")};
    dns.thenReply(oneMx(QStringLiteral("example.com"), QStringLiteral("mx.example.com")));
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).host,
              QStringLiteral("mx.example.com"));
}

TEST_F(MxLookup, EmptyDomainUsesTheDefaultDomainOrIsRefused)
{
    dns.thenReply(oneMx(QStringLiteral("example.com"), QStringLiteral("mx.example.com")));
    EXPECT_EQ(QueryMx(QString(), options).host, QStringLiteral("mx.example.com"));
    EXPECT_EQ(dns.queriedDomains(), QStringList {QStringLiteral("example.com")});

    servers.defaultDomain.clear();
    EXPECT_EQ(QueryMx(QString(), options).failure, kNoDomain);
    EXPECT_EQ(dns.queries().size(), 1);
}

TEST_F(MxLookup, DiscoveryRunsWhileNoServerIsKnown)
{
    servers = DnsServers {};
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).failure, kNoServers);
    EXPECT_EQ(servers.serverCount(), 0);

    QFile file(options.sources.resolvConf);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("nameserver 127.0.0.1\ndomain mail.example.com\n");
    file.close();
    dns.thenReply(oneMx(QStringLiteral("mail.example.com"), QStringLiteral("mx.example.com")));
    EXPECT_EQ(QueryMx(QString(), options).host, QStringLiteral("mx.example.com"));
    EXPECT_EQ(servers.servers, QStringList {QStringLiteral("127.0.0.1")});
    EXPECT_EQ(servers.baseDomain, QStringLiteral("example.com"));

    // Once found, the table is kept even when the file changes.
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("nameserver 192.0.2.1\n");
    file.close();
    dns.thenReply(oneMx(QStringLiteral("example.com"), QStringLiteral("mx2.example.com")));
    EXPECT_EQ(QueryMx(QStringLiteral("example.com"), options).host,
              QStringLiteral("mx2.example.com"));
}

struct StatusRow
{
    const char *why;
    QString argument;
    QStringList statuses;
    QString result;
};

TEST_F(MxLookup, MXQueryReportsItsStatusTexts)
{
    const StatusRow rows[] = {
        {"no domain: the default one",
         QString(),
         {QStringLiteral("Performing MX Query")},
         QStringLiteral("mx.example.com")},
        {"blanks trimmed",
         QStringLiteral("  example.com "),
         {QStringLiteral("Performing MX Query, Domain: example.com")},
         QStringLiteral("mx.example.com")},
        {"a report becomes a status and an empty result",
         QStringLiteral("ab.c"),
         {QStringLiteral("Performing MX Query, Domain: ab.c"), kNoDomain},
         QString()},
    };
    for (const StatusRow &row : rows) {
        FakeDns server;
        server.thenReply(oneMx(QStringLiteral("example.com"), QStringLiteral("mx.example.com")));
        options.port = server.port();
        QStringList statuses;
        const QString host = MXQuery(
            row.argument, [&](const QString &text) { statuses.append(text); }, options);
        EXPECT_EQ(host, row.result) << row.why;
        EXPECT_EQ(statuses, row.statuses) << row.why;
    }
}

TEST_F(MxLookup, MXQueryWithoutServersReportsTheMisspelledText)
{
    servers = DnsServers {};
    QStringList statuses;
    EXPECT_TRUE(MXQuery(
                    QStringLiteral("example.com"),
                    [&](const QString &text) { statuses.append(text); }, options)
                    .isEmpty());
    EXPECT_EQ(
        statuses,
        QStringList({QStringLiteral("Performing MX Query, Domain: example.com"), kNoServers}));
}

} // namespace
