// Small owner-only files in a private folder (the OAuth token store): read and written by
// name inside a folder opened once, never through a symbolic link. A write goes to a new
// temporary file in the same folder (created exclusively, mode 0600), is synced, then
// renamed over the name and the folder synced: a reader sees the old file or the new one,
// never half of one, and a link planted at the name is replaced, not followed. When root
// writes into a folder that belongs to another account (the service's), the file is handed
// to the folder's owner, who must go on reading and rewriting it.
#pragma once

#include "platform/posixfd.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace vessamo::platform {

// Why the folder at `path` is not private enough to hold secrets; nothing when it is. It
// must be a real folder (not a link), that neither its group nor others may write, and
// belong to this process's user or to root (root may also use a folder of another account).
std::optional<QString> privateFolderProblem(const QString &path);

struct PrivateRead
{
    std::optional<QByteArray> bytes; // none: missing or refused
    bool missing = false; // no file by that name
    QString error; // why it was refused (empty when only missing)
};

// The file `name` in `folder`: a regular file (not a link), at most `maxBytes` long.
PrivateRead readPrivateFile(const QString &folder, const QString &name, qint64 maxBytes);

// Writes `bytes` as `name` in `folder`, mode 0600; the error text, empty on success.
QString writePrivateFile(const QString &folder, const QString &name, const QByteArray &bytes);

// Removes `name` from `folder` (the name, never what a link points at). Empty on success
// or when there was nothing to remove.
QString removePrivateFile(const QString &folder, const QString &name);

} // namespace vessamo::platform
