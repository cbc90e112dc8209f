// vessamo --queue/--failed/--spam, --requeue, --delete and --flush: the command line's side
// of the listing (routing/queuelisting.h), the queue actions (routing/queueactions.h) and
// waking the router (platform/routerpid.h): it reads the configuration, asks before
// deleting, waits for a run that holds the queue and prints.
#pragma once

#include "shell/commandline.h"

namespace vessamo::shell {

// How long --requeue and --delete wait for a run that holds the queue.
inline constexpr int kQueueActionWaitMs = 5 * 60 * 1000;

// The exit status.
// --queue, --failed, --spam [--json]: the pairs of the configured folder.
int listQueue(const CommandLine &line, const QString &configurationFile);
int runQueueAction(const CommandLine &line, const QString &configurationFile);
int flushRouter(const QString &configurationFile, const QString &stateFolder);

} // namespace vessamo::shell
