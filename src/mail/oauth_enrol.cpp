// Enrolment: the device authorization grant (RFC 8628) and the authorization-code grant
// with PKCE (RFC 7636) through a loopback redirect (RFC 8252), both ending in the tokens of
// one account.
#include "mail/oauth.h"
#include "platform/stopsource.h"
#include "platform/wait.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <algorithm>
#include <memory>
#include <vector>

namespace vessamo::mail {

namespace {

// Unguessable, URL-safe: Base64url of bytes from the system's random source.
QString randomText(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), bytes / 4);
    return QString::fromLatin1(
        raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// RFC 7636 section 4.2: BASE64URL(SHA256(ASCII(code_verifier))).
QString pkceChallenge(const QString &verifier)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QList<std::pair<QString, QString>> withClient(QList<std::pair<QString, QString>> form,
                                              const OAuthClient::Client &client)
{
    form.append({QStringLiteral("client_id"), client.id});
    if (!client.secret.isEmpty())
        form.append({QStringLiteral("client_secret"), client.secret});
    return form;
}

struct DeviceCode
{
    QString deviceCode, userCode, verificationUri, verificationUriComplete;
    qint64 expiresIn = 0;
    qint64 interval = 5;
    QString error;
};

// RFC 8628 section 3.2. Google names the address "verification_url".
DeviceCode parseDeviceCode(const OAuthClient::Answer &answer)
{
    DeviceCode code;
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(answer.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        code.error
            = QStringLiteral("the device authorization endpoint answered with HTTP status %1 "
                             "and no JSON object")
                  .arg(answer.status);
        return code;
    }
    const QJsonObject o = document.object();
    if (o.contains(QStringLiteral("error")) || answer.status < 200 || answer.status > 299) {
        code.error = parseTokenAnswer(answer.status, answer.body).error;
        return code;
    }
    const QJsonValue uri = o.contains(QStringLiteral("verification_uri"))
        ? o.value(QStringLiteral("verification_uri"))
        : o.value(QStringLiteral("verification_url"));
    const QJsonValue complete = o.value(QStringLiteral("verification_uri_complete"));
    const QJsonValue expires = o.value(QStringLiteral("expires_in"));
    const QJsonValue interval = o.value(QStringLiteral("interval"));
    if (!o.value(QStringLiteral("device_code")).isString()
        || !o.value(QStringLiteral("user_code")).isString() || !uri.isString()
        || !(complete.isUndefined() || complete.isString()) || !expires.isDouble()
        || !(interval.isUndefined() || interval.isDouble())) {
        code.error = QStringLiteral("the device authorization answer lacks device_code, user_code, "
                                    "verification_uri or expires_in, or has one of the wrong type");
        return code;
    }
    code.deviceCode = o.value(QStringLiteral("device_code")).toString();
    code.userCode = redacted(o.value(QStringLiteral("user_code")).toString(), {});
    code.verificationUri = redacted(uri.toString(), {});
    code.verificationUriComplete = redacted(complete.toString(), {});
    code.expiresIn = std::clamp<qint64>(qint64(expires.toDouble()), 1, 24 * 3600);
    if (interval.isDouble())
        code.interval = std::clamp<qint64>(qint64(interval.toDouble()), 1, 600);
    return code;
}

} // namespace

OAuthEnrolment OAuthClient::finishEnrolment(const QString &name, const OAuthProvider &provider,
                                            const Client &client, TokenGrant grant)
{
    if (!grant.ok())
        return {std::nullopt, grant.error};
    if (grant.refreshToken.isEmpty())
        return {std::nullopt,
                QStringLiteral("the provider gave no refresh token (Microsoft needs the "
                               "scope offline_access; Google the browser flow)")};
    OAuthAccount account;
    account.name = name;
    account.provider = provider.name;
    account.authorizationUrl = provider.authorizationUrl.toString();
    account.deviceAuthorizationUrl = provider.deviceAuthorizationUrl.toString();
    account.tokenUrl = provider.tokenUrl.toString();
    account.scope = grant.scope.isEmpty() ? provider.scope : grant.scope;
    account.clientId = client.id;
    account.clientSecret = client.secret;
    account.refreshToken = grant.refreshToken;
    account.accessToken = grant.accessToken;
    if (grant.expiresIn > 0)
        account.accessTokenExpires = QDateTime::currentDateTimeUtc().addSecs(grant.expiresIn);
    return {account, QString()};
}

OAuthEnrolment OAuthClient::enrolByDevice(const QString &name, const OAuthProvider &provider,
                                          const Client &client, const OAuthPrompt &prompt)
{
    const Answer first = post(provider.deviceAuthorizationUrl,
                              withClient({{QStringLiteral("scope"), provider.scope}}, client));
    if (!first.error.isEmpty())
        return {std::nullopt, first.error};
    DeviceCode code = parseDeviceCode(first);
    if (!code.error.isEmpty())
        return {std::nullopt, redacted(code.error, {client.secret})};
    prompt(QStringLiteral("To sign in, visit %1 and enter the code %2")
               .arg(code.verificationUri, code.userCode));
    if (!code.verificationUriComplete.isEmpty())
        prompt(QStringLiteral("(or open %1)").arg(code.verificationUriComplete));
    const QDeadlineTimer expiry(code.expiresIn * 1000);
    const QList<std::pair<QString, QString>> form
        = withClient({{QStringLiteral("grant_type"),
                       QStringLiteral("urn:ietf:params:oauth:grant-type:device_code")},
                      {QStringLiteral("device_code"), code.deviceCode}},
                     client);
    for (;;) {
        // Section 3.5: wait the interval before each request.
        platform::waitUntil([] { return false; }, QDeadlineTimer(code.interval * 1000), stop_);
        if (stop_ && stop_->requested())
            return {std::nullopt, QStringLiteral("stopped before the sign-in was completed")};
        if (expiry.hasExpired())
            return {std::nullopt,
                    QStringLiteral("the code expired before the sign-in was completed")};
        const Answer answer = post(provider.tokenUrl, form);
        if (!answer.error.isEmpty())
            return {std::nullopt, answer.error};
        TokenGrant grant = parseTokenAnswer(answer.status, answer.body);
        grant.error = redacted(grant.error, {client.secret, code.deviceCode});
        if (grant.errorCode == QLatin1String("authorization_pending"))
            continue;
        if (grant.errorCode == QLatin1String("slow_down")) {
            code.interval += 5;
            continue;
        }
        if (grant.errorCode == QLatin1String("access_denied"))
            return {std::nullopt, QStringLiteral("the sign-in was refused (access_denied)")};
        if (grant.errorCode == QLatin1String("expired_token"))
            return {std::nullopt,
                    QStringLiteral("the code expired before the sign-in was completed")};
        return finishEnrolment(name, provider, client, grant);
    }
}

OAuthEnrolment OAuthClient::enrolByBrowser(const QString &name, const OAuthProvider &provider,
                                           const Client &client, const OAuthPrompt &prompt)
{
    if (const QString problem = endpointProblem(provider.authorizationUrl); !problem.isEmpty())
        return {std::nullopt, problem};
    // RFC 8252 section 7.3: the loopback address itself, never a name, and nothing but it.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return {std::nullopt,
                QStringLiteral("cannot listen on 127.0.0.1: %1").arg(server.errorString())};
    const QString redirect = QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort());
    const QString state = randomText(16);
    const QString verifier = randomText(32);
    QUrlQuery query;
    const QList<std::pair<QString, QString>> parameters = QList<std::pair<QString, QString>> {
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("client_id"), client.id},
        {QStringLiteral("redirect_uri"), redirect},
        {QStringLiteral("scope"), provider.scope},
        {QStringLiteral("state"), state},
        {QStringLiteral("code_challenge"), pkceChallenge(verifier)},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
    } + provider.extraAuthorizationParameters;
    for (const auto &[key, value] : parameters)
        query.addQueryItem(QString::fromLatin1(QUrl::toPercentEncoding(key)),
                           QString::fromLatin1(QUrl::toPercentEncoding(value)));
    QUrl url = provider.authorizationUrl;
    url.setQuery(query);
    prompt(QStringLiteral("Open this address in a web browser on this machine and sign in:"));
    prompt(url.toString(QUrl::FullyEncoded));

    QString code;
    if (const auto refused = waitForRedirect(server, state, code))
        return {std::nullopt, *refused};
    server.close();
    const Answer answer
        = post(provider.tokenUrl,
               withClient({{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                           {QStringLiteral("code"), code},
                           {QStringLiteral("redirect_uri"), redirect},
                           {QStringLiteral("code_verifier"), verifier}},
                          client));
    if (!answer.error.isEmpty())
        return {std::nullopt, answer.error};
    TokenGrant grant = parseTokenAnswer(answer.status, answer.body);
    grant.error = redacted(grant.error, {client.secret, code, verifier});
    return finishEnrolment(name, provider, client, grant);
}

namespace {

constexpr qsizetype kMaxRequestBytes = 8192;

void answerBrowser(QTcpSocket &socket, int status, const QString &text)
{
    const QByteArray page
        = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Vessamo</title>"
          "</head><body><p>"
        + text.toHtmlEscaped().toUtf8() + "</p></body></html>\n";
    const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Bad Request";
    socket.write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
                 + "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                   "Connection: close\r\nContent-Length: "
                 + QByteArray::number(page.size()) + "\r\n\r\n" + page);
    platform::waitUntil(
        [&] {
            return socket.bytesToWrite() == 0 || socket.state() != QAbstractSocket::ConnectedState;
        },
        QDeadlineTimer(2000));
    socket.disconnectFromHost();
}

} // namespace

namespace {

struct BrowserRequest
{
    std::unique_ptr<QTcpSocket> socket;
    QByteArray bytes;
    bool answered = false;
};

// One whole request from the browser, answered. The outcome when it carried the provider's
// answer: empty with `code` set when the code came with our state, else why it is refused.
std::optional<QString> judgeRequest(QTcpSocket &socket, const QByteArray &request,
                                    const QString &state, QString &code)
{
    const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
    if (!request.contains("\r\n\r\n") || words.size() != 3 || words[0] != "GET") {
        answerBrowser(socket, 400, QStringLiteral("Not understood."));
        return std::nullopt;
    }
    const QUrl target(QStringLiteral("http://127.0.0.1") + QString::fromLatin1(words[1]));
    const QUrlQuery query(target);
    const auto value = [&](const char *key) {
        return query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    };
    if (target.path() != QLatin1String("/")
        || (!query.hasQueryItem(QStringLiteral("state"))
            && !query.hasQueryItem(QStringLiteral("error")))) {
        answerBrowser(socket, 404, QStringLiteral("Nothing here."));
        return std::nullopt;
    }
    // RFC 6749 section 10.12: an answer to a request we did not make is not taken.
    if (value("state") != state) {
        answerBrowser(
            socket, 400,
            QStringLiteral("Refused: this answer does not belong to the sign-in in progress."));
        return QStringLiteral(
            "the redirect's state does not match the request's: refused (a forged "
            "or stale answer); enrol again");
    }
    if (query.hasQueryItem(QStringLiteral("error"))) {
        answerBrowser(socket, 400, QStringLiteral("The sign-in was not completed."));
        return QStringLiteral("the provider answered %1").arg(redacted(value("error"), {}));
    }
    if (value("code").isEmpty()) {
        answerBrowser(socket, 400, QStringLiteral("The answer holds no code."));
        return QStringLiteral("the provider's redirect holds no code");
    }
    code = value("code");
    answerBrowser(socket, 200,
                  QStringLiteral("Vessamo has the authorization. You may close this window."));
    return QString();
}

} // namespace

// Serves requests on the loopback port until one carries the provider's answer. Other
// requests (a browser's icon, a connection opened ahead) get 404 or nothing.
std::optional<QString> OAuthClient::waitForRedirect(QTcpServer &server, const QString &state,
                                                    QString &code)
{
    std::vector<BrowserRequest> requests;
    std::optional<QString> outcome;
    const auto serve = [&] {
        while (server.hasPendingConnections()) {
            requests.push_back(
                {std::unique_ptr<QTcpSocket>(server.nextPendingConnection()), {}, false});
            requests.back().socket->setParent(nullptr);
        }
        for (BrowserRequest &request : requests) {
            if (outcome || request.answered)
                continue;
            request.bytes.append(request.socket->read(kMaxRequestBytes + 1 - request.bytes.size()));
            if (!request.bytes.contains("\r\n\r\n") && request.bytes.size() <= kMaxRequestBytes)
                continue;
            request.answered = true;
            outcome = judgeRequest(*request.socket, request.bytes, state, code);
        }
        return outcome.has_value();
    };
    if (!platform::waitUntil(serve, QDeadlineTimer(browserTimeoutMs_), stop_)) {
        return stop_ && stop_->requested()
            ? QStringLiteral("stopped before the sign-in was completed")
            : QStringLiteral("no answer from the browser within %1 s")
                  .arg(browserTimeoutMs_ / 1000);
    }
    if (outcome->isEmpty())
        return std::nullopt;
    return outcome;
}

} // namespace vessamo::mail
