// The event-log file: one line per entry, fields separated by TAB, text escaped.
#include "platform/eventlog.h"
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
