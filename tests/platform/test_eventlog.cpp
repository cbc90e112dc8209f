// The event-log file and the wire log's transcript: one line per entry, control
// characters shown escaped, never passed on to a terminal.
#include "platform/eventlog.h"
#include "platform/wirelog.h"
#include "support/tempenv.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vessamo::platform;
using namespace Qt::StringLiterals;

TEST(EventLog, FileLinesAreEscapedAndPrivate)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"events.log"_s);
    vessamo::test::ScopedEnv env("VESSAMO_EVENTLOG", path.toLocal8Bit());
    logError(u"Arrencant: bústia"_s);
    // A server's terminal escapes, TAB (the field separator), DEL and a C1 control.
    logError(u"a\\b\r\nc \x1b[2J\tx\x7f\u0085é"_s);
    QFile file(path);
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0)
        << "the log quotes addresses and replies: owner only";
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QRegularExpression shape(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\t1\t109\t(.*)$"_s);
    QStringList texts;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts))
        texts << shape.match(line).captured(1);
    EXPECT_EQ(texts,
              QStringList({u"Arrencant: bústia"_s, u"a\\\\b\\r\\nc \\x1b[2J\\tx\\x7f\\x85é"_s}));
}

TEST(WireLog, TranscriptLines)
{
    const std::tuple<WireSide, QByteArray, QStringList> rows[] = {
        {WireSide::Server, "250-a\r\n250 b\r\n", {u"S: 250-a"_s, u"S: 250 b"_s}},
        {WireSide::Client, "QUIT\nRSET", {u"C: QUIT"_s, u"C: RSET"_s}}, // bare LF, no last end
        {WireSide::Server, "+OK \x1b[31mred\rx\r\n", {u"S: +OK \\x1b[31mred\\rx"_s}},
        {WireSide::Server, "\r\n", {u"S: "_s}},
    };
    for (const auto &[side, bytes, lines] : rows)
        EXPECT_EQ(transcriptLines(side, bytes), lines) << bytes.toStdString();
}
