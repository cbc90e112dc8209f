// The OAuth 2.0 token store: one small JSON file per account (ACCOUNT.json) in a private
// folder, written with platform::writePrivateFile (owner-only, atomic, never through a
// link). A file holds what a later refresh needs (the provider's token endpoint, client id
// and secret, the refresh token) and the cached access token with its expiry. It is
// written at enrolment, and again whenever a refresh brings a new refresh token (rotation)
// or a new access token.
#pragma once

#include "platform/posixfd.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QString>
#include <optional>

namespace vessamo::platform {
class StopSource;
}

namespace vessamo::mail {

struct OAuthAccount
{
    QString name;
    QString provider; // "google", "microsoft" or "custom"
    QString authorizationUrl, deviceAuthorizationUrl, tokenUrl;
    QString scope;
    QString clientId;
    QString clientSecret; // the site's own, where the provider requires one
    QString refreshToken;
    QString accessToken; // the cached one, when any
    QDateTime accessTokenExpires; // UTC; invalid when none is cached
};

// A name the store accepts: letters, digits and ". _ @ + -", not starting with ".",
// at most 128 characters (an e-mail address fits; a path does not).
bool validAccountName(const QString &name);

struct StoredAccount
{
    std::optional<OAuthAccount> account;
    QString error; // why it could not be read
};

// The store's lock: an exclusive flock(2) on the folder itself (no file of its own, nothing
// left behind), released when `fd` closes. Whoever reads an account to refresh it and writes
// it back, or enrols or forgets one, holds it: two processes never send the same refresh
// token, nor write over each other's rotated one.
struct TokenStoreLock
{
    enum class State { Held, Busy, Failed };
    platform::UniqueFd fd;
    State state = State::Failed;
    int error = 0; // when Failed
};

class TokenStore
{
public:
    explicit TokenStore(QString folder);

    // Takes the lock, waiting asleep in the event loop while another process holds it,
    // until `deadline` or a stop request.
    TokenStoreLock lock(QDeadlineTimer deadline, const platform::StopSource *stop = nullptr) const;

    const QString &folder() const { return folder_; }

    StoredAccount load(const QString &name) const;
    // The error text, empty on success.
    QString save(const OAuthAccount &account) const;
    QString forget(const QString &name) const;
    // Whether a file by that name is there (damaged or not).
    bool exists(const QString &name) const;

    // The file's text, and the reading of one (strict: every field of the right type).
    static QByteArray serialise(const OAuthAccount &account);
    static StoredAccount parse(const QString &name, const QByteArray &bytes);

private:
    QString folder_;
};

} // namespace vessamo::mail
