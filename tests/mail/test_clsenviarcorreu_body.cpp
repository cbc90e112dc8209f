// Tests of the body preparation (dot-stuffing and folding for the DATA phase) and of the
// Date header's zone text, both from fixed offsets and from the system zone under TZ.
#include "mail/clsenviarcorreu.h"
#include "support/tempenv.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using vessamo::mail::PrepareBody;
using vessamo::mail::SystemTimeZoneSuffix;
using vessamo::mail::TimeZoneSuffix;
using vessamo::test::ScopedEnv;

namespace {

QList<QByteArray> piecesOf(const QByteArray &text, const QByteArray &separator)
{
    QList<QByteArray> out;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = text.indexOf(separator, start);
        out.append(text.mid(start, end < 0 ? -1 : end - start));
        if (end < 0)
            return out;
        start = end + separator.size();
    }
}

struct StuffRow
{
    const char *name;
    QByteArray given;
    QByteArray expected;
};

class DotStuffingTest : public ::testing::TestWithParam<StuffRow>
{
};

TEST_P(DotStuffingTest, LeadingDotsDoubled)
{
    EXPECT_EQ(PrepareBody(GetParam().given), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DotStuffingTest,
    ::testing::Values(StuffRow {"empty", "", ""},
                      StuffRow {"lone_dot_line", "a\r\n.\r\nb", "a\r\n..\r\nb"},
                      StuffRow {"first_line_dot", ".hidden\r\nx", "..hidden\r\nx"},
                      StuffRow {"dot_only_text", ".", ".."},
                      StuffRow {"double_dot_line", "..\r\n", "...\r\n"},
                      StuffRow {"dots_inside_lines", "a.b\r\n x.\r\n", "a.b\r\n x.\r\n"},
                      StuffRow {"last_line_dot", "end\r\n.", "end\r\n.."},
                      // Bare CR lines keep their bare CR and are stuffed line by line.
                      StuffRow {"cr_only", "a\r.b\r.\rc", "a\r..b\r..\rc"},
                      StuffRow {"cr_only_no_lf_added", ".\r", "..\r"},
                      // A bare LF ends a line for many servers: the dot after it is stuffed too.
                      StuffRow {"lf_only", "a\n.\nb", "a\n..\nb"},
                      StuffRow {"bare_lf_inside_crlf_text", "a\r\nb\n.\r\nc", "a\r\nb\n..\r\nc"},
                      // And so does a bare CR inside text that has CR LF line ends.
                      StuffRow {"bare_cr_inside_crlf_text", "a\r.b\r\n.c", "a\r..b\r\n..c"},
                      StuffRow {"cr_then_crlf", ".\r\r\n.", "..\r\r\n.."}),
    [](const ::testing::TestParamInfo<StuffRow> &row) { return std::string(row.param.name); });

TEST(PrepareBodyFolding, LongLineWithoutBlanksCutEvery998)
{
    const QByteArray line(2500, 'x');
    const QList<QByteArray> crlf = piecesOf(PrepareBody("head\r\n" + line + "\r\ntail"), "\r\n");
    ASSERT_EQ(crlf.size(), 5);
    EXPECT_EQ(crlf[1].size(), 998);
    EXPECT_EQ(crlf[2].size(), 998);
    EXPECT_EQ(crlf[3].size(), 504);
    EXPECT_EQ(crlf[4], QByteArrayLiteral("tail"));

    // A text without any line end is folded with CR LF.
    const QList<QByteArray> single = piecesOf(PrepareBody(line), "\r\n");
    ASSERT_EQ(single.size(), 3);
    EXPECT_EQ(single[0].size() + single[1].size() + single[2].size(), 2500);
    EXPECT_EQ(single[2].size(), 504);
}

TEST(PrepareBodyFolding, LongLineCutAfterLastBlankWithinLimit)
{
    QByteArray line;
    while (line.size() < 2500)
        line += "aaaaaaaaa "; // a blank at every tenth octet
    const QByteArray prepared = PrepareBody(line + "\r\n");
    const QList<QByteArray> pieces = piecesOf(prepared, "\r\n");
    ASSERT_EQ(pieces.size(), 4);
    EXPECT_EQ(pieces[0].size(), 990); // the blank at octet 990 is the last one within 998
    EXPECT_EQ(pieces[1].size(), 990);
    EXPECT_EQ(pieces[2].size(), 520);
    EXPECT_TRUE(pieces[0].endsWith(' ') && pieces[1].endsWith(' '));
    EXPECT_TRUE(pieces[3].isEmpty());
    EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], line);
}

TEST(PrepareBodyFolding, LengthBoundaries)
{
    EXPECT_EQ(PrepareBody(QByteArray(998, 'y')), QByteArray(998, 'y'));
    EXPECT_EQ(PrepareBody(QByteArray(999, 'y')), QByteArray(998, 'y') + "\r\ny");
    // The stuffing dot does not count towards the limit: a 998-octet line that begins with
    // "." is sent whole (as 999 octets), and the receiver gets it unchanged.
    const QByteArray dotted = '.' + QByteArray(997, 'z');
    EXPECT_EQ(PrepareBody(dotted), '.' + dotted);
    const QByteArray longer = '.' + QByteArray(998, 'z');
    EXPECT_EQ(PrepareBody(longer), ".." + QByteArray(997, 'z') + "\r\nz");
}

TEST(PrepareBodyFolding, FoldedPieceStartingWithDotIsStuffed)
{
    // Without this, the second piece would be a lone "." line and end the data early.
    const QByteArray line = QByteArray(998, 'a') + ".";
    EXPECT_EQ(PrepareBody(line + "\r\nmore"), QByteArray(998, 'a') + "\r\n..\r\nmore");
}

TEST(PrepareBodyFolding, CrOnlyTextFoldsWithCr)
{
    const QByteArray prepared = PrepareBody("x\r" + QByteArray(1500, 'c'));
    EXPECT_FALSE(prepared.contains('\n'));
    EXPECT_EQ(prepared, "x\r" + QByteArray(998, 'c') + "\r" + QByteArray(502, 'c'));
}

// For random texts: no line the server sees is longer than 998 octets or a lone ".", and
// taking out the inserted line ends and the stuffing dots gives the text back.
TEST(PrepareBodyFolding, RandomTextsSurviveTheRoundTrip)
{
    QRandomGenerator random(20240517);
    const char alphabet[] = {'a', 'b', ' ', '.', '\xE9', '\0'};
    for (int round = 0; round < 200; ++round) {
        QByteArray text;
        const int lines = random.bounded(1, 6);
        for (int l = 0; l < lines; ++l) {
            const int length = random.bounded(0, 3000);
            for (int i = 0; i < length; ++i)
                text.append(alphabet[random.bounded(int(sizeof alphabet))]);
            if (l + 1 < lines)
                text.append("\r\n");
        }
        const QByteArray prepared = PrepareBody(text);
        QByteArray restored;
        for (const QByteArray &piece : piecesOf(prepared, "\r\n")) {
            // At most 998 octets of the line's own, plus the stuffing dot.
            ASSERT_LE(piece.size() - (piece.startsWith("..") ? 1 : 0), 998);
            ASSERT_NE(piece, QByteArrayLiteral("."));
            if (piece.startsWith('.')) {
                ASSERT_TRUE(piece.startsWith("..")) << round;
                restored += piece.mid(1);
            } else {
                restored += piece;
            }
        }
        QByteArray flat = text;
        flat.replace("\r\n", "");
        ASSERT_EQ(restored, flat) << round;
    }
}

// --- Time-zone suffix -----------------------------------------------------------------------

TEST(TimeZoneSuffixTest, FromBias)
{
    const std::pair<qint32, const char *> rows[] = {
        {-60, "+0100"},
        {300, "-0500"},
        {-330, "+0530"},
        {210, "-0330"},
        {0, "+0000"},
        {-345, "+0545"},
        {-840, "+1400"},
        {720, "-1200"},
        // Less than an hour behind UTC still carries its minus sign.
        {30, "-0030"},
    };
    for (const auto &[bias, text] : rows)
        EXPECT_EQ(TimeZoneSuffix(bias), QString::fromLatin1(text)) << bias;
}

TEST(TimeZoneSuffixTest, FromSystemZoneAtGivenMoment)
{
    const QDateTime winter
        = QDateTime::fromString(QStringLiteral("2026-01-15T12:00:00Z"), Qt::ISODate);
    const QDateTime summer
        = QDateTime::fromString(QStringLiteral("2026-07-15T12:00:00Z"), Qt::ISODate);
    ASSERT_TRUE(winter.isValid() && summer.isValid());
    struct Row
    {
        const char *zone;
        const char *winter;
        const char *summer;
    };
    const Row rows[] = {
        {"UTC", "+0000", "+0000"},
        {"Europe/Madrid", "+0100", "+0200"},
        {"Asia/Kolkata", "+0530", "+0530"},
        {"America/St_Johns", "-0330", "-0230"},
        {"America/New_York", "-0500", "-0400"},
        {"Asia/Kathmandu", "+0545", "+0545"},
    };
    for (const Row &row : rows) {
        const ScopedEnv tz("TZ", row.zone);
        EXPECT_EQ(SystemTimeZoneSuffix(winter), QString::fromLatin1(row.winter)) << row.zone;
        EXPECT_EQ(SystemTimeZoneSuffix(summer), QString::fromLatin1(row.summer)) << row.zone;
    }
}

} // namespace
