// Where the built-in OAuth 2.0 client keeps its accounts (the token store): the router
// reads it at each XOAUTH2 or OAUTHBEARER login, and vessamo-token enrols into it, so both
// find it by this one rule. The installed service's tokens are state of the service, in
// /var/lib/vessamo/tokens (the service user's home, writable under the unit's sandbox).
// Any other program - a build tree, a copy in another folder, the installed program run by
// a user of its own - keeps them in the folder "tokens" beside the configuration file it
// uses, so each configuration has the tokens of its own logins.
#pragma once

#include "config/layout.h"

#include <QString>

namespace vessamo::config {

inline constexpr char16_t kSystemTokenFolder[] = u"/var/lib/vessamo/tokens";

// The token folder for `layout` whose configuration is `configurationFile`.
QString tokenFolder(const Layout &layout, const QString &configurationFile);
// The same with the configuration file the layout gives ($VESSAMO_CONFIG when set).
QString tokenFolder(const Layout &layout);

// Where the router keeps the state file of its health (the last run's summary, the counters
// of the metrics): by the same rule, /var/lib/vessamo for the installed service, else the
// folder of the configuration file.
inline constexpr char16_t kSystemStateFolder[] = u"/var/lib/vessamo";
QString stateFolder(const Layout &layout, const QString &configurationFile);

} // namespace vessamo::config
