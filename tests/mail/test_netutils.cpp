// Network utilities: dotted-address parsing, name lookup against the local resolver, the
// local host name, MIME types by extension, and a real ICMP echo to the loopback address.
#include "mail/netutils.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSysInfo>
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vessamo::mail;

namespace {

// Whether this process may open either kind of ICMP socket.
bool icmpAvailable()
{
    for (int type : {SOCK_DGRAM, SOCK_RAW}) {
        const int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
    }
    return false;
}

QString firstIPv4(const QString &name)
{
    const QHostInfo info = QHostInfo::fromName(name);
    for (const QHostAddress &a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol)
            return a.toString();
    }
    return QString();
}

const QString kUnresolvable = QStringLiteral("no-such-host.vessamo.invalid");

} // namespace

TEST(NetUtils, IsDottedQuadRows)
{
    const struct
    {
        const char16_t *text;
        bool valid;
    } rows[] = {
        {u"239.255.255.255", true},
        {u"240.1.1.1", false},
        {u"1.2.3", false},
        {u"127.0.0.1", true},
        {u"0.0.0.0", true},
        {u"1.2.3.256", false},
        {u"1.2.x.4", false},
        {u"1.2.3.4.5", false},
        {u"", false},
        {u"1..3.4", false},
        {u"-1.2.3.4", false},
        {u" 1.2.3.4", false},
        {u"1.2.3.4 ", false},
        {u"1.2.3.+4", false},
        {u"001.002.003.004", true},
        {u"1.2.3.99999999999", false},
    };
    for (const auto &row : rows) {
        const QString text = QString::fromUtf16(row.text);
        EXPECT_EQ(IsDottedQuad(text), row.valid) << text.toStdString();
    }
}

TEST(NetUtils, DottedToAddressAgreesWithInetPton)
{
    for (const char *text :
         {"1.2.3.4", "127.0.0.1", "0.0.0.0", "255.255.255.255", "240.0.0.1", "10.200.0.255"}) {
        in_addr expected {};
        ASSERT_EQ(::inet_pton(AF_INET, text, &expected), 1);
        EXPECT_EQ(DottedToAddress(QString::fromLatin1(text)), expected.s_addr) << text;
    }
}

TEST(NetUtils, DottedToAddressKeepsOctetsInOrderInMemory)
{
    const quint32 address = DottedToAddress(QStringLiteral("1.2.3.4"));
    unsigned char octets[4];
    std::memcpy(octets, &address, 4);
    EXPECT_EQ(octets[0], 1);
    EXPECT_EQ(octets[1], 2);
    EXPECT_EQ(octets[2], 3);
    EXPECT_EQ(octets[3], 4);
}

TEST(NetUtils, DottedToAddressRefusesOtherTexts)
{
    for (const char16_t *text :
         {u"1.2.3", u"a.b.c.d", u"1.2.3.256", u"", u"1.2.3.4.5", u"localhost", u"1.2.3."}) {
        EXPECT_EQ(DottedToAddress(QString::fromUtf16(text)), 0u)
            << QString::fromUtf16(text).toStdString();
    }
}

TEST(NetUtils, GetIPAddressOfLocalhost)
{
    QString name = QStringLiteral("localhost");
    EXPECT_EQ(GetIPAddress(name), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(name, QStringLiteral("localhost"));
}

TEST(NetUtils, GetIPAddressTrimsTheCallersName)
{
    QString name = QStringLiteral("  localhost ");
    EXPECT_EQ(GetIPAddress(name), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(name, QStringLiteral("localhost"));
}

TEST(NetUtils, GetIPAddressOfDottedAddressIsItself)
{
    QString name = QStringLiteral("127.0.0.1");
    EXPECT_EQ(GetIPAddress(name), QStringLiteral("127.0.0.1"));
}

TEST(NetUtils, GetIPAddressOfUnresolvableNameIsEmpty)
{
    QString name = kUnresolvable;
    EXPECT_TRUE(GetIPAddress(name).isEmpty());
    EXPECT_EQ(name, kUnresolvable);
}

TEST(NetUtils, GetIPAddressOfEmptyNameIsThisMachine)
{
    QString name;
    const QString address = GetIPAddress(name);
    EXPECT_EQ(name, QSysInfo::machineHostName());
    EXPECT_EQ(address, firstIPv4(QSysInfo::machineHostName()));
}

TEST(NetUtils, GetIPHostIsTheMachinesName)
{
    EXPECT_EQ(GetIPHost(), QSysInfo::machineHostName());
    EXPECT_FALSE(GetIPHost().isEmpty());
}

TEST(NetUtils, GetContentTypeByExtension)
{
    const QString fallback = QStringLiteral("application/octet-stream");
    const struct
    {
        const char16_t *file;
        const char16_t *type;
    } rows[] = {
        {u"report.pdf", u"application/pdf"},
        {u"/home/user/photo.JPG", u"image/jpeg"},
        {u"notes.txt", u"text/plain"},
        {u"index.html", u"text/html"},
        {u"bundle.zip", u"application/zip"},
        {u"archive.old.png", u"image/png"},
        {u"data.vessamo-unknown-ext", u"application/octet-stream"},
        {u"README", u"application/octet-stream"},
        {u"/var/spool.d/message", u"application/octet-stream"},
        {u"file.", u"application/octet-stream"},
    };
    for (const auto &row : rows) {
        const QString file = QString::fromUtf16(row.file);
        EXPECT_EQ(GetContentType(file, fallback), QString::fromUtf16(row.type))
            << file.toStdString();
    }
}

TEST(NetUtils, GetContentTypeWithoutDefaultIsEmptyWhenUnknown)
{
    EXPECT_TRUE(GetContentType(QStringLiteral("data.vessamo-unknown-ext")).isEmpty());
    EXPECT_TRUE(GetContentType(QStringLiteral("Makefile")).isEmpty());
    EXPECT_EQ(GetContentType(QStringLiteral("a.txt")), QStringLiteral("text/plain"));
}

TEST(NetUtils, PingLoopbackAnswers)
{
    if (!icmpAvailable())
        GTEST_SKIP() << "this process may open neither an ICMP echo socket nor a raw socket";
    QString address = QStringLiteral("127.0.0.1");
    QString roundTrip = QStringLiteral("unset");
    QString dataSize = QStringLiteral("unset");
    bool dataMatch = false;
    ASSERT_TRUE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(dataSize, QStringLiteral("32 bytes"));
    EXPECT_TRUE(dataMatch);
    bool numeric = false;
    roundTrip.toUInt(&numeric);
    EXPECT_TRUE(numeric) << roundTrip.toStdString();
}

TEST(NetUtils, PingResolvesHostNames)
{
    if (!icmpAvailable())
        GTEST_SKIP() << "this process may open neither an ICMP echo socket nor a raw socket";
    QString address = QStringLiteral(" localhost ");
    QString roundTrip, dataSize;
    bool dataMatch = false;
    ASSERT_TRUE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
}

TEST(NetUtils, PingOfUnresolvableNameLeavesOutValuesAlone)
{
    QString address = kUnresolvable;
    QString roundTrip = QStringLiteral("r");
    QString dataSize = QStringLiteral("d");
    bool dataMatch = true;
    EXPECT_FALSE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, kUnresolvable);
    EXPECT_EQ(roundTrip, QStringLiteral("r"));
    EXPECT_EQ(dataSize, QStringLiteral("d"));
    EXPECT_TRUE(dataMatch);
}

TEST(NetUtils, PingAnsweredFromAnotherAddressFails)
{
    if (!icmpAvailable())
        GTEST_SKIP() << "this process may open neither an ICMP echo socket nor a raw socket";
    // Linux delivers 0.0.0.0 locally and the answer comes from 127.0.0.1: not the address
    // that was asked, so the echo does not count, but the answering address is reported.
    QString address = QStringLiteral("0.0.0.0");
    QString roundTrip, dataSize;
    bool dataMatch = false;
    EXPECT_FALSE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(dataSize, QStringLiteral("32 bytes"));
    EXPECT_TRUE(dataMatch);
}

TEST(NetUtils, PingWithoutAnswerReportsNoAddress)
{
    if (!icmpAvailable())
        GTEST_SKIP() << "this process may open neither an ICMP echo socket nor a raw socket";
    // The limited broadcast address is not a dotted quad by our rule, resolves to itself,
    // and the kernel refuses to send there without SO_BROADCAST: nothing can answer.
    QString address = QStringLiteral("255.255.255.255");
    QString roundTrip = QStringLiteral("r");
    QString dataSize;
    bool dataMatch = true;
    EXPECT_FALSE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("0.0.0.0"));
    EXPECT_EQ(roundTrip, QStringLiteral("0"));
    EXPECT_EQ(dataSize, QStringLiteral("0 bytes"));
    EXPECT_TRUE(dataMatch); // nothing echoed to compare with: left as it was
}
