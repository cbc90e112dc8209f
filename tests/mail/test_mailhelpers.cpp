// The mail client's helpers. Base64 carries the AUTH LOGIN answers (Windows-1252 text,
// lines of 76 characters ending in CR LF) and the server's challenges; QByteArray::toBase64
// is the reference. The form-only address check applies to a message's sender and its
// forward-to address. The network utilities serve only the host checks the router turns
// off: one smoke test each.
#include "mail/addressvalidation.h"
#include "mail/modcorreu.h"
#include "mail/netutils.h"
#include "platform/ansi.h"

#include <QRandomGenerator>
#include <QSysInfo>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vessamo::mail;

TEST(Base64, EncoderMatchesReferenceAndDecoderGivesEveryByteBack)
{
    QRandomGenerator random(20240517);
    for (qsizetype n : {0, 1, 2, 56, 57, 58, 113, 114, 115, 400, 11401}) {
        QByteArray bytes(n, '\0');
        for (char &c : bytes)
            c = char(random.bounded(256));
        const QByteArray original = bytes;
        const QByteArray flat = original.toBase64();
        QByteArray lines;
        for (qsizetype i = 0; i < flat.size(); i += 76)
            lines += flat.mid(i, 76) + "\r\n";
        const QByteArray encoded = Base64Encode(bytes);
        EXPECT_EQ(encoded, lines.isEmpty() ? QByteArrayLiteral("\r\n") : lines) << n;
        EXPECT_EQ(Base64DecodeBytes(QString::fromLatin1(encoded)), original) << n;
        // The text form keeps every byte value as one character.
        EXPECT_EQ(vessamo::platform::toAnsi(Base64Decode(QString::fromLatin1(encoded))), original);
    }
    // é is 0xE9 and € is 0x80 in Windows-1252, one byte each.
    EXPECT_EQ(Base64EncodeText(QStringLiteral("\u00e9\u20ac")), QStringLiteral("6YA=\r\n"));
    EXPECT_EQ(Base64Decode(QStringLiteral("6YA=")), QStringLiteral("\u00e9\u20ac"));
    EXPECT_TRUE(Base64EncodeText(QString()).isEmpty());
    EXPECT_EQ(Base64Decode(QStringLiteral("VXNlcm5hbWU6")), QStringLiteral("Username:"));
    // A character outside the alphabet (a lone line break included) gives nothing; padding
    // ends only its own group; a group cut short never invents zero bytes.
    for (const auto &[text, bytes] :
         {std::pair {u"Zm9v\nYmFy", ""}, std::pair {u"Zm9v\u00e9", ""},
          std::pair {u"Zg==Zm8=", "ffo"}, std::pair {u"Zm9vYmE", "fooba"}})
        EXPECT_EQ(Base64DecodeBytes(QString::fromUtf16(text)), QByteArray(bytes)) << bytes;
}

// One "@" and a "." in the domain part are enough; the part before the "@" is never
// examined, and blanks after the domain do not matter.
TEST(AddressValidation, EmailAddressRows)
{
    const std::pair<const char16_t *, bool> rows[] = {
        {u"user@example.com", true},
        {u"a b <c>@example.com", true},
        {u"@example.com", true},
        {u"user@example.com   ", true},
        {u"user@192.168.0.1", true},
        {u"user@   ", false},
        {u"user@", false},
        {u"user@localhost", false},
        {u"a@example.com@example.org", false},
        {u"user.example.com", false},
        {u"", false},
    };
    for (const auto &[text, valid] : rows) {
        const QString address = QString::fromUtf16(text);
        EXPECT_EQ(IsValidEmailAddress(address), valid) << address.toStdString();
    }
    EXPECT_TRUE(IsValidDomain(QStringLiteral("  mail.example.com ")));
    EXPECT_FALSE(IsValidDomain(QStringLiteral(" smtp ")));
}

TEST(NetUtils, AddressesAndNames)
{
    for (const auto &[text, valid] :
         {std::pair {"239.255.255.255", true}, std::pair {"240.1.1.1", false},
          std::pair {"1.2.3", false}, std::pair {"1.2.3.256", false}})
        EXPECT_EQ(IsDottedQuad(QString::fromLatin1(text)), valid) << text;
    in_addr expected {};
    ASSERT_EQ(::inet_pton(AF_INET, "10.200.0.255", &expected), 1);
    EXPECT_EQ(DottedToAddress(QStringLiteral("10.200.0.255")), expected.s_addr);
    EXPECT_EQ(DottedToAddress(QStringLiteral("localhost")), 0u);
    QString name = QStringLiteral("  localhost ");
    EXPECT_EQ(GetIPAddress(name), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(name, QStringLiteral("localhost"));
    name = QStringLiteral("no-such-host.vessamo.invalid");
    EXPECT_TRUE(GetIPAddress(name).isEmpty());
    EXPECT_EQ(GetIPHost(), QSysInfo::machineHostName());
    const QString fallback = QStringLiteral("application/octet-stream");
    EXPECT_EQ(GetContentType(QStringLiteral("/home/u/a.old.JPG"), fallback),
              QStringLiteral("image/jpeg"));
    EXPECT_EQ(GetContentType(QStringLiteral("/var/spool.d/README"), fallback), fallback);
}

TEST(NetUtils, PingLoopbackAnswers)
{
    bool icmp = false;
    for (int type : {SOCK_DGRAM, SOCK_RAW}) {
        const int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
        icmp = icmp || fd >= 0;
        if (fd >= 0)
            ::close(fd);
    }
    if (!icmp)
        GTEST_SKIP() << "this process may open neither an ICMP echo socket nor a raw socket";
    QString address = QStringLiteral(" localhost ");
    QString roundTrip, dataSize;
    bool dataMatch = false;
    ASSERT_TRUE(Ping(address, roundTrip, dataSize, dataMatch));
    EXPECT_EQ(address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(dataSize, QStringLiteral("32 bytes"));
    EXPECT_TRUE(dataMatch);
}
