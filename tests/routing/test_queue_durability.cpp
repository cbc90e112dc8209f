// The durable steps of a move into an archive, seen from the system calls: this test binary
// defines fsync() and rename() itself, so every folder sync and rename the store makes is
// recorded here (and a sync can be made to fail) before the C library's own runs. A move by rename
// must be followed by a sync of the target folder; a move by copy (another file system) must not
// report success when the target folder's sync failed.
#include "config/configuracio.h"
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "routing/queue.h"
#include "routing/routingview.h"
#include "support/fakepop3.h"
#include "support/silentview.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

QStringList syncedFolders;
QString failingFolder;
QStringList renamedFrom; // the source names of every rename, in order
QStringList dataSynced; // the names of the files given to fdatasync()

QString pathOf(int fd)
{
    return QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget();
}

} // namespace

extern "C" int fsync(int fd)
{
    using Fsync = int (*)(int);
    static const auto real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    const QString path = pathOf(fd);
    if (QFileInfo(path).isDir()) {
        if (!failingFolder.isEmpty() && path == failingFolder) {
            errno = EIO;
            return -1;
        }
        syncedFolders << path;
    }
    return real(fd);
}

extern "C" int fdatasync(int fd)
{
    using Fdatasync = int (*)(int);
    static const auto real = reinterpret_cast<Fdatasync>(dlsym(RTLD_NEXT, "fdatasync"));
    dataSynced << QFileInfo(pathOf(fd)).fileName();
    return real(fd);
}

extern "C" int rename(const char *from, const char *to)
{
    using Rename = int (*)(const char *, const char *);
    static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
    renamedFrom << QFileInfo(QString::fromLocal8Bit(from)).fileName();
    return real(from, to);
}

namespace {

using namespace vessamo::routing;

const QString kStem = QStringLiteral("M202401010000000001");

struct Folders
{
    explicit Folders(const QString &targetParent)
        : targetDir(targetParent + QStringLiteral("/vessamo-durability-XXXXXX"))
    {
        source = QDir(sourceDir.path()).canonicalPath();
        target = QDir(targetDir.path()).canonicalPath();
        for (const QString &suffix : {kForwardToSuffix, kMessageSuffix}) {
            QFile file(source + u'/' + kStem + suffix);
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("x\r\n");
        }
        syncedFolders.clear();
        failingFolder.clear();
        renamedFrom.clear();
    }
    ~Folders() { failingFolder.clear(); }
    StoreResult move(FolderSyncs *syncs = nullptr) const
    {
        return MoureParella(kStem + kForwardToSuffix, kStem + kMessageSuffix, source + u'/',
                            target + u'/', syncs);
    }

    QTemporaryDir sourceDir;
    QTemporaryDir targetDir;
    QString source;
    QString target;
};

} // namespace

TEST(QueueDurability, AMoveByRenameSyncsTheTargetFolder)
{
    {
        Folders f(QDir::tempPath());
        ASSERT_TRUE(f.move());
        EXPECT_TRUE(syncedFolders.contains(f.target)) << syncedFolders.join(u' ').toStdString();
        EXPECT_TRUE(syncedFolders.contains(f.source));
    }
    {
        // Batched: nothing until the flush, then the folders the pass renamed in.
        Folders f(QDir::tempPath());
        FolderSyncs syncs;
        ASSERT_TRUE(f.move(&syncs));
        EXPECT_FALSE(syncedFolders.contains(f.target));
        ASSERT_TRUE(syncs.flush());
        EXPECT_TRUE(syncedFolders.contains(f.target)) << syncedFolders.join(u' ').toStdString();
    }
}

TEST(QueueDurability, AFailedFolderSyncInTheCopyPathKeepsThePairQueued)
{
    if (!QDir(QStringLiteral("/dev/shm")).exists())
        GTEST_SKIP() << "no /dev/shm for a second file system";
    Folders f(QStringLiteral("/dev/shm"));
    if (QFileInfo(f.source).absolutePath().startsWith(QStringLiteral("/dev/shm")))
        GTEST_SKIP() << "the temporary folder is on /dev/shm too";
    failingFolder = f.target;
    const StoreResult moved = f.move();
    EXPECT_FALSE(moved);
    EXPECT_TRUE(moved.error.startsWith(QStringLiteral("Arxivant: "))) << moved.error.toStdString();
    // One copy only, still where the next run finds it.
    EXPECT_TRUE(QFile::exists(f.source + u'/' + kStem + kForwardToSuffix));
    EXPECT_TRUE(QFile::exists(f.source + u'/' + kStem + kMessageSuffix));
    EXPECT_FALSE(QFile::exists(f.target + u'/' + kStem + kMessageSuffix));
    EXPECT_FALSE(QFile::exists(f.target + u'/' + kStem + kForwardToSuffix));
}

// The message moves first: a crash between the two renames leaves a forward-to file alone
// in the queue (dropped by the pair check), never a listed pair without its message.
TEST(QueueDurability, TheMessageMovesBeforeItsForwardToFile)
{
    Folders f(QDir::tempPath());
    ASSERT_TRUE(f.move());
    EXPECT_EQ(renamedFrom, (QStringList {kStem + kMessageSuffix, kStem + kForwardToSuffix}));
}

namespace {

using SilentView = vessamo::test::SilentView;

} // namespace

// QUIT lets the server delete what was marked: every message the session stored, its
// forward-to file and the queue folder must be on disk before QUIT leaves.
TEST(QueueDurability, StoredMessagesReachTheDiskBeforeQuit)
{
    using namespace vessamo;
    QTemporaryDir dir;
    test::ScopedEnv log("VESSAMO_EVENTLOG", QFile::encodeName(dir.filePath(QStringLiteral("ev"))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("Cua")));
    const QString queue = QDir(dir.filePath(QStringLiteral("Cua"))).canonicalPath();
    config::resetConfiguration();
    config::Configuracio.CarpetaCua = queue + u'/';
    test::FakePop3 server;
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

    bool quitSeen = false;
    QStringList foldersAtQuit;
    QStringList filesAtQuit;
    server.setCommandHook([&](const QByteArray &line) {
        if (line == "QUIT") {
            quitSeen = true;
            foldersAtQuit = syncedFolders;
            filesAtQuit = dataSynced;
        }
    });
    syncedFolders.clear();
    dataSynced.clear();
    SilentView view;
    RunContext ctx(view);
    platform::SocketControl socket;
    Pop3Session session(socket, ctx);
    session.LlegirBustia(0);

    ASSERT_TRUE(quitSeen);
    EXPECT_TRUE(server.messages().isEmpty());
    EXPECT_TRUE(foldersAtQuit.contains(queue)) << foldersAtQuit.join(u' ').toStdString();
    const QStringList stored = QDir(queue).entryList(QDir::Files);
    ASSERT_EQ(stored.size(), 4);
    for (const QString &name : stored)
        EXPECT_TRUE(filesAtQuit.contains(name)) << name.toStdString();
    config::resetConfiguration();
}
