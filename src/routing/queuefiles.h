// File operations of the queue and archive store, made of the backend's steps
// (queuebackend.h): the durable records that queue.h hands on to the router (folder syncs,
// the sent mark, the safety copy), and, in namespace queuefiles, the helpers of the store
// itself: failures told in Catalan from errno, the durable copy and move of one file, and
// the folder listing by suffix.
#pragma once

#include "routing/queuepair.h"

#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <initializer_list>

namespace vessamo::routing {

// Folder syncs put off and done together: after a rename, the new entry is on disk only
// once its folder is synced, and one sync covers every rename made in that folder since.
// The queue pass adds the folders it renames in and flushes at most once per interval and
// at its end, which keeps a sync per message (milliseconds each) off the pass.
class FolderSyncs
{
public:
    FolderSyncs();
    void add(const QString &folder);
    // Flushes when the interval has passed since the last flush.
    StoreResult flushIfDue();
    // Syncs every folder added since the last flush; the first failure is returned.
    StoreResult flush();

private:
    QSet<QString> pending_;
    QElapsedTimer sinceFlush_;
};

// Records in the queue that a server accepted the pair: the forward-to file is renamed to
// its sent mark. The folder goes into `syncs`, or is synced at once without it.
StoreResult markSent(const QString &folder, const QString &forwardToName,
                     FolderSyncs *syncs = nullptr);

// A copy of a queued message that stands by while an outside program may change the
// message: a clone where the file system shares blocks, else a plain copy (a hard link
// would not survive a truncation in place). Removed on destruction.
class SafetyCopy
{
public:
    explicit SafetyCopy(const QString &messagePath);
    ~SafetyCopy();
    SafetyCopy(const SafetyCopy &) = delete;
    SafetyCopy &operator=(const SafetyCopy &) = delete;

    bool valid() const { return held_; }
    // Why the copy could not be made ("no existeix", "el disc és ple", ...).
    const QString &errorString() const { return error_; }
    // Puts the copy back when the message is gone or empty; true when it did.
    bool restoreIfLost();

private:
    QString message_;
    QString copy_;
    QString error_;
    bool held_ = false;
};

} // namespace vessamo::routing

namespace vessamo::routing::queuefiles {

// Folder paths end in "/" and names are appended to them; a configured path without it
// must not scatter files into the parent folder.
QString asFolder(const QString &path);
// The reason of an errno value, in Catalan where the event log has one.
QString reasonText(int err);
// 0 on success, else errno. Copies the rest of `in` to `out`, block by block.
int copyContents(int in, int out);
StoreResult syncFailure(const QString &folder, int err);
// Moves source + name to target + targetName: a rename, after which both folders are
// synced through `syncs` or at once; across file systems a durable copy, then the delete.
StoreResult moveFile(const QString &name, const QString &source, const QString &target,
                     const QString &targetName, FolderSyncs *syncs);
// Names of the files in the folder whose names end with one of the suffixes
// (case-sensitive), in ascending order. One directory read, one sort.
QStringList filesEndingWith(const QString &folder, std::initializer_list<QString> suffixes);

} // namespace vessamo::routing::queuefiles
