// The built program listing its queue and archives (--queue, --failed, --spam, --json): the
// state of each pair, its failed attempts as a real forwarding recorded them, and headers
// a hostile sender wrote shown escaped.
#include "programfixture.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace vessamo;
using namespace Qt::StringLiterals;

namespace {

class QueueListing : public test::ProgramTest
{
protected:
    void putPair(const char *folderName, const QString &stem, const QByteArray &from,
                 const QByteArray &forwardTo = "dest@example.org", bool sent = false)
    {
        put(folderName, stem + (sent ? u".enviat"_s : u".destinatari"_s), forwardTo);
        put(folderName, stem + u".missatge"_s,
            "Received: x\r\nFrom: " + from + "\r\nSubject: hello\r\n\r\nbody\r\n");
    }
    // The pairs listed as JSON, by stem; fails the test when the output does not parse.
    QHash<QString, QJsonObject> listed(const QString &option)
    {
        start({option, u"--json"_s});
        EXPECT_EQ(finish(), 0) << err.constData();
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(out, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << out.constData();
        QHash<QString, QJsonObject> pairs;
        for (const QJsonValue &value : document.object().value(u"pairs"_s).toArray())
            pairs.insert(value[u"stem"_s].toString(), value.toObject());
        return pairs;
    }
};

} // namespace

TEST_F(QueueListing, EveryStateIsListedAndTheJsonReadsBack)
{
    writeConfig(30000);
    putPair("Cua", u"M202612010000000001"_s, "Anna <anna@example.net>");
    putPair("Cua", u"M202612010000000002"_s, "bernat@example.net", "b@example.org", true);
    putPair("Cua", u"M202612010000000003"_s, "carla@example.net");
    // First tried four and a half days ago (another boot: the wall clock counts).
    const qint64 firstMs = QDateTime::currentMSecsSinceEpoch() - qint64(108) * 3600 * 1000;
    put("Cua", u"M202612010000000003.intent"_s, QByteArray::number(firstMs) + " other-boot 5\n");
    put("Cua", u"M202612010000000003.attempts"_s, "7 1764547200000\nEnviant: 451 later\n");
    // A link in the spool is never followed, nor listed.
    ASSERT_EQ(::symlink("/etc/hostname",
                        qPrintable(folder("Cua") + u"M202612010000000004.destinatari"_s)),
              0);
    ASSERT_EQ(
        ::symlink("/etc/hostname", qPrintable(folder("Cua") + u"M202612010000000004.missatge"_s)),
        0);
    putPair("NoEnviats", u"M202612010000000005"_s, "dani@example.net");
    put("NoEnviats", u"M202612010000000005.attempts"_s, "1 1764547200000\nEnviant: 550 no\n");
    putPair("SPam", u"M202612010000000006"_s, "eva@example.net");

    const QHash<QString, QJsonObject> queue = listed(u"--queue"_s);
    ASSERT_EQ(queue.size(), 3) << out.constData();
    const QJsonObject waiting = queue.value(u"M202612010000000001"_s);
    EXPECT_EQ(waiting[u"state"_s].toString(), u"waiting"_s);
    EXPECT_EQ(waiting[u"sender"_s].toString(), u"anna@example.net"_s);
    EXPECT_EQ(waiting[u"forward_to"_s].toString(), u"dest@example.org"_s);
    EXPECT_EQ(waiting[u"subject"_s].toString(), u"hello"_s);
    EXPECT_EQ(waiting[u"size"_s].toInt(), 68);
    EXPECT_EQ(waiting[u"attempts"_s].toInt(), 0);
    EXPECT_TRUE(waiting[u"last_failure"_s].isNull());
    const QJsonObject accepted = queue.value(u"M202612010000000002"_s);
    EXPECT_EQ(accepted[u"state"_s].toString(), u"accepted"_s);
    EXPECT_EQ(accepted[u"forward_to"_s].toString(), u"b@example.org"_s);
    const QJsonObject expiring = queue.value(u"M202612010000000003"_s);
    EXPECT_EQ(expiring[u"state"_s].toString(), u"expiring"_s);
    EXPECT_EQ(expiring[u"attempts"_s].toInt(), 7);
    EXPECT_EQ(expiring[u"last_error"_s].toString(), u"Enviant: 451 later"_s);
    EXPECT_EQ(QDateTime::fromString(expiring[u"last_failure"_s].toString(), Qt::ISODate)
                  .toMSecsSinceEpoch(),
              1764547200000);

    const QHash<QString, QJsonObject> failed = listed(u"--failed"_s);
    ASSERT_EQ(failed.keys(), QList {u"M202612010000000005"_s});
    EXPECT_EQ(failed.value(u"M202612010000000005"_s)[u"state"_s].toString(), u"failed"_s);
    EXPECT_EQ(failed.value(u"M202612010000000005"_s)[u"last_error"_s].toString(),
              u"Enviant: 550 no"_s);
    const QHash<QString, QJsonObject> spam = listed(u"--spam"_s);
    ASSERT_EQ(spam.keys(), QList {u"M202612010000000006"_s});
    EXPECT_EQ(spam.value(u"M202612010000000006"_s)[u"state"_s].toString(), u"spam"_s);

    // The text form: a header line and one line per pair, the failure last.
    start({u"--queue"_s});
    EXPECT_EQ(finish(), 0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 4) << out.constData();
    EXPECT_TRUE(lines[3].startsWith("M202612010000000003\t")) << lines[3].constData();
    EXPECT_TRUE(lines[3].contains("\texpiring\t7\tcarla@example.net\tdest@example.org\thello\t"));
    EXPECT_TRUE(lines[3].endsWith(" Enviant: 451 later")) << lines[3].constData();

    // Bad requests end with a reason and touch nothing.
    start({u"--queue"_s, u"--failed"_s});
    EXPECT_EQ(finish(), 2);
    QDir(folder("SPam")).removeRecursively();
    start({u"--spam"_s});
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(err.contains("SPam")) << err.constData();
}

TEST_F(QueueListing, HostileHeadersReachTheTerminalEscaped)
{
    writeConfig(30000);
    const QString stem = u"M202612010000000001"_s;
    put("Cua", stem + u".destinatari"_s, "dest@example.org");
    put("Cua", stem + u".missatge"_s,
        "From: \"x\" <ev\x1b[2Jil@example.net>\r\nSubject: a\x1b]0;owned\x07 b\rc\n"
        "d\xc2\x9b"
        "e\xe2\x80\xae"
        "f\\g\r\n\r\nbody\r\n");
    put("Cua", stem + u".attempts"_s, "1 1764547200000\nEnviant: 451 \x1b[31mred\n");

    start({u"--queue"_s});
    EXPECT_EQ(finish(), 0);
    // Only the listing's own tabs and line ends: no escape, no CR, no C1 or bidi control.
    for (const char c : out)
        EXPECT_TRUE(uchar(c) >= 0x20 || c == '\t' || c == '\n') << int(c);
    EXPECT_FALSE(out.contains("\xc2\x9b"));
    EXPECT_FALSE(out.contains("\xe2\x80\xae"));
    EXPECT_EQ(out.count('\n'), 2) << out.constData();
    EXPECT_TRUE(out.contains("\tev\\x1b[2Jil@example.net\t")) << out.constData();
    EXPECT_TRUE(out.contains("\ta\\x1b]0;owned\\x07 b\\x0dc\\x0ad\\x9be\\u202ef\\\\g\t"))
        << out.constData();
    EXPECT_TRUE(out.contains(" Enviant: 451 \\x1b[31mred\n")) << out.constData();

    // JSON keeps the text exactly, escaped by its own rules.
    const QJsonObject pair = listed(u"--queue"_s).value(stem);
    EXPECT_FALSE(out.contains('\x1b'));
    EXPECT_EQ(pair[u"sender"_s].toString(), u"ev\x1b[2Jil@example.net"_s);
    EXPECT_EQ(pair[u"subject"_s].toString(),
              QString::fromUtf8("a\x1b]0;owned\x07 b\rc\nd\xc2\x9b"
                                "e\xe2\x80\xae"
                                "f\\g"));
}

// A forwarding the server puts off is counted beside its pair and listed; when the server
// refuses it for good the record goes with the pair into the failed archive, and an archive
// purge takes a record with its pair.
TEST_F(QueueListing, AttemptsRecordedByForwardingFollowTheirPair)
{
    pop3.addMessage("Received: x\r\nFrom: anna@example.net\r\nSubject: s\r\n\r\nbody\r\n");
    for (int i = 0; i < 5; ++i)
        smtp.script("MAIL", test::LineServer::Reply::text("451 4.3.0 Mailbox busy, try later\r\n"));
    writeConfig(30000);
    // An old pair in the spam archive with its record, past the archive days.
    configuration.Configuracio.DiesArxiu = 2;
    ASSERT_TRUE(config::GravarConfiguracio(configPath, configuration));
    putPair("SPam", u"M202601010000000001"_s, "old@example.net");
    put("SPam", u"M202601010000000001.attempts"_s, "1 1764547200000\nEnviant: x\n");
    const utimbuf old {0, QDateTime::currentSecsSinceEpoch() - 10 * 86400};
    ASSERT_EQ(::utime(qPrintable(folder("SPam") + u"M202601010000000001.destinatari"_s), &old), 0);
    // A record left without its pair in the queue.
    put("Cua", u"M202601010000000002.attempts"_s, "1 1764547200000\nEnviant: x\n");

    start({u"/E"_s}, true);
    signal(SIGUSR1);
    const auto attempts = [&](const char *name) {
        for (const QString &file : files(name)) {
            if (file.endsWith(u".attempts"_s))
                return file;
        }
        return QString();
    };
    ASSERT_TRUE(waitFor([&] { return !attempts("Cua").isEmpty() && !files("SPam").size(); }))
        << files("Cua").join(u' ').toStdString() << logged().toStdString();
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(files("Cua").filter(u".attempts"_s).size(), 1);

    QHash<QString, QJsonObject> queue = listed(u"--queue"_s);
    ASSERT_EQ(queue.size(), 1);
    const QJsonObject pair = queue.begin().value();
    EXPECT_EQ(pair[u"state"_s].toString(), u"waiting"_s);
    EXPECT_EQ(pair[u"attempts"_s].toInt(), 5);
    EXPECT_EQ(pair[u"last_error"_s].toString().left(9), u"Enviant: "_s);
    EXPECT_TRUE(pair[u"last_error"_s].toString().contains(u"451 4.3.0 Mailbox busy"_s))
        << pair[u"last_error"_s].toString().toStdString();
    EXPECT_TRUE(logged().contains(pair[u"last_error"_s].toString()))
        << logged().toStdString() << " vs " << pair[u"last_error"_s].toString().toStdString();

    // Refused for good: into the failed archive with its record, which counts on.
    smtp.script("MAIL", test::LineServer::Reply::text("550 5.7.1 Not here\r\n"));
    start({u"/E"_s}, true);
    signal(SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return !attempts("NoEnviats").isEmpty(); }));
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(files("Cua").isEmpty()) << files("Cua").join(u' ').toStdString();
    const QHash<QString, QJsonObject> failed = listed(u"--failed"_s);
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed.begin().value()[u"attempts"_s].toInt(), 6);
    EXPECT_TRUE(failed.begin().value()[u"last_error"_s].toString().contains(u"550 5.7.1"_s));
}

// The service's mail is for root and the account that owns its folders.
TEST_F(QueueListing, OnlyRootAndTheFolderOwnerMayList)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    writeConfig(30000);
    putPair("Cua", u"M202612010000000001"_s, "anna@example.net");
    ASSERT_EQ(::chmod(qPrintable(dir.path()), 0711), 0);
    ASSERT_EQ(::chmod(qPrintable(configPath), 0644), 0);
    // start() runs the program given; here setpriv, which runs it as nobody.
    const QString program = u"/usr/bin/setpriv"_s;
    if (!QFileInfo::exists(program))
        GTEST_SKIP() << "no setpriv";
    const auto run = [&] {
        out.clear();
        err.clear();
        process.setProcessEnvironment(env);
        process.start(program,
                      {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                       QCoreApplication::applicationDirPath() + u"/../../vessamo"_s, u"--queue"_s});
        EXPECT_TRUE(process.waitForStarted(5000));
        return finish();
    };
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(err.contains("només root o el propietari")) << err.constData();
    EXPECT_TRUE(out.isEmpty());
    ASSERT_EQ(::chown(qPrintable(folder("Cua")), 65534, 65534), 0);
    EXPECT_EQ(run(), 0) << err.constData();
    EXPECT_TRUE(out.startsWith("STEM\t")) << out.constData();
}
