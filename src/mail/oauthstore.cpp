#include "mail/oauthstore.h"

#include "platform/privatefile.h"
#include "platform/wait.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace vessamo::mail {

namespace {

constexpr qint64 kMaxFileBytes = 64 * 1024;
constexpr int kFormatVersion = 1;

QString fileName(const QString &account)
{
    return account + QStringLiteral(".json");
}

} // namespace

bool validAccountName(const QString &name)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[A-Za-z0-9_@+-][A-Za-z0-9._@+-]{0,127}")));
    return pattern.match(name).hasMatch();
}

TokenStore::TokenStore(QString folder)
    : folder_(std::move(folder))
{
}

TokenStoreLock TokenStore::lock(QDeadlineTimer deadline, const platform::StopSource *stop) const
{
    TokenStoreLock lock;
    lock.fd = platform::UniqueFd(::open(QFile::encodeName(folder_).constData(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock.fd.valid()) {
        lock.error = errno;
        return lock;
    }
    const auto attempt = [&lock] {
        int rc;
        do {
            rc = ::flock(lock.fd.get(), LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0)
            lock.state = TokenStoreLock::State::Held;
        else if (errno == EWOULDBLOCK)
            lock.state = TokenStoreLock::State::Busy;
        else {
            lock.state = TokenStoreLock::State::Failed;
            lock.error = errno;
        }
        return lock.state != TokenStoreLock::State::Busy;
    };
    // flock has no time-out: tried again every so often.
    platform::retryUntil(attempt, 50, deadline, stop);
    if (lock.state != TokenStoreLock::State::Held)
        lock.fd.close();
    return lock;
}

QByteArray TokenStore::serialise(const OAuthAccount &account)
{
    QJsonObject o;
    o.insert(QStringLiteral("version"), kFormatVersion);
    o.insert(QStringLiteral("provider"), account.provider);
    o.insert(QStringLiteral("authorization_url"), account.authorizationUrl);
    o.insert(QStringLiteral("device_authorization_url"), account.deviceAuthorizationUrl);
    o.insert(QStringLiteral("token_url"), account.tokenUrl);
    o.insert(QStringLiteral("scope"), account.scope);
    o.insert(QStringLiteral("client_id"), account.clientId);
    o.insert(QStringLiteral("client_secret"), account.clientSecret);
    o.insert(QStringLiteral("refresh_token"), account.refreshToken);
    o.insert(QStringLiteral("access_token"), account.accessToken);
    o.insert(QStringLiteral("access_token_expires"),
             account.accessTokenExpires.isValid()
                 ? account.accessTokenExpires.toUTC().toString(Qt::ISODate)
                 : QString());
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

StoredAccount TokenStore::parse(const QString &name, const QByteArray &bytes)
{
    const auto bad = [&](const QString &why) {
        return StoredAccount {
            std::nullopt,
            QStringLiteral("the token file of account '%1' is damaged: %2").arg(name, why)};
    };
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return bad(QStringLiteral("not a JSON object"));
    const QJsonObject o = document.object();
    if (o.value(QStringLiteral("version")).toInt(-1) != kFormatVersion)
        return bad(QStringLiteral("unknown format version"));
    OAuthAccount account;
    account.name = name;
    const std::pair<const char *, QString *> fields[] = {
        {"provider", &account.provider},
        {"authorization_url", &account.authorizationUrl},
        {"device_authorization_url", &account.deviceAuthorizationUrl},
        {"token_url", &account.tokenUrl},
        {"scope", &account.scope},
        {"client_id", &account.clientId},
        {"client_secret", &account.clientSecret},
        {"refresh_token", &account.refreshToken},
        {"access_token", &account.accessToken},
    };
    for (const auto &[key, target] : fields) {
        const QJsonValue value = o.value(QLatin1String(key));
        if (!value.isString())
            return bad(QStringLiteral("'%1' is missing or not a text").arg(QLatin1String(key)));
        *target = value.toString();
    }
    const QJsonValue expires = o.value(QStringLiteral("access_token_expires"));
    if (!expires.isString())
        return bad(QStringLiteral("'access_token_expires' is missing or not a text"));
    if (!expires.toString().isEmpty()) {
        account.accessTokenExpires = QDateTime::fromString(expires.toString(), Qt::ISODate);
        if (!account.accessTokenExpires.isValid())
            return bad(QStringLiteral("'access_token_expires' is not a date"));
    }
    if (account.tokenUrl.isEmpty() || account.clientId.isEmpty() || account.refreshToken.isEmpty())
        return bad(QStringLiteral("no token endpoint, client id or refresh token"));
    return {account, QString()};
}

StoredAccount TokenStore::load(const QString &name) const
{
    if (!validAccountName(name))
        return {std::nullopt, QStringLiteral("'%1' is not a valid account name").arg(name)};
    const platform::PrivateRead read
        = platform::readPrivateFile(folder_, fileName(name), kMaxFileBytes);
    if (read.missing)
        return {std::nullopt,
                QStringLiteral("no account '%1' in %2: enrol it first").arg(name, folder_)};
    if (!read.bytes)
        return {std::nullopt, read.error};
    return parse(name, *read.bytes);
}

QString TokenStore::save(const OAuthAccount &account) const
{
    if (!validAccountName(account.name))
        return QStringLiteral("'%1' is not a valid account name").arg(account.name);
    return platform::writePrivateFile(folder_, fileName(account.name), serialise(account));
}

QString TokenStore::forget(const QString &name) const
{
    if (!validAccountName(name))
        return QStringLiteral("'%1' is not a valid account name").arg(name);
    return platform::removePrivateFile(folder_, fileName(name));
}

bool TokenStore::exists(const QString &name) const
{
    if (!validAccountName(name))
        return false;
    const platform::PrivateRead read
        = platform::readPrivateFile(folder_, fileName(name), kMaxFileBytes);
    return !read.missing;
}

} // namespace vessamo::mail
