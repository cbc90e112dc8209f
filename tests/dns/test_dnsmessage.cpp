// The MX wire format on its own: the query datagram, name encoding and decoding with their
// bounds, and the reading of replies, well-formed, broken and truncated.
#include "dns/dnsmessage.h"
#include "support/fakedns.h"

#include <gtest/gtest.h>

using namespace vessamo::dns;
using namespace vessamo::test;
using namespace Qt::StringLiterals;

namespace {

QByteArray bytes(std::initializer_list<int> octets)
{
    QByteArray result;
    for (int octet : octets)
        result.append(char(octet));
    return result;
}

TEST(MxQueryDatagram, HeaderQuestionTypeAndClass)
{
    EXPECT_EQ(
        buildMxQuery(u"example.com"_s).toHex(' '),
        QByteArray::fromHex("11DF 0100 0001 0000 0000 0000 076578616d706c6503636f6d00 000F 0001")
            .toHex(' '));
    EXPECT_TRUE(buildMxQuery(u"ab..cd"_s).isEmpty());
}

TEST(EncodeDnsName, Table)
{
    const QString label63(63, u'a');
    // Three labels of 63 octets and one of `last`: 255 octets with the final zero at 61.
    const auto longName
        = [&](int last) { return QStringList(3, label63).join(u'.') + u'.' + QString(last, u'b'); };
    const QByteArray wire255
        = (char(63) + QByteArray(63, 'a')).repeated(3) + char(61) + QByteArray(61, 'b');
    const std::tuple<const char *, QString, QByteArray> rows[] = {
        {"two labels", u"ab.cd"_s, bytes({2, 'a', 'b', 2, 'c', 'd'})},
        {"final dot is the root", u"ab.cd."_s, bytes({2, 'a', 'b', 2, 'c', 'd'})},
        {"Windows-1252 octet", u"café.cat"_s, bytes({4, 'c', 'a', 'f', 0xE9, 3, 'c', 'a', 't'})},
        {"63-octet label fits", label63 + u".com"_s, char(63) + label63.toLatin1() + "\3com"},
        {"64-octet label would read as a pointer", QString(64, u'a') + u".com"_s, {}},
        {"empty label inside", u"ab..cd"_s, {}},
        {"only the root", u"."_s, {}},
        {"255 octets fit", longName(61), wire255},
        {"256 octets do not", longName(62), {}},
    };
    for (const auto &[why, domain, expected] : rows)
        EXPECT_EQ(EncodeDnsName(domain).toHex(' '), expected.toHex(' ')) << why;
}

TEST(DecodeDnsName, Table)
{
    // Offset 0 holds "ab.cd"; names under test start at offset 7.
    const QByteArray base = bytes({2, 'a', 'b', 2, 'c', 'd', 0});
    QByteArray chain = base; // forty pointers, each to the next, the last to "ab.cd"
    for (int i = 0; i < 40; ++i)
        chain += bytes({0xC0, i == 39 ? 0 : int(chain.size()) + 2});
    using Row = std::tuple<const char *, QByteArray, qsizetype, std::optional<QString>, qsizetype>;
    // clang-format off
    const Row rows[] = {
        {"plain name", base, 0, u"ab.cd"_s, 7},
        {"root name", bytes({0}), 0, QString(), 1},
        {"pointer to an earlier name", base + bytes({0xC0, 0}), 7, u"ab.cd"_s, 9},
        {"label then pointer", base + bytes({1, 'x', 0xC0, 3}), 7, u"x.cd"_s, 11},
        {"long chain of pointers is no loop", chain, 7, u"ab.cd"_s, 9},
        {"pointer to itself", base + bytes({0xC0, 7}), 7, std::nullopt, 0},
        {"two pointers to each other", base + bytes({0xC0, 9, 0xC0, 7}), 7, std::nullopt, 0},
        {"pointer past the end", base + bytes({0xC0, 200}), 7, std::nullopt, 0},
        {"pointer cut after one octet", base + bytes({0xC0}), 7, std::nullopt, 0},
        {"label longer than the rest", bytes({5, 'a', 'b'}), 0, std::nullopt, 0},
        {"no final zero", bytes({2, 'a', 'b'}), 0, std::nullopt, 0},
        {"extended label type", bytes({0x41, 'a', 0}), 0, std::nullopt, 0},
        {"over 255 octets", (char(63) + QByteArray(63, 'a')).repeated(4) + '\0', 0, std::nullopt, 0},
        {"start past the end", base, 7, std::nullopt, 0},
    };
    // clang-format on
    for (const auto &[why, reply, start, name, after] : rows) {
        qsizetype position = start;
        EXPECT_EQ(DecodeDnsName(reply, position), name) << why;
        EXPECT_EQ(position, name ? after : start) << why;
    }
}

// One MX record for "mx.example.com" (18 octets of data) whose data length says `length`.
QByteArray withDataLength(int length)
{
    QByteArray reply = dnsReply(u"example.com"_s, {mxRecord(10, u"mx.example.com"_s)});
    reply.replace(reply.size() - 20, 2, u16(length));
    return reply;
}

TEST(ReadMxReply, Table)
{
    // The question name at 12, the answer at 29, its data at 41, the exchange name at 43.
    const QString q = u"example.com"_s;
    // clang-format off
    const std::tuple<const char *, QByteArray, QString, bool> rows[] = {
        {"20, 10, 10: the first of the two tens", dnsReply(q, {mxRecord(20, u"mx20"_s),
         mxRecord(10, u"first"_s), mxRecord(10, u"second"_s)}), u"first"_s, false},
        {"preferences are unsigned: 0 beats 65535",
         dnsReply(q, {mxRecord(65535, u"b"_s), mxRecord(0, u"a"_s)}), u"a"_s, false},
        {"alias first hides the MX records after it",
         dnsReply(q, {dnsRecord(5, dnsName(u"other.example"_s)), mxRecord(10, u"mx"_s)}), {}, false},
        {"alias after an MX keeps what was found",
         dnsReply(q, {mxRecord(10, u"mx"_s), dnsRecord(5, dnsName(u"x.example"_s))}), u"mx"_s, false},
        {"blank exchange names are passed over", dnsReply(q, {mxRecord(0, QString()),
         mxRecord(1, u" "_s), mxRecord(30, u"real"_s)}), u"real"_s, false},
        {"exchange compressed against the question",
         dnsReply(q, {dnsRecord(15, bytes({0, 10, 4, 'm', 'a', 'i', 'l', 0xC0, 12}))}),
         u"mail.example.com"_s, false},
        {"exchange whose pointer loops",
         dnsReply(q, {dnsRecord(15, bytes({0, 10, 1, 'x', 0xC0, 43}))}), {}, true},
        {"a bad record drops what came before",
         dnsReply(q, {mxRecord(5, u"good"_s), dnsRecord(15, bytes({0, 10, 0xC0, 0xFF}))}), {}, true},
        {"no answer", dnsReply(q), {}, false},
        {"more answers announced than present", dnsReply(q, {mxRecord(10, u"mx"_s)}, 2), {}, true},
        {"data length as sent", withDataLength(18), u"mx.example.com"_s, false},
        {"data length shorter than the preference", withDataLength(1), {}, true},
        {"data length shorter than the exchange", withDataLength(4), {}, true},
        {"data length past the end", withDataLength(0x7F), {}, true},
    };
    // clang-format on
    for (const auto &[why, reply, bestHost, malformed] : rows) {
        const MxReply read = readMxReply(reply).value();
        EXPECT_EQ(read.bestHost, bestHost) << why;
        EXPECT_EQ(read.malformed, malformed) << why;
    }
    EXPECT_EQ(readMxReply(dnsReply(q, {}, 0, 0xBEEF)).value().identifier, 0xBEEF);
}

TEST(ReadMxReply, EveryTruncatedPrefixGivesNoResult)
{
    const QByteArray full = dnsReply(u"example.com"_s,
                                     {mxRecord(20, u"b.example.com"_s),
                                      dnsRecord(15, bytes({0, 10, 1, 'a', 0xC0, 12})),
                                      mxRecord(30, u"c.example.com"_s)});
    ASSERT_EQ(readMxReply(full)->bestHost, u"a.example.com"_s);
    EXPECT_FALSE(readMxReply(full.left(kHeaderSize - 1)).has_value());
    for (qsizetype length = kHeaderSize; length < full.size(); ++length) {
        const MxReply reply = readMxReply(full.left(length)).value();
        EXPECT_TRUE(reply.bestHost.isEmpty() && reply.malformed) << "prefix of " << length;
    }
}

} // namespace
