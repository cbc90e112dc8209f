// The file system steps of the queue and archive store behind one interface: creating a
// file, writing it, flushing a file or a folder to disk, renaming and removing. Every
// durable step of the store goes through queueBackend(), so a test can watch their order
// (the message before its forward-to file; everything on disk before POP3 QUIT) and make
// any one fail as a full disk, a refused rename or a failed flush would, without a real
// fault. Moves between folders are made of these steps (queuefiles.cpp).
//
// The base class is the real backend; a test derives from it and overrides what it
// watches. Each step returns 0 or an errno value.
#pragma once

#include "platform/posixfd.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

namespace vessamo::routing {

// Mail is private to the account that runs the router.
inline constexpr mode_t kFileMode = 0600;

// The path as the file system spells it.
QByteArray nativePath(const QString &path);
// open(2) with O_CLOEXEC, retried on EINTR; -1 and errno on failure.
int openNative(const QString &path, int flags, mode_t mode = 0);
// A plain file opened to read, never through a link nor waiting on a FIFO planted under its
// name; its status in `st`. Invalid for anything else.
platform::UniqueFd openPlainFile(const QString &path, struct stat &st);
// The first `limit` bytes at most of such a file; nothing when it cannot be opened.
std::optional<QByteArray> readPlainFile(const QString &path, qint64 limit);

class QueueBackend
{
public:
    virtual ~QueueBackend() = default;

    // A new file, readable by its owner only, open for writing. `exclusive`: fails with
    // EEXIST when the name is taken; otherwise an existing file is emptied. A link under
    // the name is never followed (ELOOP). Made by root in another user's folder, it is
    // that user's.
    virtual int create(const QString &path, bool exclusive, platform::UniqueFd &fd);
    // Writes all of the bytes (retrying short writes).
    virtual int write(int fd, const char *data, qint64 length);
    // Flushes an open file's data and metadata to disk.
    virtual int flush(int fd);
    // Flushes a file (`dataOnly`: its contents) or a folder's entries to disk by path.
    virtual int flush(const QString &path, bool dataOnly);
    // Flushes the whole file system that holds the folder.
    virtual int flushFileSystem(const QString &folder);
    // `replace` false fails with EEXIST when `to` exists, without a window between the
    // check and the rename.
    virtual int rename(const QString &from, const QString &to, bool replace = true);
    virtual int remove(const QString &path);
};

// The backend every store operation uses.
QueueBackend &queueBackend();

// Makes `backend` the store's backend while this object lives (tests).
class ScopedQueueBackend
{
public:
    explicit ScopedQueueBackend(QueueBackend &backend);
    ~ScopedQueueBackend();
    ScopedQueueBackend(const ScopedQueueBackend &) = delete;
    ScopedQueueBackend &operator=(const ScopedQueueBackend &) = delete;

private:
    QueueBackend *previous_;
};

} // namespace vessamo::routing
