// The sender of a stored message and the forward-to field, row by row over the forms a
// From: header takes in real mail.
#include "routing/remitent.h"

#include <QBuffer>
#include <gtest/gtest.h>

using vessamo::routing::ExtreureRemitent;
using vessamo::routing::firstTextField;

TEST(ExtreureRemitent, FromHeaderForms)
{
    // The header text between a Received: line and a Subject: line; a message of its own
    // when it starts with "!". Address and display name, or nullptr: no sender found.
    const std::tuple<QByteArray, const char *, const char *> rows[] = {
        {"From: Joan Puig <joan@example.org>", "joan@example.org", "Joan Puig"},
        {"From: \"Puig, Joan\" <joan@example.org>", "joan@example.org", "Puig, Joan"},
        {"From: <joan@example.org>", "joan@example.org", "joan@example.org"},
        {"From: J < joan @example.org >", "joan@example.org", "J"},
        {"From: joan@example.org (Joan Puig)", "joan@example.org", "Joan Puig"},
        {"From: joan@example.org (Joan", "joan@example.org", "Joan"},
        {"From:   joan@example.org  ", "joan@example.org", "joan@example.org"},
        {"From: \"Joan Puig\"\r\n <joan@example.org>", "joan@example.org", "Joan Puig"},
        {"FROM: a@b.c", "a@b.c", "a@b.c"},
        {"from: a@b.c", "a@b.c", "a@b.c"},
        {"FrOm: a@b.c", nullptr, nullptr},
        {"X: y", nullptr, nullptr},
        {"FROM: upper@x.y\r\nFrom: mixed@x.y", "mixed@x.y", "mixed@x.y"},
        {"From: Joan <joan@example.org", nullptr, nullptr},
        {"From: a@b.c\r\nX: y\r\nTo: <t@u.v>", "a@b.c", "a@b.c"},
        {"From: a@b.c\r\nX: (y)", "a@b.c", "a@b.c"},
        // A bare line end inside the address would split the MAIL FROM command.
        {"From: a@b.c\nRCPT TO:x@y.z", nullptr, nullptr},
        {"From: J <a@b.c\r>", nullptr, nullptr},
        {"From: Jo\xe0n <j@x.y>", "j@x.y", "Jo\xc3\xa0n"},
        {"!From: J <a@b.c>\r\nSubject: s\r\n\r\nx\r\n", "a@b.c", "J"},
        {"!From: a@b.c\r\n\r\nFrom: z@y.x\r\n", "a@b.c", "a@b.c"},
        {"!FROM: up@x.y\r\nFrom: mixed@x.y\r\n", "mixed@x.y", "mixed@x.y"},
        {"!From: a@b.c", nullptr, nullptr},
        {"!Received: x\r\nFrom: a@b.c", nullptr, nullptr},
        {"!Received: x\r\nFrom: Joan <j@x.y>\r\n", "Joan <j@x.y>", "Joan <j@x.y>"},
        {"!Received: x\r\nSubject: s\r\n\r\nFrom: body@x.y\r\n", "body@x.y", "body@x.y"},
    };
    for (const auto &[text, address, display] : rows) {
        SCOPED_TRACE(text.constData());
        const QByteArray message = text.startsWith('!')
            ? text.mid(1)
            : "Received: x\r\n" + text + "\r\nSubject: s\r\n\r\nbody\r\n";
        const auto sender = ExtreureRemitent(message);
        ASSERT_EQ(sender.has_value(), address != nullptr);
        if (sender) {
            EXPECT_EQ(sender->address, QString::fromUtf8(address));
            EXPECT_EQ(sender->displayName, QString::fromUtf8(display));
        }
        // Read from a file in blocks, with a header cut at every place: the same sender.
        for (const qsizetype block : {1, 2, 3, 5, 7, 64}) {
            QBuffer file;
            file.setData(message);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const auto read = ExtreureRemitent(file, block);
            ASSERT_EQ(read.has_value(), sender.has_value()) << "blocks of " << block;
            if (read) {
                EXPECT_EQ(read->address, sender->address);
                EXPECT_EQ(read->displayName, sender->displayName);
            }
        }
    }
}

// From a file, the header is searched through the whole message (a body's "From:" line
// counts, and comes before any other spelling), and the sender read from a window where
// the header starts: one that does not end within the window is none.
TEST(ExtreureRemitent, FromAFileWithAWindow)
{
    const QByteArray far(5000, 'x');
    // Name, message, the sender's address (null: none).
    const std::tuple<const char *, QByteArray, QByteArray> rows[] = {
        {"From: far into the body",
         "FROM: <up@x.y>\r\n\r\n" + far + "\r\nFrom: <far@x.y>\r\nX: y\r\n", "far@x.y"},
        {"only FROM:, far", "X: y\r\n\r\n" + far + "\r\nFROM: a@b.c (A)\r\n", "a@b.c"},
        {"second line ends at the window's edge", "From: <" + QByteArray(88, 'a') + ">\r\n\r\n",
         QByteArray(88, 'a')},
        {"address past the window", "From: <" + QByteArray(200, 'a') + ">\r\n\r\n", QByteArray()},
        {"comment past the window", "From: a@b.c (" + QByteArray(200, 'n') + ")\r\nX: y\r\n",
         QByteArray()},
        {"second line past the window", "From: a@b.c\r\n" + QByteArray(200, 'n') + "\r\n",
         QByteArray()},
        {"whole message within the window", "From: a@b.c\r\nX", "a@b.c"},
    };
    for (const auto &[name, message, address] : rows) {
        QBuffer file;
        file.setData(message);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const auto sender = ExtreureRemitent(file, 16, 100);
        ASSERT_EQ(sender.has_value(), !address.isNull()) << name;
        if (sender) {
            EXPECT_EQ(sender->address, QString::fromLatin1(address)) << name;
        }
    }
}

TEST(FirstTextField, ForwardToFile)
{
    const std::pair<QByteArray, const char *> rows[] = {
        {"ana@example.org;joan@example.org", "ana@example.org;joan@example.org"},
        {"   ana@x.y", "ana@x.y"},
        {"ana@x.y,joan@x.y", "ana@x.y"},
        {"ana@x.y\r\njoan@x.y", "ana@x.y"},
        {"\"ana, x\"@y", "ana, x"},
        {"\"unterminated", "unterminated"},
        {"\"ana@x.y\r\njoan@x.y\"", "ana@x.y"},
        {"   ", ""},
    };
    for (const auto &[bytes, field] : rows)
        EXPECT_EQ(firstTextField(bytes), QString::fromUtf8(field)) << bytes.constData();
}
