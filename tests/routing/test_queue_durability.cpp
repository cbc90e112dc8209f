// The durable steps of a move into an archive, seen from the system calls: this test binary
// defines fsync() itself, so every folder sync the store makes is recorded here (and can be
// made to fail) before the C library's fsync() runs. A move by rename must be followed by a
// sync of the target folder; a move by copy (another file system) must not report success
// when the target folder's sync failed.
#include "routing/queue.h"

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
