// Windows-1252 conversion: the code page's own characters round-trip, others become "?".
#include "platform/ansi.h"

#include <gtest/gtest.h>

using namespace vessamo::platform;

TEST(Ansi, CodePage)
{
    EXPECT_EQ(toAnsi(QString::fromUtf16(u"bústia €Œœ‘”·ÿ")),
              "b\xfastia \x80\x8c\x9c\x91\x94\xb7\xff");
    // Outside the code page: one "?" per UTF-16 unit, as Windows writes it.
    EXPECT_EQ(toAnsi(QString::fromUtf16(u"a\u4e2db\u0100\U0001F600")), "a?b???");
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, char(b));
        EXPECT_EQ(toAnsi(fromAnsi(one)), one) << b;
    }
}
