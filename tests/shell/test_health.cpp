// Health at a glance through the built program: the state file a run leaves, the metrics
// file read by the Prometheus client's parser, --status, and --check's verdicts on crafted
// state files.
#include "programfixture.h"
#include "routing/runsummary.h"
#include "shell/health.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vessamo;
using namespace Qt::StringLiterals;

namespace {

class HealthTest : public test::ProgramTest
{
protected:
    QString statePath() const { return dir.filePath(u"status.json"_s); }
    QJsonObject state() const
    {
        QFile file(statePath());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }
    // One run on demand, then the program is stopped.
    void oneRun()
    {
        start({u"/E"_s}, true);
        signal(SIGUSR1);
        ASSERT_TRUE(test::eventually([&] { return QFile::exists(statePath()); }, 20000));
        signal(SIGTERM);
        ASSERT_EQ(finish(), 0);
    }
    int runCommand(const QStringList &args)
    {
        start(args);
        return finish();
    }
};

QString iso(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

TEST_F(HealthTest, ARunLeavesItsSummaryInTheStateFileTheMetricsAndStatus)
{
    for (int i = 0; i < 3; ++i)
        pop3.addMessage("From: a@b.c\r\nSubject: s\r\n\r\nbody\r\n");
    smtp.script("RCPT", test::LineServer::Reply::text("550 5.1.1 no such user\r\n"));
    const QString metricsPath = dir.filePath(u"vessamo.prom"_s);
    env.insert(u"VESSAMO_METRICS_FILE"_s, metricsPath);
    writeConfig(30000);
    oneRun();

    const QJsonObject first = state();
    ASSERT_FALSE(first.isEmpty()) << "no state file";
    struct stat info
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(statePath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(first.value(u"ran").toBool());
    const QJsonArray mailboxes = first.value(u"mailboxes").toArray();
    ASSERT_EQ(mailboxes.size(), 1);
    EXPECT_EQ(mailboxes[0].toObject().value(u"name").toString(), u"usuari@127.0.0.1"_s);
    EXPECT_EQ(mailboxes[0].toObject().value(u"fetched").toInt(), 3);
    EXPECT_EQ(mailboxes[0].toObject().value(u"lastError").toString(), QString());
    EXPECT_EQ(first.value(u"forwarded").toInt(), 2);
    EXPECT_EQ(first.value(u"failed").toInt(), 1);
    EXPECT_EQ(first.value(u"queueSize").toInt(), 0);

    // A second run, its mailbox refusing the login: the error is kept, the counters add up.
    for (int i = 0; i < 2; ++i)
        pop3.addMessage("From: a@b.c\r\nSubject: s\r\n\r\nbody\r\n");
    pop3.setCredentials("other", "password");
    const QDateTime firstEnded
        = QDateTime::fromString(first.value(u"ended").toString(), Qt::ISODateWithMs);
    start({u"/E"_s}, true);
    signal(SIGUSR1);
    ASSERT_TRUE(test::eventually(
        [&] {
            return QDateTime::fromString(state().value(u"ended").toString(), Qt::ISODateWithMs)
                > firstEnded;
        },
        20000));
    signal(SIGTERM);
    ASSERT_EQ(finish(), 0);
    const QJsonObject second = state();
    const QJsonObject mailbox = second.value(u"mailboxes").toArray()[0].toObject();
    EXPECT_EQ(mailbox.value(u"fetched").toInt(), 0);
    EXPECT_EQ(mailbox.value(u"fetchedTotal").toInt(), 3);
    EXPECT_TRUE(mailbox.value(u"lastError").toString().startsWith(u"Rebent"_s))
        << mailbox.value(u"lastError").toString().toStdString();
    EXPECT_TRUE(mailbox.value(u"failingSince").isString());
    EXPECT_EQ(second.value(u"totals").toObject().value(u"forwarded").toInt(), 2);
    EXPECT_EQ(second.value(u"totals").toObject().value(u"runs").toInt(), 2);
    EXPECT_EQ(second.value(u"failedToday").toInt(), 1);

    // The metrics file as the node exporter's collector would read it.
    QProcess parser;
    parser.start(u"/usr/bin/python3"_s,
                 {u"-c"_s, uR"(
import sys
from prometheus_client.parser import text_string_to_metric_families
samples = {}
for family in text_string_to_metric_families(open(sys.argv[1]).read()):
    for s in family.samples:
        samples[s.name + ''.join('/%s=%s' % kv for kv in sorted(s.labels.items()))] = s.value
for key in sorted(samples):
    print('%s %g' % (key, samples[key]))
)"_s,
                  metricsPath});
    ASSERT_TRUE(parser.waitForFinished(30000));
    const QByteArray parsed = parser.readAllStandardOutput();
    ASSERT_EQ(parser.exitCode(), 0) << parser.readAllStandardError().constData();
    for (const char *line : {"vessamo_messages_fetched_total/mailbox=usuari@127.0.0.1 3\n",
                             "vessamo_messages_forwarded_total 2\n",
                             "vessamo_messages_failed_total 1\n", "vessamo_messages_spam_total 0\n",
                             "vessamo_run_duration_seconds_count 2\n", "vessamo_queue_size 0\n"})
        EXPECT_TRUE(parsed.contains(line)) << line << " in\n" << parsed.constData();

    // Not a secret: the collector, another account, reads it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ASSERT_EQ(::stat(QFile::encodeName(metricsPath).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);

    EXPECT_EQ(runCommand({u"--status"_s}), 0);
    EXPECT_TRUE(out.contains("Servei vessamo.service: ")) << out.constData();
    EXPECT_TRUE(out.contains("0 rebuts, 0 reenviats, 0 no enviats, 0 spam; cua 0; errors a "
                             "usuari@127.0.0.1"))
        << out.constData();
    EXPECT_TRUE(out.contains("  usuari@127.0.0.1: 0 rebuts; error: Rebent")) << out.constData();
}

// Under systemd, each run's summary line becomes the service's status.
TEST_F(HealthTest, EveryRunTellsSystemdItsSummary)
{
    pop3.addMessage("From: a@b.c\r\nSubject: s\r\n\r\nbody\r\n");
    writeConfig(30000);
    test::NotifySocket notify(dir.filePath(u"notify"_s));
    ASSERT_TRUE(notify.bound());
    env.insert(u"NOTIFY_SOCKET"_s, notify.path());
    start({}, true);
    EXPECT_EQ(notify.received(10000), "READY=1");
    signal(SIGUSR1);
    const QByteArray status = notify.received(20000);
    EXPECT_TRUE(status.startsWith("STATUS=Darrera execució ")) << status.constData();
    EXPECT_TRUE(status.contains(": 1 rebuts, 1 reenviats, 0 no enviats, 0 spam; cua 0"))
        << status.constData();
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
}

// A failing mailbox's streak starts at its first failure and ends at its first clean run.
TEST(HealthState, AFailingStreakKeepsItsStart)
{
    const QDateTime t0 = QDateTime::currentDateTime();
    const auto run = [](const QDateTime &when, const QString &error) {
        routing::RunSummary summary;
        summary.started = summary.ended = when;
        summary.ran = true;
        summary.mailboxes.push_back({u"u@h"_s, 1, error});
        return summary;
    };
    const auto since = [](const QJsonObject &state) {
        return state.value(u"mailboxes").toArray()[0].toObject().value(u"failingSince");
    };
    QJsonObject state = shell::updatedState({}, run(t0, u"Rebent: no"_s), 5);
    EXPECT_EQ(since(state).toString(), iso(t0));
    state = shell::updatedState(state, run(t0.addSecs(300), u"Rebent: no"_s), 5);
    EXPECT_EQ(since(state).toString(), iso(t0));
    state = shell::updatedState(state, run(t0.addSecs(600), QString()), 5);
    EXPECT_TRUE(since(state).isUndefined());
    EXPECT_EQ(state.value(u"mailboxes").toArray()[0].toObject().value(u"fetchedTotal").toInt(), 3);
}

TEST_F(HealthTest, CheckJudgesTheStateFileByItsThresholds)
{
    const QDateTime now = QDateTime::currentDateTime();
    const auto healthy = [&] {
        QJsonObject s;
        s[u"intervalMinutes"] = 5;
        s[u"ran"] = true;
        s[u"ended"] = s[u"completed"] = iso(now.addSecs(-60));
        s[u"queueSize"] = 0;
        s[u"oldestAgeSeconds"] = 0;
        s[u"mailboxes"] = QJsonArray {QJsonObject {{u"name"_s, u"u@h"_s}, {u"fetched"_s, 0}}};
        return s;
    };
    struct Row
    {
        const char *what;
        std::function<void(QJsonObject &)> change;
        QStringList options;
        int code;
    };
    const auto completedAgo = [&](qint64 seconds) {
        return [&now, seconds](QJsonObject &s) { s[u"completed"] = iso(now.addSecs(-seconds)); };
    };
    const auto failingFor = [&](qint64 minutes) {
        return [&now, minutes](QJsonObject &s) {
            s[u"mailboxes"] = QJsonArray {QJsonObject {
                {u"name"_s, u"u@h"_s}, {u"failingSince"_s, iso(now.addSecs(-minutes * 60))}}};
        };
    };
    const auto queuedFor = [](qint64 seconds) {
        return [seconds](QJsonObject &s) {
            s[u"queueSize"] = 1;
            s[u"oldestAgeSeconds"] = seconds;
        };
    };
    const auto failedOn = [](const QDate &day) {
        return [day](QJsonObject &s) {
            s[u"failedDay"] = day.toString(Qt::ISODate);
            s[u"failedToday"] = 1;
        };
    };
    const auto unchanged = [](QJsonObject &) {};
    const Row rows[] = {
        {"healthy", unchanged, {}, 0},
        {"no run for four intervals", completedAgo(20 * 60), {}, 2},
        {"... allowed five", completedAgo(20 * 60), {u"--crit-intervals"_s, u"5"_s}, 0},
        {"only skipped runs", [](QJsonObject &s) { s.remove(u"completed"); }, {}, 2},
        {"failing for 61 minutes", failingFor(61), {}, 2},
        {"failing for 30 minutes", failingFor(30), {}, 0},
        {"... allowed 20", failingFor(30), {u"--crit-failing"_s, u"20"_s}, 2},
        {"a pair queued for two hours", queuedFor(7200), {}, 1},
        {"... allowed three", queuedFor(7200), {u"--warn-age"_s, u"180"_s}, 0},
        {"a pair queued for 59 minutes, measured two minutes ago",
         [&](QJsonObject &s) {
             queuedFor(59 * 60)(s);
             s[u"ended"] = iso(now.addSecs(-120));
         },
         {},
         1},
        {"failed today", failedOn(now.date()), {}, 1},
        {"failed yesterday", failedOn(now.date().addDays(-1)), {}, 0},
        {"an unknown option", unchanged, {u"--warn-ages"_s, u"5"_s}, 3},
        {"a threshold that is no number", unchanged, {u"--warn-age"_s, u"x"_s}, 3},
    };
    static const char *const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        QJsonObject s = healthy();
        row.change(s);
        QFile file(statePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(s).toJson());
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        EXPECT_EQ(runCommand(QStringList {u"--check"_s} + row.options), row.code);
        const QList<QByteArray> lines = out.split('\n');
        EXPECT_EQ(lines.size(), 2) << out.constData();
        EXPECT_TRUE(out.startsWith(QByteArray("VESSAMO ") + names[row.code] + " - "))
            << out.constData();
        if (row.code != 3) {
            EXPECT_TRUE(out.contains(" | last_run=")) << out.constData();
        }
    }
    // Without a state file, or with one that is not JSON, nothing can be told.
    QFile::remove(statePath());
    EXPECT_EQ(runCommand({u"--check"_s}), 3);
    QFile file(statePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{ not json");
    file.close();
    EXPECT_EQ(runCommand({u"--check"_s}), 3);
    EXPECT_TRUE(out.startsWith("VESSAMO UNKNOWN - ")) << out.constData();
}
