// The run's token sources: the built-in client's cache, the token commands, and the one
// report per failing source.
#include "routing/tokensource.h"

#include "mail/oauth.h"
#include "platform/eventlog.h"
#include "routing/tokencommand.h"

namespace vessamo::routing {

namespace {

// An account and a command of the same text are different sources.
QString sourceKey(const QString &tokenAccount, const QString &tokenCommand)
{
    return tokenAccount.isEmpty() ? QStringLiteral("command\n") + tokenCommand
                                  : QStringLiteral("account\n") + tokenAccount;
}

} // namespace

TokenSources::TokenSources(QString storeFolder, const platform::StopSource *stop, Report report)
    : storeFolder_(std::move(storeFolder))
    , stop_(stop)
    , report_(std::move(report))
    , commandLimitSeconds_(kTokenCommandLimitSeconds)
{
    if (!report_)
        report_ = [](const QString &text) { platform::logError(text); };
}

TokenSources::~TokenSources() = default;

AccessTokenCallback TokenSources::accessTokenFor(const QString &phasePrefix,
                                                 const QString &tokenAccount,
                                                 const QString &tokenCommand)
{
    if (tokenAccount.isEmpty() && tokenCommand.isEmpty())
        return {};
    return [this, phasePrefix, tokenAccount, tokenCommand](QString &error) {
        return accessToken(phasePrefix, tokenAccount, tokenCommand, error);
    };
}

std::optional<QString> TokenSources::accessToken(const QString &phasePrefix,
                                                 const QString &tokenAccount,
                                                 const QString &tokenCommand, QString &error)
{
    const QString key = sourceKey(tokenAccount, tokenCommand);
    if (const auto known = failed_.constFind(key); known != failed_.cend()) {
        error = *known;
        return std::nullopt;
    }
    std::optional<QString> token = fetch(tokenAccount, tokenCommand, error);
    // A stop ends the run: not a fault of the source worth an entry.
    if (!token && !(stop_ && stop_->requested())) {
        failed_.insert(key, error);
        report_(phasePrefix + error);
    }
    return token;
}

bool TokenSources::failed(const QString &tokenAccount, const QString &tokenCommand) const
{
    if (tokenAccount.isEmpty() && tokenCommand.isEmpty())
        return false;
    return failed_.contains(sourceKey(tokenAccount, tokenCommand));
}

std::optional<QString> TokenSources::fetch(const QString &tokenAccount, const QString &tokenCommand,
                                           QString &error)
{
    if (tokenAccount.isEmpty())
        return runTokenCommand(tokenCommand, error, stop_, commandLimitSeconds_);
    if (!oauth_)
        oauth_ = std::make_unique<mail::OAuthTokenSource>(storeFolder_, stop_);
    const mail::OAuthTokenSource::Token token = oauth_->accessToken(tokenAccount);
    if (!token.ok()) {
        error = QStringLiteral("no s'ha pogut obtenir el testimoni d'accés: ") + token.error;
        return std::nullopt;
    }
    return token.accessToken;
}

} // namespace vessamo::routing
