// The access tokens one routing run (or one vessamo-send) hands to its XOAUTH2 and
// OAUTHBEARER logins. A login names its source: an account of the built-in OAuth 2.0
// client (enrolled with vessamo-token, refreshed here when its access token runs out) or a
// token command (tokencommand.h). accessTokenFor turns that choice into the callback a
// session asks at each login.
//
// One TokenSources lives as long as the run and holds the run's one OAuthTokenSource, so a
// token refreshed for one mailbox serves the next mailbox and the SMTP login of that run.
// A source that fails is reported once in the run, and is not asked again in it: a revoked
// refresh token or a broken command gives one clear event-log entry per run, not one per
// mailbox, and does not cost a command's whole time limit for every mailbox that uses it.
// The next run tries again.
#pragma once

#include "platform/stopsource.h"

#include <QHash>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace vessamo::mail {
class OAuthTokenSource;
}

namespace vessamo::routing {

// What a session asks at each login: the access token, or nothing with `error` saying why.
using AccessTokenCallback = std::function<std::optional<QString>(QString &error)>;

class TokenSources
{
public:
    // Where a failure is written once; the event log when empty.
    using Report = std::function<void(const QString &text)>;

    // `storeFolder`: the built-in client's accounts (config::tokenFolder). `stop`: the run's
    // stop request, which ends a refresh or a token command in progress.
    explicit TokenSources(QString storeFolder, const platform::StopSource *stop = nullptr,
                          Report report = {});
    ~TokenSources();
    TokenSources(const TokenSources &) = delete;
    TokenSources &operator=(const TokenSources &) = delete;

    // A token command's time limit (kTokenCommandLimitSeconds by default).
    void setCommandLimitSeconds(int seconds) { commandLimitSeconds_ = seconds; }

    // The callback for one login: the built-in client's account `tokenAccount` when set,
    // else the command `tokenCommand`; an empty callback when neither is set. `phasePrefix`
    // begins the report of a failure, as the login's other errors begin ("Rebent: " for a
    // mailbox, "Enviant: " for the SMTP login). The report is made before the callback
    // returns, so a session puts `error` (the same text without the prefix) in its status
    // list and its own failure, not in the event log again. The callback refers to this
    // object, which must outlive the sessions it is handed to.
    AccessTokenCallback accessTokenFor(const QString &phasePrefix, const QString &tokenAccount,
                                       const QString &tokenCommand);

    // What the callback does.
    std::optional<QString> accessToken(const QString &phasePrefix, const QString &tokenAccount,
                                       const QString &tokenCommand, QString &error);

    // Whether that source failed in this run (and so is not asked again in it); false when
    // neither is set.
    bool failed(const QString &tokenAccount, const QString &tokenCommand) const;

private:
    std::optional<QString> fetch(const QString &tokenAccount, const QString &tokenCommand,
                                 QString &error);

    QString storeFolder_;
    const platform::StopSource *stop_;
    Report report_;
    int commandLimitSeconds_;
    // Made at the first account asked for.
    std::unique_ptr<mail::OAuthTokenSource> oauth_;
    // The sources that failed in this run, with the reason reported.
    QHash<QString, QString> failed_;
};

} // namespace vessamo::routing
