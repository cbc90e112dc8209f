// Who may change what this program reads as its configuration and runs as the anti-spam
// program. Root runs both; whoever else can write them could make root run anything. The
// rule is sshd's for its configuration and its AuthorizedKeysCommand: every file and
// folder checked belongs to root or to the user this process runs as, and neither its
// group nor others may write it. A folder that others may write but that has the sticky
// bit and belongs to root (/tmp) is allowed above the checked file: there nobody can
// rename or remove a name they do not own.
//
// Also the service account that root's saves hand things to, and the lock that keeps two
// saves of one configuration from losing each other's changes.
#pragma once

#include "platform/posixfd.h"

#include <QString>
#include <optional>
#include <sys/types.h>

namespace vessamo::config {

// Why others could change the file at `path` (its owner, group or mode, of the file or of
// the folder holding it, through a symbolic link or not); nothing when only root and this
// process's user can. `everyFolder` checks every folder up to "/", not just the nearest.
std::optional<QString> writableByOthers(const QString &path, bool everyFolder);

// The account the service runs as, when root saves the installed program's configuration:
// the file gets root as owner and the account's group, mode 0640, and folders a save
// creates belong to the account (mode 0700). Empty (the default): the one who saves keeps
// what he writes.
struct ServiceAccount
{
    uid_t uid = 0;
    gid_t gid = 0;
    bool set = false;
};
void setServiceAccount(const QString &userName);
ServiceAccount serviceAccount();

// An exclusive lock on the configuration at `path` while alive: the file `path` + ".lock"
// beside it (platform::lockFile), waiting while another holder has it. Taking it again in
// this process while held is a no-op, so a save inside a locked read-check-write is fine.
class ConfigurationLock
{
public:
    explicit ConfigurationLock(const QString &path);
    ~ConfigurationLock();
    ConfigurationLock(const ConfigurationLock &) = delete;
    ConfigurationLock &operator=(const ConfigurationLock &) = delete;

    bool held() const { return held_; }
    // Why the lock could not be taken.
    const QString &error() const { return error_; }

private:
    platform::UniqueFd fd_;
    bool held_ = false;
    QString error_;
};

} // namespace vessamo::config
