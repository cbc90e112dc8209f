// Tests of the body preparation for the DATA phase (dot-stuffing and folding of long lines)
// and of the Date header's zone text.
#include "mail/clsenviarcorreu.h"
#include "support/tempenv.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using vessamo::mail::PrepareBody;

TEST(PrepareBody, StuffsAndFoldsEveryLine)
{
    struct Row
    {
        const char *name;
        QByteArray given;
        QByteArray expected;
    };
    const QByteArray x2500(2500, 'x');
    QByteArray blanks; // a blank at every tenth octet: cut after the last one within 998
    while (blanks.size() < 2500)
        blanks += "aaaaaaaaa ";
    const Row rows[] = {
        {"empty", "", ""},
        {"lone dot line", "a\r\n.\r\nb", "a\r\n..\r\nb"},
        {"first line", ".hidden\r\nx", "..hidden\r\nx"},
        {"dot only", ".", ".."},
        {"last line", "end\r\n.", "end\r\n.."},
        // Bare CR and bare LF end lines too, for servers that read line ends loosely.
        {"cr only", "a\r.b\r.\rc", "a\r..b\r..\rc"},
        {"lf only", "a\n.\nb", "a\n..\nb"},
        {"bare lf among crlf", "a\r\nb\n.\r\nc", "a\r\nb\n..\r\nc"},
        {"bare cr among crlf", "a\r.b\r\n.c", "a\r..b\r\n..c"},
        {"998 whole", QByteArray(998, 'y'), QByteArray(998, 'y')},
        {"999 cut", QByteArray(999, 'y'), QByteArray(998, 'y') + "\r\ny"},
        // The stuffing dot does not count towards the limit.
        {"dotted 998 whole", '.' + QByteArray(997, 'z'), ".." + QByteArray(997, 'z')},
        {"dotted 999 cut", '.' + QByteArray(998, 'z'), ".." + QByteArray(997, 'z') + "\r\nz"},
        // Else the second piece would be a lone "." line and end the data early.
        {"folded piece begins with a dot", QByteArray(998, 'a') + ".\r\nmore",
         QByteArray(998, 'a') + "\r\n..\r\nmore"},
        {"no blanks", "h\r\n" + x2500 + "\r\nt",
         "h\r\n" + x2500.left(998) + "\r\n" + x2500.mid(998, 998) + "\r\n" + x2500.mid(1996)
             + "\r\nt"},
        {"blanks", blanks + "\r\n",
         blanks.left(990) + "\r\n" + blanks.mid(990, 990) + "\r\n" + blanks.mid(1980) + "\r\n"},
        {"cr only folds with cr", "x\r" + QByteArray(1500, 'c'),
         "x\r" + QByteArray(998, 'c') + "\r" + QByteArray(502, 'c')},
    };
    for (const Row &row : rows)
        EXPECT_EQ(PrepareBody(row.given), row.expected) << row.name;
}

// For random texts: no line the server sees is longer than 998 octets or a lone ".", and
// taking out the inserted line ends and the stuffing dots gives the text back.
TEST(PrepareBody, RandomTextsSurviveTheRoundTrip)
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
        QByteArray restored;
        for (const QByteArray &piece : PrepareBody(text).split('\n')) {
            const QByteArray line = piece.endsWith('\r') ? piece.chopped(1) : piece;
            ASSERT_LE(line.size() - (line.startsWith("..") ? 1 : 0), 998) << round;
            ASSERT_NE(line, QByteArrayLiteral(".")) << round;
            ASSERT_TRUE(!line.startsWith('.') || line.startsWith("..")) << round;
            restored += line.startsWith('.') ? line.mid(1) : line;
        }
        text.replace("\r\n", "");
        ASSERT_EQ(restored, text) << round;
    }
}

// The Date header's zone text, which nothing sends yet: a smoke test.
TEST(TimeZoneSuffix, FromBiasAndFromSystemZone)
{
    // Less than an hour behind UTC still carries its minus sign.
    EXPECT_EQ(vessamo::mail::TimeZoneSuffix(30), QStringLiteral("-0030"));
    EXPECT_EQ(vessamo::mail::TimeZoneSuffix(-345), QStringLiteral("+0545"));
    const vessamo::test::ScopedEnv tz("TZ", "America/St_Johns");
    const QDateTime summer
        = QDateTime::fromString(QStringLiteral("2026-07-15T12:00:00Z"), Qt::ISODate);
    EXPECT_EQ(vessamo::mail::SystemTimeZoneSuffix(summer), QStringLiteral("-0230"));
}
