// The MX wire format on its own: the query datagram, name decoding with its guards, and
// the reading of replies, well-formed and broken, including every truncation.
#include "dns/dnsmessage.h"
#include "dns/fakedns.h"

#include <gtest/gtest.h>

using namespace vessamo::dns;
using vessamo::test::ReplyBuilder;

namespace {

QByteArray bytes(std::initializer_list<int> octets)
{
    QByteArray result;
    for (int octet : octets)
        result.append(char(octet));
    return result;
}

TEST(MxQueryDatagram, ElevenCharacterDomainInTwoLabelsIsTwentyNineOctets)
{
    const QByteArray expected = bytes({0x11, 0xDF, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 7,    'e',  'x',  'a',  'm',  'p',  'l',  'e',
                                       3,    'c',  'o',  'm',  0,    0x00, 0x0F, 0x00, 0x01});
    const QByteArray datagram = buildMxQuery(QStringLiteral("example.com"));
    EXPECT_EQ(datagram.size(), 29);
    EXPECT_EQ(datagram.toHex(' '), expected.toHex(' '));
}

TEST(MxQueryDatagram, LengthIsDomainLengthPlusEighteen)
{
    for (const char *domain : {"ab.cd", "mail.example.org", "a.b.c.d.e.f", "x.example.museum"}) {
        const QString text = QString::fromLatin1(domain);
        EXPECT_EQ(buildMxQuery(text).size(), text.size() + 18) << domain;
    }
}

struct EncodeRow
{
    const char *why;
    QString domain;
    QByteArray expected; // empty: refused
};

TEST(EncodeDnsName, Table)
{
    const QString label63(63, u'a');
    const QString label64(64, u'a');
    const EncodeRow rows[] = {
        {"two labels", QStringLiteral("ab.cd"), bytes({2, 'a', 'b', 2, 'c', 'd'})},
        {"final dot is the root", QStringLiteral("ab.cd."), bytes({2, 'a', 'b', 2, 'c', 'd'})},
        {"one label", QStringLiteral("local"), bytes({5, 'l', 'o', 'c', 'a', 'l'})},
        {"Windows-1252 octet", QStringLiteral(u"caf\u00e9.cat"),
         bytes({4, 'c', 'a', 'f', 0xE9, 3, 'c', 'a', 't'})},
        {"63-octet label fits", label63 + QStringLiteral(".com"),
         QByteArray(1, char(63)) + label63.toLatin1() + bytes({3, 'c', 'o', 'm'})},
        {"64-octet label would read as a pointer", label64 + QStringLiteral(".com"), {}},
        {"empty label inside", QStringLiteral("ab..cd"), {}},
        {"leading dot", QStringLiteral(".ab.cd"), {}},
        {"only the root", QStringLiteral("."), {}},
        {"over 255 octets", QStringList(5, label63).join(u'.'), {}},
    };
    for (const EncodeRow &row : rows)
        EXPECT_EQ(EncodeDnsName(row.domain).toHex(' '), row.expected.toHex(' ')) << row.why;
}

struct DecodeRow
{
    const char *why;
    QByteArray reply;
    qsizetype start;
    std::optional<QString> name;
    qsizetype after; // position after the name, when it decodes
};

TEST(DecodeDnsName, Table)
{
    // Offset 0 holds "ab.cd"; names under test start at offset 7.
    const QByteArray base = bytes({2, 'a', 'b', 2, 'c', 'd', 0});
    const DecodeRow rows[] = {
        {"plain name", base, 0, QStringLiteral("ab.cd"), 7},
        {"root name", bytes({0}), 0, QString(), 1},
        {"pointer to an earlier name", base + bytes({0xC0, 0}), 7, QStringLiteral("ab.cd"), 9},
        {"label then pointer", base + bytes({1, 'x', 0xC0, 3}), 7, QStringLiteral("x.cd"), 11},
        {"pointer to itself", base + bytes({0xC0, 7}), 7, std::nullopt, 0},
        {"two pointers to each other", base + bytes({0xC0, 9, 0xC0, 7}), 7, std::nullopt, 0},
        {"label and pointer back to it", base + bytes({1, 'x', 0xC0, 7}), 7, std::nullopt, 0},
        {"pointer past the end", base + bytes({0xC0, 200}), 7, std::nullopt, 0},
        {"pointer cut after one octet", base + bytes({0xC0}), 7, std::nullopt, 0},
        {"label longer than the rest", bytes({5, 'a', 'b'}), 0, std::nullopt, 0},
        {"no final zero", bytes({2, 'a', 'b'}), 0, std::nullopt, 0},
        {"extended label type", bytes({0x41, 'a', 0}), 0, std::nullopt, 0},
        {"start past the end", base, 7, std::nullopt, 0},
    };
    for (const DecodeRow &row : rows) {
        qsizetype position = row.start;
        const std::optional<QString> name = DecodeDnsName(row.reply, position);
        EXPECT_EQ(name, row.name) << row.why;
        EXPECT_EQ(position, row.name ? row.after : row.start) << row.why;
    }
}

TEST(DecodeDnsName, LongPointerChainToValidNameIsNotMistakenForALoop)
{
    // Forty pointers, each to the next, the last to "ab.cd": legal, if wasteful.
    QByteArray reply = bytes({2, 'a', 'b', 2, 'c', 'd', 0});
    for (int i = 0; i < 40; ++i) {
        const int next = i == 39 ? 0 : int(reply.size()) + 2;
        reply.append(bytes({0xC0, next}));
    }
    qsizetype position = 7;
    EXPECT_EQ(DecodeDnsName(reply, position), QStringLiteral("ab.cd"));
    EXPECT_EQ(position, 9);
}

struct ReplyRow
{
    const char *why;
    QByteArray reply;
    QString bestHost;
    bool malformed;
};

QByteArray mxData(int preference, const QByteArray &name)
{
    return bytes({preference >> 8, preference & 0xff}) + name;
}

// One MX record for "mx.example.com" (18 octets of data) whose data length says `length`.
QByteArray withDataLength(int length)
{
    QByteArray reply = ReplyBuilder(QStringLiteral("example.com"))
                           .mx(10, QStringLiteral("mx.example.com"))
                           .build();
    const qsizetype at = reply.size() - 18 - 2;
    reply[at] = char(length >> 8);
    reply[at + 1] = char(length & 0xff);
    return reply;
}

QList<ReplyRow> replyRows()
{
    const QString q = QStringLiteral("example.com");
    // Question name at 12, answer at 29, its data at 52, the exchange name at 54.
    return {
        {"20, 10, 10: the first of the two tens",
         ReplyBuilder(q)
             .mx(20, QStringLiteral("mx20.example.com"))
             .mx(10, QStringLiteral("first10.example.com"))
             .mx(10, QStringLiteral("second10.example.com"))
             .build(),
         QStringLiteral("first10.example.com"), false},
        {"single MX", ReplyBuilder(q).mx(5, QStringLiteral("mail.example.com")).build(),
         QStringLiteral("mail.example.com"), false},
        {"preference 0 beats 65535",
         ReplyBuilder(q)
             .mx(65535, QStringLiteral("b.example"))
             .mx(0, QStringLiteral("a.example"))
             .build(),
         QStringLiteral("a.example"), false},
        {"alias first hides the MX records after it",
         ReplyBuilder(q)
             .cname(QStringLiteral("other.example.com"))
             .mx(10, QStringLiteral("mx.other.example.com"))
             .build(),
         QString(), false},
        {"alias after an MX keeps what was found",
         ReplyBuilder(q)
             .mx(10, QStringLiteral("mx.example.com"))
             .cname(QStringLiteral("x.example.com"))
             .build(),
         QStringLiteral("mx.example.com"), false},
        {"empty exchange name is passed over",
         ReplyBuilder(q).mx(0, QString()).mx(30, QStringLiteral("real.example.com")).build(),
         QStringLiteral("real.example.com"), false},
        {"blank exchange name is passed over",
         ReplyBuilder(q)
             .mx(0, QStringLiteral(" "))
             .mx(30, QStringLiteral("real.example.com"))
             .build(),
         QStringLiteral("real.example.com"), false},
        {"exchange compressed against the question",
         ReplyBuilder(q).record(15, mxData(10, bytes({4, 'm', 'a', 'i', 'l', 0xC0, 12}))).build(),
         QStringLiteral("mail.example.com"), false},
        {"exchange whose pointer loops",
         ReplyBuilder(q).record(15, mxData(10, bytes({1, 'x', 0xC0, 54}))).build(), QString(),
         true},
        {"exchange pointer past the end",
         ReplyBuilder(q)
             .mx(5, QStringLiteral("good.example"))
             .record(15, mxData(10, bytes({0xC0, 0xFF})))
             .build(),
         QString(), true},
        {"answer count 0", ReplyBuilder(q).build(), QString(), false},
        {"more answers announced than present",
         ReplyBuilder(q).mx(10, QStringLiteral("mx.example.com")).answerCount(2).build(), QString(),
         true},
        {"data length as sent", withDataLength(18), QStringLiteral("mx.example.com"), false},
        {"data length shorter than the preference", withDataLength(1), QString(), true},
        {"data length shorter than the exchange", withDataLength(4), QString(), true},
        {"data length past the end", withDataLength(0x7F), QString(), true},
    };
}

TEST(ReadMxReply, Table)
{
    for (const ReplyRow &row : replyRows()) {
        const std::optional<MxReply> reply = readMxReply(row.reply);
        ASSERT_TRUE(reply.has_value()) << row.why;
        EXPECT_EQ(reply->bestHost, row.bestHost) << row.why;
        EXPECT_EQ(reply->malformed, row.malformed) << row.why;
        EXPECT_EQ(reply->identifier, 4575) << row.why;
    }
}

TEST(ReadMxReply, HeaderFields)
{
    const QByteArray reply
        = ReplyBuilder(QStringLiteral("example.com")).identifier(0xBEEF).answerCount(0).build();
    const std::optional<MxReply> read = readMxReply(reply);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->identifier, 0xBEEF);
    EXPECT_EQ(read->answerCount, 0);
    EXPECT_FALSE(readMxReply(reply.left(11)).has_value());
    EXPECT_FALSE(readMxReply(QByteArray()).has_value());
}

TEST(ReadMxReply, EveryTruncatedPrefixGivesNoResult)
{
    const QByteArray full = ReplyBuilder(QStringLiteral("example.com"))
                                .mx(20, QStringLiteral("b.example.com"))
                                .record(15, mxData(10, bytes({1, 'a', 0xC0, 12})))
                                .mx(30, QStringLiteral("c.example.com"))
                                .build();
    ASSERT_EQ(readMxReply(full)->bestHost, QStringLiteral("a.example.com"));
    for (qsizetype length = 0; length < full.size(); ++length) {
        const std::optional<MxReply> reply = readMxReply(full.left(length));
        if (reply) {
            EXPECT_TRUE(reply->bestHost.isEmpty()) << "prefix of " << length << " octets";
            EXPECT_TRUE(reply->malformed) << "prefix of " << length << " octets";
        }
    }
}

} // namespace
