// The event-log file: one line per entry, fields separated by TAB, text escaped.
#include "platform/eventlog.h"
#include "platform/wirelog.h"
#include "support/tempenv.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vessamo;

TEST(EventLog, FileLineFormatAndEscaping)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("events.log"));
    test::ScopedEnv env("VESSAMO_EVENTLOG", path.toLocal8Bit());
    platform::logError(QStringLiteral("Arrencant: No hi ha cap bústia definida"));
    platform::logError(QStringLiteral("a\\b\r\nc"));
    // A server's terminal escapes, TAB (the field separator), DEL and a C1 control.
    platform::logError(QStringLiteral("-ERR \x1b[2J\tx\x7f\u0085\u00e9"));
    QFile file(path);
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0)
        << "the log quotes addresses and replies: owner only";
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    const QRegularExpression shape(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\t1\t109\t(.*)$"));
    const auto first = shape.match(lines[0]);
    ASSERT_TRUE(first.hasMatch()) << lines[0].toStdString();
    EXPECT_EQ(first.captured(1), QStringLiteral("Arrencant: No hi ha cap bústia definida"));
    const auto second = shape.match(lines[1]);
    ASSERT_TRUE(second.hasMatch());
    EXPECT_EQ(second.captured(1), QStringLiteral("a\\\\b\\r\\nc"));
    const auto third = shape.match(lines[2]);
    ASSERT_TRUE(third.hasMatch());
    EXPECT_EQ(third.captured(1), QStringLiteral("-ERR \\x1b[2J\\tx\\x7f\\x85\u00e9"));
}

TEST(EventLog, WithoutFileNothingIsWrittenAndNothingFails)
{
    test::ScopedEnv env("VESSAMO_EVENTLOG", QByteArray());
    platform::logError(QStringLiteral("Rebent: res"));
    SUCCEED();
}

// The wire log's transcript: one line per protocol line, whatever the line ends, and a
// hostile server's control characters shown, never passed to the terminal.
TEST(WireLog, TranscriptLines)
{
    using platform::WireSide;
    struct Row
    {
        const char *name;
        WireSide side;
        QByteArray bytes;
        QStringList lines;
    };
    const Row rows[] = {
        {"multi-line reply",
         WireSide::Server,
         "250-a\r\n250 b\r\n",
         {QStringLiteral("S: 250-a"), QStringLiteral("S: 250 b")}},
        {"bare LF and a last line without end",
         WireSide::Client,
         "QUIT\nRSET",
         {QStringLiteral("C: QUIT"), QStringLiteral("C: RSET")}},
        {"escape sequence and stray CR",
         WireSide::Server,
         "+OK \x1b[31mred\rx\r\n",
         {QStringLiteral("S: +OK \\x1b[31mred\\rx")}},
        {"empty line kept", WireSide::Server, "\r\n", {QStringLiteral("S: ")}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(platform::transcriptLines(row.side, row.bytes), row.lines) << row.name;
}
