// The durable steps of the queue and archive store, seen through a recording backend: their
// order (the message before its forward-to file; everything on disk before POP3 QUIT) and
// what the store does when one of them fails as a full disk, a refused rename, another
// file system or a failed flush would.
#include "config/configuracio.h"
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "routing/queue.h"
#include "routing/queuebackend.h"
#include "support/eventlogfile.h"
#include "support/fakepop3.h"
#include "support/silentview.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

namespace {

using namespace vessamo;
using namespace vessamo::routing;

// Writes each step as a line, paths relative to the test folder ("rename Cua/x SiEnviats/x",
// "flush Cua/", "write Cua/x.part"), and fails the steps whose line matches a fault.
class RecordingBackend : public QueueBackend
{
public:
    struct Fault
    {
        const char *step; // a regular expression over the step's line
        int error;
    };

    explicit RecordingBackend(const QString &root)
        : root_(root + u'/')
    {
    }

    QStringList steps;
    QList<Fault> faults;

    int create(const QString &path, bool exclusive, platform::UniqueFd &fd) override
    {
        if (const int err = step(QStringLiteral("create ") + relative(path)))
            return err;
        const int err = QueueBackend::create(path, exclusive, fd);
        if (err == 0)
            names_[fd.get()] = relative(path);
        return err;
    }
    int write(int fd, const char *data, qint64 length) override
    {
        if (const int err = step(QStringLiteral("write ") + names_.value(fd)))
            return err;
        return QueueBackend::write(fd, data, length);
    }
    int flush(int fd) override
    {
        if (const int err = step(QStringLiteral("flush ") + names_.value(fd)))
            return err;
        return QueueBackend::flush(fd);
    }
    int flush(const QString &path, bool dataOnly) override
    {
        if (const int err = step(QStringLiteral("flush ") + relative(path)))
            return err;
        return QueueBackend::flush(path, dataOnly);
    }
    int flushFileSystem(const QString &folder) override
    {
        if (const int err = step(QStringLiteral("flushfs ") + relative(folder)))
            return err;
        return QueueBackend::flushFileSystem(folder);
    }
    int rename(const QString &from, const QString &to, bool replace) override
    {
        if (const int err = step(QStringLiteral("rename %1 %2").arg(relative(from), relative(to))))
            return err;
        return QueueBackend::rename(from, to, replace);
    }
    int remove(const QString &path) override
    {
        if (const int err = step(QStringLiteral("remove ") + relative(path)))
            return err;
        return QueueBackend::remove(path);
    }

private:
    QString relative(const QString &path) const
    {
        return path.startsWith(root_) ? path.mid(root_.size()) : path;
    }
    int step(const QString &line)
    {
        steps << line;
        for (const Fault &fault : std::as_const(faults)) {
            if (QRegularExpression(QString::fromUtf8(fault.step)).match(line).hasMatch()) {
                steps.last() += QStringLiteral(" FAILED");
                return fault.error;
            }
        }
        return 0;
    }

    QString root_;
    QHash<int, QString> names_;
};

const QString kStem = QStringLiteral("M202401010000000001");
const QString kMessage = kStem + kMessageSuffix;
const QString kForwardTo = kStem + kForwardToSuffix;

// A queue and a sent archive with one queued pair, and the backend watching them.
struct Store
{
    explicit Store(bool withPair = true)
        : root(QDir(dir.path()).canonicalPath())
        , backend(root)
        , use(backend)
    {
        QDir(root).mkdir(QStringLiteral("Cua"));
        QDir(root).mkdir(QStringLiteral("SiEnviats"));
        for (const QString &name : withPair ? QStringList {kForwardTo, kMessage} : QStringList()) {
            QFile file(path(QStringLiteral("Cua/") + name));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("x\r\n");
        }
    }
    QString path(const QString &relative) const { return root + u'/' + relative; }
    StoreResult move(FolderSyncs *syncs = nullptr) const
    {
        return MoureParella(kForwardTo, kMessage, path(QStringLiteral("Cua")),
                            path(QStringLiteral("SiEnviats")), syncs);
    }
    QStringList files(const QString &folder) const
    {
        return QDir(path(folder)).entryList(QDir::Files, QDir::Name);
    }
    // The same as one text, which a failed check prints readably.
    std::string listing(const QString &folder) const
    {
        return files(folder).join(u' ').toStdString();
    }

    QTemporaryDir dir;
    QString root;
    RecordingBackend backend;
    ScopedQueueBackend use;
};

QString joined(const QStringList &lines)
{
    return lines.join(u'\n');
}

} // namespace

// The message moves first: a crash between the two renames leaves a forward-to file alone
// in the queue (dropped by the pair check), never a listed pair without its message. Each
// rename is on disk (both folders flushed) before the next step.
TEST(QueueDurability, TheMessageMovesFirstAndEveryRenameIsFlushed)
{
    Store s;
    ASSERT_TRUE(s.move());
    const QString message = QStringLiteral("Cua/%1 SiEnviats/%1").arg(kMessage);
    const QString forwardTo = QStringLiteral("Cua/%1 SiEnviats/%1").arg(kForwardTo);
    EXPECT_EQ(joined(s.backend.steps),
              QStringLiteral("rename %1\nflush SiEnviats/\nflush Cua/\n"
                             "rename %2\nflush SiEnviats/\nflush Cua/")
                  .arg(message, forwardTo));

    // Batched: the queue pass flushes each folder once, later.
    Store batched;
    FolderSyncs syncs;
    ASSERT_TRUE(batched.move(&syncs));
    EXPECT_EQ(batched.backend.steps.filter(QStringLiteral("flush")).size(), 0);
    ASSERT_TRUE(syncs.flush());
    EXPECT_EQ(batched.backend.steps.filter(QStringLiteral("flush")).size(), 2);
}

// Whatever step fails, the pair ends whole in exactly one folder, and a failure says so.
TEST(QueueDurability, AFailedStepOfAMoveLeavesThePairWholeInOneFolder)
{
    const char *toArchive = "^rename Cua/";
    const auto step = [](const char *format) { return QString::fromUtf8(format).arg(kMessage); };
    struct Row
    {
        const char *name;
        QList<RecordingBackend::Fault> faults;
        bool moved;
        QString stepsContain; // a step the row must have taken
    };
    const QList<Row> rows = {
        {"the message cannot be renamed", {{"^rename Cua/.*missatge ", EIO}}, false, {}},
        {"the forward-to file cannot follow: the message comes back",
         {{"^rename Cua/.*destinatari ", EACCES}},
         false,
         step("rename SiEnviats/%1 Cua/%1")},
        {"another file system: copy, flush, name, flush, delete",
         {{toArchive, EXDEV}},
         true,
         step("flush SiEnviats/%1.part")},
        {"another file system, the archive folder's flush fails",
         {{toArchive, EXDEV}, {"^flush SiEnviats/$", EIO}},
         false,
         step("remove SiEnviats/%1")},
        {"another file system, the disk is full",
         {{toArchive, EXDEV}, {"^write SiEnviats/", ENOSPC}},
         false,
         step("remove SiEnviats/%1.part")},
        {"another file system, the source cannot be deleted",
         {{toArchive, EXDEV}, {"^remove Cua/", EACCES}},
         false,
         step("remove SiEnviats/%1")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Store s;
        s.backend.faults = row.faults;
        const StoreResult result = s.move();
        SCOPED_TRACE(joined(s.backend.steps).toStdString());
        EXPECT_EQ(bool(result), row.moved) << result.error.toStdString();
        EXPECT_EQ(result.error.startsWith(QStringLiteral("Arxivant: ")), !row.moved);
        const std::string pair = (kForwardTo + u' ' + kMessage).toStdString();
        EXPECT_EQ(s.listing(QStringLiteral("SiEnviats")), row.moved ? pair : "");
        EXPECT_EQ(s.listing(QStringLiteral("Cua")), row.moved ? "" : pair);
        EXPECT_TRUE(row.stepsContain.isEmpty() || s.backend.steps.contains(row.stepsContain));
    }
}

namespace {

// A POP3 mailbox with two messages, its queue watched by the backend.
struct Pop3Store
{
    Pop3Store()
    {
        config::resetConfiguration();
        config::Configuracio.CarpetaCua = store.path(QStringLiteral("Cua/"));
        server.addMessage("From: a@b.cat\r\n\r\none\r\n");
        server.addMessage("From: c@d.cat\r\n\r\ntwo\r\n");
        config::Bustia b;
        b.Servidor = QStringLiteral("127.0.0.1");
        b.Port = static_cast<qint16>(server.port());
        b.Usuari = QStringLiteral("usuari");
        b.Contrassenya = QStringLiteral("secret");
        b.EnviarA = QStringLiteral("x@y.cat");
        config::Busties.push_back(b);
        config::Configuracio.NumBusties = 1;
    }
    ~Pop3Store() { config::resetConfiguration(); }
    void fetch()
    {
        test::SilentView view;
        RunContext ctx(view);
        platform::SocketControl socket;
        Pop3Session session(socket, ctx);
        session.LlegirBustia(0);
    }

    QString logText() const { return test::eventLogTexts(logPath).join(u'\n'); }

    QTemporaryDir logDir;
    QString logPath = logDir.filePath(QStringLiteral("events"));
    test::ScopedEnv logEnv {"VESSAMO_EVENTLOG", QFile::encodeName(logPath)};
    Store store {false};
    test::FakePop3 server;
};

} // namespace

// QUIT lets the server delete what was marked: every stored message, its forward-to file
// and the queue folder must be flushed after the message took its name and before QUIT.
TEST(QueueDurability, StoredMessagesReachTheDiskBeforeQuit)
{
    Pop3Store p;
    QStringList stepsAtQuit;
    p.server.setCommandHook([&](const QByteArray &line) {
        if (line == "QUIT")
            stepsAtQuit = p.store.backend.steps;
    });
    p.fetch();
    ASSERT_TRUE(p.server.messages().isEmpty());
    const QStringList stored = p.store.files(QStringLiteral("Cua"));
    ASSERT_EQ(stored.size(), 4);
    SCOPED_TRACE(joined(stepsAtQuit).toStdString());
    const auto at = [&](const QString &step) { return stepsAtQuit.indexOf(step); };
    const qsizetype folderFlushed = at(QStringLiteral("flush Cua/"));
    ASSERT_GE(folderFlushed, 0);
    for (const QString &name : stored) {
        const qsizetype flushed = at(QStringLiteral("flush Cua/") + name);
        EXPECT_GE(flushed, 0) << name.toStdString();
        EXPECT_LT(flushed, folderFlushed);
        if (name.endsWith(kMessageSuffix)) {
            const qsizetype named = at(QStringLiteral("rename Cua/%1.part Cua/%1").arg(name));
            EXPECT_GE(named, 0);
            EXPECT_LT(named, flushed);
        }
    }
}

// A store step that fails during the download leaves the message on the server and nothing
// half-stored in the queue; the log says why.
TEST(QueueDurability, AFailedStoreStepKeepsTheMessageOnTheServer)
{
    struct Row
    {
        const char *name;
        RecordingBackend::Fault fault;
        bool deleSent;
        const char *logged;
    };
    const QList<Row> rows = {
        {"the disk is full", {"^write Cua/.*part$", ENOSPC}, false, "el disc és ple"},
        {"the forward-to file cannot be created",
         {"^create Cua/.*destinatari$", EACCES},
         false,
         "permís denegat"},
        {"the message cannot take its name",
         {"^rename Cua/.*part ", EIO},
         false,
         "no s'ha pogut desar"},
        // No QUIT: the server deletes nothing, and the copies go so nothing goes out twice.
        {"the queue folder cannot be flushed", {"^flush Cua/$", EIO}, true, "desar a disc"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Pop3Store p;
        p.store.backend.faults = {row.fault};
        p.fetch();
        SCOPED_TRACE(joined(p.store.backend.steps).toStdString());
        EXPECT_EQ(p.server.messages().size(), 2);
        EXPECT_EQ(p.server.commands().contains("DELE 1"), row.deleSent);
        EXPECT_EQ(p.store.listing(QStringLiteral("Cua")), "");
        EXPECT_TRUE(p.logText().contains(QString::fromUtf8(row.logged)))
            << p.logText().toStdString();
    }
}
