// Base64 coding: RFC 4648 vectors, the 76-character line layout with CR LF, the
// in-place padding of the caller's bytes, and the decoder's handling of line breaks,
// padding and characters outside the alphabet. QByteArray::toBase64 is the reference.
#include "mail/modcorreu.h"
#include "platform/ansi.h"

#include <QList>
#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace vessamo::mail;

namespace {

// Standard Base64 cut into 76-character lines, each followed by CR LF.
QByteArray referenceLines(const QByteArray &bytes)
{
    const QByteArray flat = bytes.toBase64();
    QByteArray out;
    for (qsizetype i = 0; i < flat.size(); i += 76)
        out += flat.mid(i, 76) + "\r\n";
    return out.isEmpty() ? QByteArrayLiteral("\r\n") : out;
}

QByteArray randomBytes(qsizetype n, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray bytes(n, '\0');
    for (char &c : bytes)
        c = char(rng.bounded(256));
    return bytes;
}

struct Vector
{
    const char *plain;
    const char *encoded;
};

// RFC 4648 section 10.
const Vector kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

} // namespace

TEST(Base64, EncodesRfc4648VectorsWithFinalCrLf)
{
    for (const Vector &v : kRfc4648) {
        QByteArray input(v.plain);
        EXPECT_EQ(Base64Encode(input), QByteArray(v.encoded) + "\r\n") << v.plain;
    }
}

TEST(Base64, DecodesRfc4648Vectors)
{
    for (const Vector &v : kRfc4648) {
        const QString encoded = QString::fromLatin1(v.encoded);
        EXPECT_EQ(Base64DecodeBytes(encoded), QByteArray(v.plain)) << v.encoded;
        EXPECT_EQ(Base64DecodeBytes(encoded + QStringLiteral("\r\n")), QByteArray(v.plain));
    }
}

TEST(Base64, PadsCallersArrayInPlaceToMultipleOfThree)
{
    const struct
    {
        QByteArray in;
        QByteArray after;
    } rows[] = {
        {"f", QByteArray("f\0\0", 3)},
        {"fo", QByteArray("fo\0", 3)},
        {"foo", "foo"},
        {"foob", QByteArray("foob\0\0", 6)},
    };
    for (const auto &row : rows) {
        QByteArray bytes = row.in;
        Base64Encode(bytes);
        EXPECT_EQ(bytes, row.after) << row.in.constData();
    }
}

TEST(Base64, FiftySevenBytesFillExactlyOneLine)
{
    QByteArray bytes = randomBytes(57, 1);
    const QByteArray original = bytes;
    const QByteArray out = Base64Encode(bytes);
    ASSERT_EQ(out.size(), 78);
    EXPECT_TRUE(out.endsWith("\r\n"));
    EXPECT_EQ(out.indexOf("\r\n"), 76);
    EXPECT_EQ(out, referenceLines(original));
}

TEST(Base64, FiftyEightBytesStartASecondLineEndingInPadding)
{
    QByteArray bytes = randomBytes(58, 2);
    const QByteArray original = bytes;
    const QByteArray out = Base64Encode(bytes);
    const QList<QByteArray> lines = out.split('\n');
    ASSERT_EQ(lines.size(), 3); // two lines and the empty rest after the final LF
    EXPECT_EQ(lines[0].size(), 77);
    EXPECT_TRUE(lines[0].endsWith('\r'));
    EXPECT_EQ(lines[1].size(), 5);
    EXPECT_TRUE(lines[1].endsWith("==\r"));
    EXPECT_TRUE(lines[2].isEmpty());
    EXPECT_EQ(out, referenceLines(original));
}

TEST(Base64, LinesMatchReferenceForManyLengths)
{
    for (qsizetype n : {0, 1, 2, 3, 56, 113, 114, 115, 171, 11400, 11401}) {
        QByteArray bytes = randomBytes(n, quint32(n) + 7);
        const QByteArray original = bytes;
        EXPECT_EQ(Base64Encode(bytes), referenceLines(original)) << n;
    }
}

TEST(Base64, EncodeTextEmptyGivesEmpty)
{
    EXPECT_TRUE(Base64EncodeText(QString()).isEmpty());
    EXPECT_TRUE(Base64EncodeText(QStringLiteral("")).isEmpty());
}

TEST(Base64, EncodeTextUsesWindows1252Bytes)
{
    EXPECT_EQ(Base64EncodeText(QStringLiteral("abc")), QStringLiteral("YWJj\r\n"));
    // é is 0xE9 and € is 0x80 in Windows-1252, one byte each.
    EXPECT_EQ(Base64EncodeText(QStringLiteral("\u00e9")), QStringLiteral("6Q==\r\n"));
    EXPECT_EQ(Base64EncodeText(QStringLiteral("\u20ac")), QStringLiteral("gA==\r\n"));
}

TEST(Base64, DecodeGivesOneCharacterPerByteInWindows1252)
{
    EXPECT_EQ(Base64Decode(QStringLiteral("6Q==")), QStringLiteral("\u00e9"));
    EXPECT_EQ(Base64Decode(QStringLiteral("gA==")), QStringLiteral("\u20ac"));
    // The AUTH LOGIN challenges.
    EXPECT_EQ(Base64Decode(QStringLiteral("VXNlcm5hbWU6")), QStringLiteral("Username:"));
    EXPECT_EQ(Base64Decode(QStringLiteral("UGFzc3dvcmQ6")), QStringLiteral("Password:"));
}

TEST(Base64, DecodesMultiLineEncoderOutput)
{
    QByteArray bytes = randomBytes(1000, 3);
    const QByteArray original = bytes;
    const QByteArray encoded = Base64Encode(bytes);
    ASSERT_GT(encoded.count("\r\n"), 10);
    EXPECT_EQ(Base64DecodeBytes(QString::fromLatin1(encoded)), original);
}

TEST(Base64, CharacterOutsideAlphabetGivesEmpty)
{
    const QString rows[] = {
        QStringLiteral("Zm9v YmFy"),     QStringLiteral("Zm9v*mFy"),
        QStringLiteral("Zm9v-_Fy"),      QStringLiteral("Zm9v\nYmFy"),
        QStringLiteral("Zm9v\rYmFy"),    QStringLiteral("Zm9v\n\rYmFy"),
        QStringLiteral("Zm9v\u00e9mFy"), QStringLiteral("Zm9vYmF\t"),
        QString(QChar(u'\0')),           QStringLiteral(" "),
    };
    for (const QString &row : rows) {
        EXPECT_TRUE(Base64Decode(row).isEmpty()) << row.toStdString();
        EXPECT_TRUE(Base64DecodeBytes(row).isEmpty()) << row.toStdString();
    }
}

TEST(Base64, PaddingInTheMiddleEndsOnlyItsGroup)
{
    const struct
    {
        QString in;
        QByteArray out;
    } rows[] = {
        {QStringLiteral("Zg==Zm8="), "ffo"},
        {QStringLiteral("Zm8=Zm9v"), "fofoo"},
        {QStringLiteral("Zg==\r\nZg=="), "ff"},
        // Padding at the first or second place of a group leaves nothing of it.
        {QStringLiteral("====Zm9v"), "foo"},
        {QStringLiteral("Z===Zm9v"), "foo"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Base64DecodeBytes(row.in), row.out) << row.in.toStdString();
}

TEST(Base64, GroupCutShortYieldsOnlyTheBytesItCarries)
{
    // Unpadded input (RFC 4648 section 3.2): the missing characters must not invent
    // zero bytes at the end.
    const struct
    {
        QString in;
        QByteArray out;
    } rows[] = {
        {QStringLiteral("Zm9vYg"), "foob"},
        {QStringLiteral("Zm9vYmE"), "fooba"},
        {QStringLiteral("Zm9vY"), "foo"},
        {QStringLiteral("Zg"), "f"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Base64DecodeBytes(row.in), row.out) << row.in.toStdString();
}

TEST(Base64, RoundTripsRandomBinaryOfManyLengths)
{
    for (qsizetype n = 0; n <= 400; ++n) {
        QByteArray bytes = randomBytes(n, quint32(n) * 31 + 5);
        const QByteArray original = bytes;
        const QString encoded = QString::fromLatin1(Base64Encode(bytes));
        ASSERT_EQ(Base64DecodeBytes(encoded), original) << n;
        // The text form keeps every byte value as one character.
        ASSERT_EQ(vessamo::platform::toAnsi(Base64Decode(encoded)), original) << n;
    }
}
