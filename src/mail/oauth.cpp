#include "mail/oauth.h"

#include "platform/stopsource.h"
#include "platform/tls.h"
#include "platform/wait.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>

namespace vessamo::mail {

std::optional<OAuthProvider> providerPreset(const QString &name, const QString &tenant)
{
    OAuthProvider provider;
    provider.name = name;
    if (name == QLatin1String("google")) {
        provider.authorizationUrl
            = QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
        provider.deviceAuthorizationUrl
            = QUrl(QStringLiteral("https://oauth2.googleapis.com/device/code"));
        provider.tokenUrl = QUrl(QStringLiteral("https://oauth2.googleapis.com/token"));
        provider.scope = QStringLiteral("https://mail.google.com/");
        // Without these Google sends no refresh token (or none after the first consent).
        provider.extraAuthorizationParameters
            = {{QStringLiteral("access_type"), QStringLiteral("offline")},
               {QStringLiteral("prompt"), QStringLiteral("consent")}};
        return provider;
    }
    if (name == QLatin1String("microsoft")) {
        const QString base = QStringLiteral("https://login.microsoftonline.com/%1/oauth2/v2.0/")
                                 .arg(tenant.isEmpty() ? QStringLiteral("common") : tenant);
        provider.authorizationUrl = QUrl(base + QStringLiteral("authorize"));
        provider.deviceAuthorizationUrl = QUrl(base + QStringLiteral("devicecode"));
        provider.tokenUrl = QUrl(base + QStringLiteral("token"));
        provider.scope
            = QStringLiteral("offline_access https://outlook.office.com/POP.AccessAsUser.All "
                             "https://outlook.office.com/SMTP.Send");
        return provider;
    }
    return std::nullopt;
}

QString endpointProblem(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("'%1' is not a valid address").arg(url.toString(QUrl::RemoveQuery));
    if (!url.userInfo().isEmpty())
        return QStringLiteral("an endpoint address may not hold a user name or password");
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return QString();
    // Clear text only where it cannot leave the machine: the tests' fake providers.
    if (scheme == QLatin1String("http") && QHostAddress(url.host()).isLoopback())
        return QString();
    return QStringLiteral(
               "%1: an OAuth endpoint must use https (plain http only to a loopback address)")
        .arg(url.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo));
}

QString redacted(QString text, const QStringList &secrets)
{
    for (const QString &secret : secrets) {
        if (!secret.isEmpty())
            text.replace(secret, QStringLiteral("***"));
    }
    QString out;
    for (const QChar c : std::as_const(text)) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f && c.category() != QChar::Other_Format)
            out.append(c);
    }
    if (out.size() > 300)
        out = out.left(300) + QStringLiteral("...");
    return out;
}

namespace {

// RFC 6750 section 2.1: a bearer token is printable ASCII without blanks. Anything else
// must never reach a login line.
bool bearerTokenCharacters(const QString &token)
{
    for (const QChar c : token) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    }
    return true;
}

TokenGrant failed(const QString &why, const QString &code = {})
{
    TokenGrant grant;
    grant.error = why;
    grant.errorCode = code;
    return grant;
}

QByteArray formBody(const QList<std::pair<QString, QString>> &form)
{
    // Percent-encoded by hand: QUrlQuery leaves "+" alone, which a form reads as a blank
    // (Base64 tokens hold "+").
    QByteArray body;
    for (const auto &[key, value] : form) {
        if (!body.isEmpty())
            body.append('&');
        body.append(QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value));
    }
    return body;
}

} // namespace

TokenGrant parseTokenAnswer(int status, const QByteArray &body)
{
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return failed(QStringLiteral("the token endpoint answered with HTTP status %1 and no JSON "
                                     "object")
                          .arg(status));
    const QJsonObject o = document.object();
    const QJsonValue errorValue = o.value(QStringLiteral("error"));
    if (!errorValue.isUndefined()) {
        const QString code = errorValue.isString() ? errorValue.toString() : QStringLiteral("?");
        const QString description = o.value(QStringLiteral("error_description")).toString();
        return failed(QStringLiteral("the provider answered %1%2")
                          .arg(redacted(code, {}),
                               description.isEmpty()
                                   ? QString()
                                   : QStringLiteral(" (%1)").arg(redacted(description, {}))),
                      code);
    }
    if (status < 200 || status > 299)
        return failed(
            QStringLiteral("the token endpoint answered with HTTP status %1").arg(status));
    TokenGrant grant;
    const QJsonValue access = o.value(QStringLiteral("access_token"));
    if (!access.isString() || access.toString().isEmpty())
        return failed(QStringLiteral("the token endpoint's answer has no access_token text"));
    if (!bearerTokenCharacters(access.toString()))
        return failed(QStringLiteral("the access token holds characters a bearer token may not"));
    const QJsonValue type = o.value(QStringLiteral("token_type"));
    if (!type.isString()
        || type.toString().compare(QLatin1String("bearer"), Qt::CaseInsensitive) != 0)
        return failed(QStringLiteral("the token endpoint's answer has no token_type Bearer"));
    const QJsonValue expires = o.value(QStringLiteral("expires_in"));
    if (!expires.isUndefined()
        && (!expires.isDouble() || expires.toDouble() < 0 || expires.toDouble() > 1e9))
        return failed(QStringLiteral("the token endpoint's expires_in is not a number of seconds"));
    const QJsonValue refresh = o.value(QStringLiteral("refresh_token"));
    if (!refresh.isUndefined()
        && (!refresh.isString() || !bearerTokenCharacters(refresh.toString())))
        return failed(QStringLiteral("the token endpoint's refresh_token is not a token text"));
    const QJsonValue scope = o.value(QStringLiteral("scope"));
    if (!scope.isUndefined() && !scope.isString())
        return failed(QStringLiteral("the token endpoint's scope is not a text"));
    grant.accessToken = access.toString();
    grant.refreshToken = refresh.toString();
    grant.scope = scope.toString();
    grant.expiresIn = expires.isUndefined() ? 0 : qint64(expires.toDouble());
    return grant;
}

OAuthClient::OAuthClient(const platform::StopSource *stop)
    : stop_(stop)
{
    network_.setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
}

OAuthClient::Answer OAuthClient::post(const QUrl &url,
                                      const QList<std::pair<QString, QString>> &form)
{
    Answer answer;
    if (const QString problem = endpointProblem(url); !problem.isEmpty()) {
        answer.error = problem;
        return answer;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    request.setMaximumRedirectsAllowed(3);
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0)
        request.setSslConfiguration(platform::clientTlsConfiguration());

    const std::unique_ptr<QNetworkReply> reply(network_.post(request, formBody(form)));
    bool tooLarge = false;
    const auto take = [&] {
        answer.body.append(reply->readAll());
        if (answer.body.size() > kOAuthMaxAnswerBytes && !tooLarge) {
            tooLarge = true;
            reply->abort();
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::readyRead, reply.get(), take);
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kOAuthMaxAnswerBytes && !tooLarge) {
            tooLarge = true;
            reply->abort();
        }
    });
    const QString shown = url.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
    const bool finished = platform::waitUntil([&] { return reply->isFinished(); },
                                              QDeadlineTimer(requestTimeoutMs_), stop_);
    if (!finished) {
        const bool stopped = stop_ && stop_->requested();
        reply->abort();
        answer.error = stopped
            ? QStringLiteral("%1: stopped").arg(shown)
            : QStringLiteral("%1: no answer within %2 s").arg(shown).arg(requestTimeoutMs_ / 1000);
        return answer;
    }
    if (!tooLarge)
        take();
    if (tooLarge) {
        answer.error = QStringLiteral("%1: the answer is larger than %2 KB: refused")
                           .arg(shown)
                           .arg(kOAuthMaxAnswerBytes / 1024);
        answer.body.clear();
        return answer;
    }
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (answer.status >= 300 && answer.status <= 399) {
        answer.error = QStringLiteral("%1: redirected elsewhere (HTTP %2): not followed")
                           .arg(shown)
                           .arg(answer.status);
        return answer;
    }
    if (answer.status == 0 || (reply->error() != QNetworkReply::NoError && answer.body.isEmpty())) {
        answer.error = QStringLiteral("%1: %2").arg(shown, reply->errorString());
        return answer;
    }
    return answer;
}

TokenGrant OAuthClient::refresh(const OAuthAccount &account)
{
    QList<std::pair<QString, QString>> form {
        {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
        {QStringLiteral("refresh_token"), account.refreshToken},
        {QStringLiteral("client_id"), account.clientId},
    };
    if (!account.clientSecret.isEmpty())
        form.append({QStringLiteral("client_secret"), account.clientSecret});
    const Answer answer = post(QUrl(account.tokenUrl), form);
    if (!answer.error.isEmpty())
        return failed(answer.error);
    TokenGrant grant = parseTokenAnswer(answer.status, answer.body);
    const QStringList secrets {account.refreshToken, account.clientSecret, account.accessToken};
    grant.error = redacted(grant.error, secrets);
    if (grant.errorCode == QLatin1String("invalid_grant")) {
        grant.error = QStringLiteral("OAuth account '%1': the provider refused its refresh token "
                                     "(revoked or expired: %2); enrol the account again "
                                     "(vessamo-token enrol %1 ...)")
                          .arg(account.name, grant.error);
    } else if (!grant.ok()) {
        grant.error = QStringLiteral("OAuth account '%1': %2").arg(account.name, grant.error);
    }
    return grant;
}

OAuthTokenSource::OAuthTokenSource(QString storeFolder, const platform::StopSource *stop)
    : store_(std::move(storeFolder))
    , stop_(stop)
    , client_(stop)
{
}

namespace {

bool fresh(const QString &token, const QDateTime &expires, const QDateTime &now)
{
    return !token.isEmpty() && expires.isValid() && now.secsTo(expires) > kOAuthExpiryMarginSeconds;
}

} // namespace

OAuthTokenSource::Token OAuthTokenSource::accessToken(const QString &name)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (const auto cached = cache_.constFind(name);
        cached != cache_.cend() && fresh(cached->accessToken, cached->expires, now))
        return *cached;
    const auto storedToken = [&](const StoredAccount &stored) -> std::optional<Token> {
        if (!stored.account)
            return Token {QString(), QDateTime(), stored.error};
        if (!fresh(stored.account->accessToken, stored.account->accessTokenExpires, now))
            return std::nullopt;
        const Token token {stored.account->accessToken, stored.account->accessTokenExpires,
                           QString()};
        cache_.insert(name, token);
        return token;
    };
    if (const auto token = storedToken(store_.load(name)))
        return *token;
    // Another process (the router, vessamo-send, vessamo-token) may be refreshing the same
    // account: its refresh and save are waited for (at most a request's time-out, twice) and
    // the file read again, since a rotated refresh token makes the one read before worthless.
    // A store that cannot be locked at all is refreshed unlocked, as it always was.
    const TokenStoreLock lock
        = store_.lock(QDeadlineTimer(2 * qint64(client_.requestTimeoutMs())), stop_);
    if (lock.state == TokenStoreLock::State::Busy)
        return {QString(), QDateTime(),
                stop_ && stop_->requested()
                    ? QStringLiteral("OAuth account '%1': stopped").arg(name)
                    : QStringLiteral("OAuth account '%1': another process kept the token store "
                                     "locked for %2 s; not refreshed")
                          .arg(name)
                          .arg(2 * client_.requestTimeoutMs() / 1000)};
    StoredAccount stored = store_.load(name);
    if (const auto token = storedToken(stored))
        return *token;
    OAuthAccount account = *stored.account;
    const TokenGrant grant = client_.refresh(account);
    if (!grant.ok()) {
        cache_.remove(name);
        return {QString(), QDateTime(), grant.error};
    }
    const bool rotated
        = !grant.refreshToken.isEmpty() && grant.refreshToken != account.refreshToken;
    if (rotated)
        account.refreshToken = grant.refreshToken;
    account.accessToken = grant.accessToken;
    account.accessTokenExpires = grant.expiresIn > 0 ? now.addSecs(grant.expiresIn) : QDateTime();
    // A rotated refresh token replaces the old one at the provider: it must be on disk
    // before the access token is used, or the next refresh has nothing valid to send.
    if (const QString error = store_.save(account); !error.isEmpty() && rotated)
        return {QString(), QDateTime(),
                QStringLiteral("OAuth account '%1': the provider issued a new refresh token that "
                               "could not be stored: %2")
                    .arg(name, error)};
    const Token token {account.accessToken, account.accessTokenExpires, QString()};
    cache_.insert(name, token);
    return token;
}

} // namespace vessamo::mail
