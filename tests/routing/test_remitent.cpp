// The sender of a stored message and the forward-to field, row by row over the forms a
// From: header takes in real mail.
#include "routing/remitent.h"

#include <gtest/gtest.h>

using vessamo::routing::ExtreureRemitent;
using vessamo::routing::firstTextField;

TEST(ExtreureRemitent, FromHeaderForms)
{
    struct Row
    {
        const char *name;
        QByteArray message;
        bool found;
        const char *address;
        const char *display;
    };
    const QByteArray head = "Received: x\r\n";
    const QByteArray tail = "\r\nSubject: s\r\n\r\nbody\r\n";
    const Row rows[] = {
        {"name and bracketed address", head + "From: Joan Puig <joan@example.org>" + tail, true,
         "joan@example.org", "Joan Puig"},
        {"quoted name", head + "From: \"Puig, Joan\" <joan@example.org>" + tail, true,
         "joan@example.org", "Puig, Joan"},
        {"bracketed address only", head + "From: <joan@example.org>" + tail, true,
         "joan@example.org", "joan@example.org"},
        {"blanks inside the brackets", head + "From: J < joan @example.org >" + tail, true,
         "joan@example.org", "J"},
        {"address and comment", head + "From: joan@example.org (Joan Puig)" + tail, true,
         "joan@example.org", "Joan Puig"},
        {"comment without closing parenthesis", head + "From: joan@example.org (Joan" + tail, true,
         "joan@example.org", "Joan"},
        {"bare address", head + "From:   joan@example.org  " + tail, true, "joan@example.org",
         "joan@example.org"},
        {"folded: address on the next line",
         head + "From: \"Joan Puig\"\r\n <joan@example.org>" + tail, true, "joan@example.org",
         "Joan Puig"},
        {"upper-case header", head + "FROM: a@b.c" + tail, true, "a@b.c", "a@b.c"},
        {"lower-case header", head + "from: a@b.c" + tail, true, "a@b.c", "a@b.c"},
        {"mixed case is not recognised", head + "FrOm: a@b.c" + tail, false, "", ""},
        {"no From: at all", head + "Subject: s\r\n\r\nbody\r\n", false, "", ""},
        {"From: on the very first line", "From: J <a@b.c>\r\nSubject: s\r\n\r\nx\r\n", true,
         "a@b.c", "J"},
        {"first-line From: before a body From:", "From: a@b.c\r\n\r\nFrom: z@y.x\r\n", true,
         "a@b.c", "a@b.c"},
        {"first-line FROM: loses to a later From:", "FROM: up@x.y\r\nFrom: mixed@x.y" + tail, true,
         "mixed@x.y", "mixed@x.y"},
        {"From: alone without line end", "From: a@b.c", false, "", ""},
        {"body line used when the header is missing",
         head + "Subject: s\r\n\r\nFrom: body@example.org\r\n", true, "body@example.org",
         "body@example.org"},
        {"\"From:\" wins over an earlier \"FROM:\"",
         head + "FROM: upper@x.y\r\nFrom: mixed@x.y" + tail, true, "mixed@x.y", "mixed@x.y"},
        {"bracket without closing", head + "From: Joan <joan@example.org" + tail, false, "", ""},
        {"From: line without its line end", head + "From: a@b.c", false, "", ""},
        {"bracket two lines down is not taken", head + "From: a@b.c\r\nX: y\r\nTo: <t@u.v>" + tail,
         true, "a@b.c", "a@b.c"},
        {"parenthesis on a later line is not taken", head + "From: a@b.c\r\nX: (y)" + tail, true,
         "a@b.c", "a@b.c"},
        {"bracket on the last line, no line after it: not taken", head + "From: Joan <j@x.y>\r\n",
         true, "Joan <j@x.y>", "Joan <j@x.y>"},
        // A bare line end inside the address would split the MAIL FROM command.
        {"bare LF in a bare address", head + "From: a@b.c\nRCPT TO:x@y.z" + tail, false, "", ""},
        {"bare CR in a bracketed address", head + "From: J <a@b.c\r>" + tail, false, "", ""},
        {"bare LF before a comment", head + "From: a\nb@c.d (J)" + tail, false, "", ""},
        {"8-bit display name", head + "From: Jo\xe0n <j@x.y>" + tail, true, "j@x.y", "Jo\xc3\xa0n"},
    };
    for (const Row &row : rows) {
        const auto sender = ExtreureRemitent(row.message);
        ASSERT_EQ(sender.has_value(), row.found) << row.name;
        if (!sender)
            continue;
        EXPECT_EQ(sender->address, QString::fromUtf8(row.address)) << row.name;
        EXPECT_EQ(sender->displayName, QString::fromUtf8(row.display)) << row.name;
    }
}

TEST(FirstTextField, ForwardToFile)
{
    struct Row
    {
        QByteArray bytes;
        const char *field;
    };
    const Row rows[] = {
        {"ana@example.org", "ana@example.org"},
        {"ana@example.org;joan@example.org", "ana@example.org;joan@example.org"},
        {"   ana@x.y", "ana@x.y"},
        {"ana@x.y,joan@x.y", "ana@x.y"},
        {"ana@x.y\r\njoan@x.y", "ana@x.y"},
        {"\"ana, x\"@y", "ana, x"},
        {"\"unterminated", "unterminated"},
        {"\"ana@x.y\r\njoan@x.y\"", "ana@x.y"},
        {"", ""},
        {"   ", ""},
    };
    for (const Row &row : rows)
        EXPECT_EQ(firstTextField(row.bytes), QString::fromUtf8(row.field)) << row.bytes.constData();
}
