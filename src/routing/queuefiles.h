// File operations of the queue and archive store, shared by queue.cpp and queuefiles.cpp:
// failures told in Catalan from errno, the durable copy and move of one file (made of the
// backend's steps, queuebackend.h), and the folder listing by suffix. Not for use outside
// the store.
#pragma once

#include "routing/queue.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <sys/types.h>

namespace vessamo::routing::queuefiles {

// Mail is private to the account that runs the router.
inline constexpr mode_t kFileMode = 0600;

QByteArray nativePath(const QString &path);
// Folder paths end in "/" and names are appended to them; a configured path without it
// must not scatter files into the parent folder.
QString asFolder(const QString &path);
// The reason of an errno value, in Catalan where the event log has one.
QString reasonText(int err);
// open(2) with O_CLOEXEC, retried on EINTR; -1 and errno on failure.
int openNative(const QString &path, int flags, mode_t mode = 0);
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
// The name without its forward-to or sent-mark suffix: for a well-formed name, the stem.
QString stemOf(const QString &name);

} // namespace vessamo::routing::queuefiles
