// The built program acting on its queue: --requeue and --delete (what they move, what they
// refuse, the wait for a run that holds the queue, a kill at every step of a requeue) and
// --flush waking a router that runs as the service.
#include "platform/lockfile.h"
#include "programfixture.h"
#include "routing/queueactions.h"
#include "routing/queuebackend.h"
#include "support/mailfolders.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vessamo;
using namespace Qt::StringLiterals;

namespace {

const QString kStem = u"M202612010000000001"_s;

class QueueActions : public test::ProgramTest
{
protected:
    void putPair(const char *folderName, const QString &stem, bool withAttempts = true)
    {
        put(folderName, stem + u".destinatari"_s, "dest@example.org");
        put(folderName, stem + u".missatge"_s,
            "From: anna@example.net\r\nSubject: s " + stem.toLatin1() + "\r\n\r\nbody\r\n");
        if (withAttempts)
            put(folderName, stem + u".attempts"_s, "3 1764547200000\nEnviant: 550 no\n");
    }
    int run(const QStringList &args)
    {
        start(args);
        return finish();
    }
    // The stems listed in the folder of the option, with their states.
    QMultiHash<QString, QString> listed(const QString &option)
    {
        start({option, u"--json"_s});
        EXPECT_EQ(finish(), 0) << err.constData();
        QMultiHash<QString, QString> pairs;
        for (const QJsonValue &value :
             QJsonDocument::fromJson(out).object().value(u"pairs"_s).toArray())
            pairs.insert(value[u"stem"_s].toString(), value[u"state"_s].toString());
        return pairs;
    }
    // One run of the router (read-now), told finished by the state file it writes.
    void routingRun()
    {
        QFile::remove(dir.filePath(u"status.json"_s));
        start({u"/E"_s}, true);
        ASSERT_FALSE(HasFatalFailure());
        signal(SIGUSR1);
        ASSERT_TRUE(test::eventually(
            [&] { return QFileInfo::exists(dir.filePath(u"status.json"_s)); }, 10000))
            << logged().toStdString();
        signal(SIGTERM);
        ASSERT_EQ(finish(), 0);
    }
    // The files of the folder that belong to pairs (not the queue's lock).
    QStringList pairFiles(const char *name) const
    {
        QStringList names = files(name);
        names.removeAll(u".vessamo.lock"_s);
        return names;
    }
};

} // namespace

// Each row: a command on a fresh spool, its exit status, and the files each folder holds
// afterwards (queue, failed archive, spam archive).
TEST_F(QueueActions, RequeueAndDeleteMoveWhatTheySayAndRefuseTheRest)
{
    writeConfig(30000);
    const QString other = u"M202612010000000002"_s;
    // A pair planted as links in the failed archive: never followed, never moved.
    const QString link = u"M202612010000000009"_s;
    const QString links = link + u".destinatari "_s + link + u".missatge"_s;
    const auto pairOf = [](const QString &stem, bool attempts = true) {
        QStringList names {stem + u".destinatari"_s, stem + u".missatge"_s};
        if (attempts)
            names.prepend(stem + u".attempts"_s);
        return names.join(u' ');
    };
    struct Row
    {
        const char *what;
        QStringList args;
        int status;
        QString queue, failed, spam;
    };
    // As planted: what a refused command leaves.
    const QString failedAsPlanted = pairOf(kStem) + u' ' + pairOf(other);
    const QString spamAsPlanted = pairOf(u"M202612010000000003"_s, false);
    const auto refused = [&](const char *what, QStringList args) {
        return Row {what, std::move(args), 1, {}, failedAsPlanted, spamAsPlanted};
    };
    // Wrong uses of the options are the command line's (its own test); these are the moves.
    const QList<Row> rows {
        {"one stem from the failed archive, its history kept",
         {u"--requeue"_s, kStem},
         0,
         pairOf(kStem),
         pairOf(other),
         spamAsPlanted},
        {"every pair of the spam archive",
         {u"--requeue"_s, u"--all"_s, u"--spam"_s},
         0,
         spamAsPlanted + u" M202612010000000003.released"_s,
         failedAsPlanted,
         {}},
        refused("a stem that is not there", {u"--requeue"_s, u"M202612019999999999"_s}),
        refused("a name that is no stem", {u"--requeue"_s, u"../Cua/x"_s}),
        refused("a pair whose files are links is not followed", {u"--requeue"_s, link}),
        refused("delete asks, and without a terminal refuses",
                {u"--delete"_s, u"--failed"_s, kStem}),
        {"delete one with --yes",
         {u"--delete"_s, u"--failed"_s, u"--yes"_s, kStem},
         0,
         {},
         pairOf(other),
         spamAsPlanted},
        {"delete all of an archive",
         {u"--delete"_s, u"--all"_s, u"--spam"_s, u"--yes"_s},
         0,
         {},
         failedAsPlanted,
         {}},
    };
    for (const Row &row : rows) {
        for (const char *name : {"Cua", "NoEnviats", "SPam"}) {
            QDir(folder(name)).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(folder(name)));
        }
        putPair("NoEnviats", kStem);
        putPair("NoEnviats", other);
        putPair("SPam", u"M202612010000000003"_s, false);
        // Left by an earlier stay in the queue: the lifetime must not count from it.
        put("Cua", kStem + u".intent"_s, "1000 other-boot 5\n");
        for (const char *suffix : {".destinatari", ".missatge"})
            ASSERT_EQ(::symlink("/etc/hostname",
                                qPrintable(folder("NoEnviats") + link + QLatin1String(suffix))),
                      0);
        EXPECT_EQ(run(row.args), row.status) << row.what << err.constData();
        const auto sorted = [](QString text) {
            QStringList names = text.split(u' ', Qt::SkipEmptyParts);
            names.sort();
            return names.join(u' ');
        };
        QStringList queue = pairFiles("Cua");
        // The old first attempt stays where its pair was not requeued.
        if (!row.queue.contains(kStem))
            queue.removeAll(kStem + u".intent"_s);
        EXPECT_EQ(queue.join(u' ').toStdString(), sorted(row.queue).toStdString()) << row.what;
        EXPECT_EQ(pairFiles("NoEnviats").join(u' ').toStdString(),
                  sorted(row.failed + u' ' + links).toStdString())
            << row.what;
        EXPECT_EQ(pairFiles("SPam").join(u' ').toStdString(), sorted(row.spam).toStdString())
            << row.what;
    }
    // The link's target was never read nor moved.
    EXPECT_TRUE(QFileInfo(u"/etc/hostname"_s).isFile());
}

// A requeued pair starts its queue lifetime again (a server that puts it off does not send
// it straight back to the failed archive) and keeps counting its attempts.
TEST_F(QueueActions, ARequeuedPairStartsItsQueueLifetimeAgain)
{
    for (int i = 0; i < 10; ++i)
        smtp.script("MAIL", test::LineServer::Reply::text("451 4.3.0 try later\r\n"));
    writeConfig(30000);
    putPair("NoEnviats", kStem);
    put("Cua", kStem + u".intent"_s, "1000 other-boot 5\n");
    ASSERT_EQ(run({u"--requeue"_s, kStem}), 0) << err.constData();
    EXPECT_EQ(listed(u"--queue"_s).value(kStem), u"waiting"_s);
    routingRun();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(pairFiles("NoEnviats").isEmpty()) << logged().toStdString();
    EXPECT_EQ(pairFiles("Cua").size(), 4) << logged().toStdString();
    QFile record(folder("Cua") + kStem + u".attempts"_s);
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    EXPECT_GT(record.readAll().split(' ').value(0).toInt(), 3);
}

// A pair taken back from the spam archive goes out without another verdict, which would
// only file it as spam again; a pair fetched in the same run is still judged.
TEST_F(QueueActions, APairTakenBackFromSpamIsForwardedWithoutAnotherVerdict)
{
    test::useSpamScript(configuration, dir.path(), "printf 'X-Spam: YES' > \"$2\"\n");
    writeConfig(30000);
    const QString other = u"M202612010000000002"_s;
    putPair("SPam", kStem, false);
    putPair("SPam", other, false);
    ASSERT_EQ(run({u"--requeue"_s, u"--spam"_s, kStem}), 0) << err.constData();
    // Another pair of the spam archive requeued from the failed one is not released.
    ASSERT_TRUE(QFile::rename(folder("SPam") + other + u".destinatari"_s,
                              folder("NoEnviats") + other + u".destinatari"_s));
    ASSERT_TRUE(QFile::rename(folder("SPam") + other + u".missatge"_s,
                              folder("NoEnviats") + other + u".missatge"_s));
    ASSERT_EQ(run({u"--requeue"_s, other}), 0) << err.constData();
    routingRun();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(smtp.messages().size(), 1u) << logged().toStdString();
    EXPECT_TRUE(smtp.messages()[0].contains("Subject: s " + kStem.toLatin1()));
    EXPECT_EQ(pairFiles("SiEnviats"),
              QStringList({kStem + u".destinatari"_s, kStem + u".missatge"_s}));
    EXPECT_EQ(pairFiles("SPam"), QStringList({other + u".destinatari"_s, other + u".missatge"_s}));
    EXPECT_TRUE(pairFiles("Cua").isEmpty()) << pairFiles("Cua").join(u' ').toStdString();
}

// A command waits for the run that holds the queue, says so once, and acts after it.
TEST_F(QueueActions, WaitsForTheRunThatHoldsTheQueue)
{
    writeConfig(30000);
    putPair("NoEnviats", kStem);
    platform::LockFile held = platform::lockFile(folder("Cua") + u".vessamo.lock"_s, false);
    ASSERT_EQ(held.state, platform::LockFile::State::Held);
    start({u"--requeue"_s, kStem});
    ASSERT_TRUE(waitFor([&] { return readOutput(), err.contains("s'espera que acabi"); }))
        << err.constData();
    test::eventually([] { return false; }, 500);
    EXPECT_TRUE(running());
    EXPECT_EQ(pairFiles("Cua").size(), 0);
    held.fd.close();
    EXPECT_EQ(finish(), 0) << err.constData();
    EXPECT_EQ(err.count("s'espera"), 1);
    EXPECT_EQ(pairFiles("Cua").size(), 3);
}

namespace {

// Stops the process for good (SIGKILL) just before its k-th step on the disk.
class KillAtStep : public routing::QueueBackend
{
public:
    explicit KillAtStep(int step)
        : step_(step)
    {
    }
    int create(const QString &path, bool exclusive, platform::UniqueFd &fd) override
    {
        return step(), QueueBackend::create(path, exclusive, fd);
    }
    int write(int fd, const char *data, qint64 length) override
    {
        return step(), QueueBackend::write(fd, data, length);
    }
    int flush(const QString &path, bool dataOnly) override
    {
        return step(), QueueBackend::flush(path, dataOnly);
    }
    int rename(const QString &from, const QString &to, bool replace) override
    {
        return step(), QueueBackend::rename(from, to, replace);
    }
    int remove(const QString &path) override { return step(), QueueBackend::remove(path); }

private:
    void step()
    {
        if (++done_ == step_)
            ::raise(SIGKILL);
    }
    int step_;
    int done_ = 0;
};

} // namespace

// Killed before each step of a requeue in turn, the pair is listed once; then either a run
// comes first (it forwards the pair or leaves it whole in the failed archive) or the same
// requeue is given again and a run forwards it. Never lost, never sent twice.
TEST_F(QueueActions, AKillAtEveryStepOfARequeueLeavesThePairOnce)
{
    writeConfig(30000);
    qsizetype sent = 0;
    int step = 1;
    for (bool finished = false; !finished && step < 40; ++step) {
        for (const bool requeueAgain : {false, true}) {
            for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"}) {
                QDir(folder(name)).removeRecursively();
                ASSERT_TRUE(QDir().mkpath(folder(name)));
            }
            putPair("NoEnviats", kStem);
            put("Cua", kStem + u".intent"_s, "1000 other-boot 5\n");
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                KillAtStep backend(step);
                const routing::ScopedQueueBackend scoped(backend);
                const bool ok
                    = routing::requeuePairs(folder("Cua"), folder("NoEnviats"), {kStem}).ok();
                ::_exit(ok ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            finished = WIFEXITED(status);
            if (finished) {
                EXPECT_EQ(WEXITSTATUS(status), 0);
            }
            const QString where = u"killed before step %1"_s.arg(step);

            const int listedTimes
                = int(listed(u"--queue"_s).count(kStem) + listed(u"--failed"_s).count(kStem));
            EXPECT_EQ(listedTimes, 1) << where.toStdString();
            if (requeueAgain && !finished) {
                EXPECT_EQ(run({u"--requeue"_s, u"--all"_s}), 0)
                    << where.toStdString() << err.constData();
            }
            routingRun();
            ASSERT_FALSE(HasFatalFailure()) << where.toStdString();
            const bool forwarded = pairFiles("SiEnviats").contains(kStem + u".missatge"_s);
            const bool failed = pairFiles("NoEnviats").contains(kStem + u".missatge"_s);
            EXPECT_NE(forwarded, failed) << where.toStdString();
            EXPECT_EQ(smtp.messages().size() - sent, forwarded ? 1 : 0) << where.toStdString();
            sent = smtp.messages().size();
            EXPECT_TRUE(pairFiles("Cua").isEmpty())
                << where.toStdString() << pairFiles("Cua").join(u' ').toStdString();
            // Once requeued again, it went out.
            if (requeueAgain) {
                EXPECT_TRUE(forwarded) << where.toStdString();
            }
            if (failed) {
                EXPECT_EQ(pairFiles("NoEnviats").size(), 3) << where.toStdString();
            }
        }
    }
    // Every step was reached, and the last run ended by itself.
    EXPECT_GT(step, 8);
    EXPECT_LT(step, 40);
}

// --flush wakes the router running as the service long before its interval; with no router
// it says so and fails; a pid file that names another process is not believed.
TEST_F(QueueActions, FlushWakesTheServiceAndSaysWhenNoneRuns)
{
    writeConfig(30000);
    EXPECT_EQ(run({u"--flush"_s}), 1);
    EXPECT_TRUE(err.contains("no hi ha cap encaminador en marxa")) << err.constData();

    test::NotifySocket notify(dir.filePath(u"notify"_s));
    ASSERT_TRUE(notify.bound());
    env.insert(u"NOTIFY_SOCKET"_s, notify.path());
    QProcess service;
    service.setProcessEnvironment(env);
    service.start(QCoreApplication::applicationDirPath() + u"/../../vessamo"_s, QStringList {});
    ASSERT_TRUE(service.waitForStarted(5000));
    EXPECT_EQ(notify.received(10000), "READY=1");
    env.remove(u"NOTIFY_SOCKET"_s);

    // While a run holds the queue the signal would be ignored: said, and nothing sent.
    {
        const platform::LockFile run
            = platform::lockFile(folder("Cua") + u".vessamo.lock"_s, false);
        ASSERT_EQ(run.state, platform::LockFile::State::Held);
        EXPECT_EQ(this->run({u"--flush"_s}), 1);
        EXPECT_TRUE(err.contains("ja fa una execució")) << err.constData();
        EXPECT_TRUE(notify.received(1000).isEmpty());
    }
    EXPECT_EQ(run({u"--flush"_s}), 0) << err.constData();
    EXPECT_TRUE(out.contains(QByteArray::number(service.processId()))) << out.constData();
    // The interval is 30,000 minutes: only the wake-up makes a run.
    EXPECT_TRUE(notify.received(20000).startsWith("STATUS=Darrera execució "));

    // A pid file that names a process that does not hold its lock is refused.
    QFile pidFile(dir.filePath(u"vessamo.pid"_s));
    ASSERT_TRUE(pidFile.open(QIODevice::WriteOnly));
    pidFile.write(QByteArray::number(qint64(::getpid())) + '\n');
    pidFile.close();
    EXPECT_EQ(run({u"--flush"_s}), 1);
    EXPECT_TRUE(err.contains("no és el que el té bloquejat; no s'envia cap senyal"))
        << err.constData();
    EXPECT_TRUE(notify.received(1000).isEmpty());

    service.terminate();
    EXPECT_TRUE(service.waitForFinished(10000));
    EXPECT_EQ(run({u"--flush"_s}), 1);
    EXPECT_TRUE(err.contains("no hi ha cap encaminador en marxa")) << err.constData();

    // A process that holds the file and names itself, but is another program: refused.
    platform::LockFile held = platform::lockFile(dir.filePath(u"vessamo.pid"_s), false);
    ASSERT_EQ(held.state, platform::LockFile::State::Held);
    const auto previous = std::signal(SIGUSR1, SIG_IGN);
    EXPECT_EQ(run({u"--flush"_s}), 1);
    std::signal(SIGUSR1, previous);
    EXPECT_TRUE(err.contains("no és aquest programa")) << err.constData();
}

// As root on the service's spool: what is moved or made stays the owner's, owner-only; an
// account that is neither root nor the owner is refused.
TEST_F(QueueActions, RootActsAsTheFolderOwner)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const QString program = u"/usr/bin/setpriv"_s;
    if (!QFileInfo::exists(program))
        GTEST_SKIP() << "no setpriv";
    writeConfig(30000);
    putPair("NoEnviats", kStem);
    for (const char *name : {"Cua", "NoEnviats"}) {
        for (const QString &file : QDir(folder(name)).entryList(QDir::Files | QDir::Hidden))
            ASSERT_EQ(::chown(qPrintable(folder(name) + file), 65534, 65534), 0);
        ASSERT_EQ(::chown(qPrintable(folder(name)), 65534, 65534), 0);
    }
    ASSERT_EQ(run({u"--requeue"_s, kStem}), 0) << err.constData();
    for (const QString &file : pairFiles("Cua") + QStringList {u".vessamo.lock"_s}) {
        struct stat st
        {
        };
        ASSERT_EQ(::lstat(qPrintable(folder("Cua") + file), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << file.toStdString();
    }
    struct stat record
    {
    };
    ASSERT_EQ(::lstat(qPrintable(folder("Cua") + kStem + u".attempts"_s), &record), 0);
    EXPECT_EQ(record.st_mode & 0777, 0600u);

    // Another account than the owner may not act.
    ASSERT_EQ(::chmod(qPrintable(dir.path()), 0711), 0);
    ASSERT_EQ(::chmod(qPrintable(configPath), 0644), 0);
    ASSERT_EQ(::chown(qPrintable(folder("Cua")), 0, 0), 0);
    process.setProcessEnvironment(env);
    process.start(program,
                  {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                   QCoreApplication::applicationDirPath() + u"/../../vessamo"_s, u"--delete"_s,
                   u"--queue"_s, u"--yes"_s, kStem});
    ASSERT_TRUE(process.waitForStarted(5000));
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(err.contains("només root o el propietari")) << err.constData();
    EXPECT_EQ(pairFiles("Cua").size(), 3);
}
