// Windows-1252 conversion: the code page's own characters round-trip, others become "?".
#include "platform/ansi.h"

#include <gtest/gtest.h>

using vessamo::platform::fromAnsi;
using vessamo::platform::toAnsi;

TEST(Ansi, CodePageCharacters)
{
    struct Row
    {
        const char16_t *text;
        QByteArray bytes;
    };
    const Row rows[] = {
        {u"bústia", QByteArray("b\xfastia")},
        {u"€", QByteArray("\x80")},
        {u"Œœ‘’“”", QByteArray("\x8c\x9c\x91\x92\x93\x94")},
        {u"ç·l", QByteArray("\xe7\xb7l")},
        {u"ÿ", QByteArray("\xff")},
    };
    for (const Row &row : rows) {
        const QString text = QString::fromUtf16(row.text);
        EXPECT_EQ(toAnsi(text), row.bytes) << text.toStdString();
        EXPECT_EQ(fromAnsi(row.bytes), text) << text.toStdString();
    }
}

TEST(Ansi, OutsideTheCodePageBecomesQuestionMark)
{
    EXPECT_EQ(toAnsi(QString::fromUtf16(u"a\u4e2db\u0100")), QByteArray("a?b?"));
    // A character outside the basic plane is two UTF-16 units: one "?" each, as Windows.
    EXPECT_EQ(toAnsi(QString::fromUtf16(u"\U0001F600")), QByteArray("??"));
}

TEST(Ansi, EveryByteDecodesAndMostRoundTrip)
{
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, static_cast<char>(b));
        EXPECT_EQ(toAnsi(fromAnsi(one)), one) << b;
    }
}
