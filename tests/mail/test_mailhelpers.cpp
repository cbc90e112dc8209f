// The mail client's helpers: Base64 (AUTH LOGIN, Windows-1252 text, lines of 76 characters
// with CR LF; QByteArray::toBase64 is the reference), the form-only address check and the
// network utilities.
#include "mail/addressvalidation.h"
#include "mail/modcorreu.h"
#include "mail/netutils.h"
#include "platform/ansi.h"

#include <QRandomGenerator>
#include <cstring>
#include <gtest/gtest.h>
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
    for (const char16_t *valid : {u"user@example.com", u"a b <c>@example.com", u"@example.com",
                                  u"user@example.com   ", u"user@192.168.0.1"})
        EXPECT_TRUE(IsValidEmailAddress(QString::fromUtf16(valid)));
    for (const char16_t *invalid : {u"user@   ", u"user@", u"user@localhost",
                                    u"a@example.com@example.org", u"user.example.com", u""})
        EXPECT_FALSE(IsValidEmailAddress(QString::fromUtf16(invalid)));
    EXPECT_TRUE(IsValidDomain(QStringLiteral("  mail.example.com ")));
    EXPECT_FALSE(IsValidDomain(QStringLiteral(" smtp ")));
}

// The network utilities the router does not call yet (host checks are off in its relay):
// one smoke test, so that what a later caller relies on cannot silently break.
TEST(NetUtils, SmokeTest)
{
    EXPECT_TRUE(IsDottedQuad(QStringLiteral("239.255.255.255")));
    for (const char16_t *bad : {u"240.1.1.1", u"1.2.3", u"1.2.3.256", u"1.2.x.4", u""})
        EXPECT_FALSE(IsDottedQuad(QString::fromUtf16(bad)));
    const quint32 address = DottedToAddress(QStringLiteral("127.0.0.1"));
    EXPECT_EQ(std::memcmp(&address, "\x7f\x00\x00\x01", 4), 0);
    EXPECT_EQ(GetContentType(QStringLiteral("a.PDF")), QStringLiteral("application/pdf"));
    QString name = QStringLiteral(" localhost ");
    EXPECT_EQ(GetIPAddress(name), QStringLiteral("127.0.0.1"));
    QString unresolvable = QStringLiteral("no-such-host.vessamo.invalid");
    QString roundTrip, dataSize;
    bool dataMatch = false;
    EXPECT_FALSE(Ping(unresolvable, roundTrip, dataSize, dataMatch));
    QString loopback = QStringLiteral("127.0.0.1");
    // An unprivileged process may open no ICMP socket at all; CI runs as root.
    if (Ping(loopback, roundTrip, dataSize, dataMatch)) {
        EXPECT_EQ(dataSize, QStringLiteral("32 bytes"));
        EXPECT_TRUE(dataMatch);
    } else {
        EXPECT_NE(::geteuid(), 0u) << "root can always ping the loopback address";
    }
}
