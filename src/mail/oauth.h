// The built-in OAuth 2.0 client (RFC 6749) that gets the access tokens XOAUTH2 and
// OAUTHBEARER log in with. An account is enrolled once, by the device authorization grant
// (RFC 8628: the person signs in elsewhere with a short code) or by the authorization-code
// grant with PKCE (RFC 7636) and a loopback redirect (RFC 8252: a browser on this machine
// comes back to 127.0.0.1); the refresh token it yields goes to the token store. At each
// login OAuthTokenSource hands out an access token: the cached one while it has more than a
// minute left, else a new one from the refresh-token grant, the store rewritten first when
// the provider rotated the refresh token.
//
// Requests go over HTTPS with the certificate verified (the system's CAs plus the extra CA
// file, as for the mail servers); plain HTTP only to a loopback address. Redirects are
// followed only to the same scheme, host and port. Answers are capped at 64 KB and read as
// strict JSON. One thread: every wait is a nested event loop that ends on the answer, its
// deadline or a stop request. No error text holds a token, a code or the client secret.
#pragma once

#include "mail/oauthstore.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>
#include <utility>

class QTcpServer;

namespace vessamo::platform {
class StopSource;
}

namespace vessamo::mail {

inline constexpr qint64 kOAuthMaxAnswerBytes = 64 * 1024;
// An access token is used only while it has more than this many seconds left.
inline constexpr qint64 kOAuthExpiryMarginSeconds = 60;

struct OAuthProvider
{
    QString name; // "google", "microsoft", "custom"
    QUrl authorizationUrl, deviceAuthorizationUrl, tokenUrl;
    QString scope;
    // Added to the authorization request (Google gives a refresh token only when asked).
    QList<std::pair<QString, QString>> extraAuthorizationParameters;
};

// The endpoints and scopes of "google" and "microsoft" (Microsoft's for the tenant given,
// "common" when empty); none for another name.
std::optional<OAuthProvider> providerPreset(const QString &name, const QString &tenant = {});

// Why `url` may not be used as an endpoint (empty when it may): HTTPS, or HTTP to a
// loopback address only.
QString endpointProblem(const QUrl &url);

// What a token endpoint gave (RFC 6749 section 5.1), or its error (section 5.2).
struct TokenGrant
{
    QString accessToken;
    QString refreshToken; // empty when the provider did not send one
    QString scope;
    qint64 expiresIn = 0; // seconds; 0 when not given
    QString errorCode; // the provider's "error", e.g. "invalid_grant"
    QString error; // not empty: the grant failed, for the person reading
    bool ok() const { return error.isEmpty(); }
};

// A successful answer's body read strictly: an object with a non-empty "access_token" that
// a bearer token can hold, "token_type" Bearer, and the optional members of the right type.
// `status` is the HTTP status; an error object is read as section 5.2.
TokenGrant parseTokenAnswer(int status, const QByteArray &body);

// What the enrolment flows tell the person at the keyboard (the code, the address to open).
using OAuthPrompt = std::function<void(const QString &line)>;

struct OAuthEnrolment
{
    std::optional<OAuthAccount> account; // the tokens filled in, not yet stored
    QString error;
};

class OAuthClient
{
public:
    struct Client
    {
        QString id;
        QString secret; // empty for a public client
    };

    explicit OAuthClient(const platform::StopSource *stop = nullptr);

    // Each request's time limit (default 30 s); the browser flow's wait for the redirect
    // (default 5 minutes).
    void setRequestTimeoutMs(int ms) { requestTimeoutMs_ = ms; }
    int requestTimeoutMs() const { return requestTimeoutMs_; }
    void setBrowserTimeoutMs(int ms) { browserTimeoutMs_ = ms; }

    OAuthEnrolment enrolByDevice(const QString &account, const OAuthProvider &provider,
                                 const Client &client, const OAuthPrompt &prompt);
    OAuthEnrolment enrolByBrowser(const QString &account, const OAuthProvider &provider,
                                  const Client &client, const OAuthPrompt &prompt);

    // The refresh-token grant for a stored account.
    TokenGrant refresh(const OAuthAccount &account);

    struct Answer
    {
        int status = 0;
        QByteArray body;
        QString error; // no usable answer (network, TLS, too large, time-out, stopped)
    };
    // One form POST (application/x-www-form-urlencoded), answered or refused.
    Answer post(const QUrl &url, const QList<std::pair<QString, QString>> &form);

private:
    OAuthEnrolment finishEnrolment(const QString &account, const OAuthProvider &provider,
                                   const Client &client, TokenGrant grant);
    std::optional<QString> waitForRedirect(QTcpServer &server, const QString &state, QString &code);

    const platform::StopSource *stop_;
    QNetworkAccessManager network_;
    int requestTimeoutMs_ = 30000;
    int browserTimeoutMs_ = 5 * 60 * 1000;
};

// Access tokens for the logins: cached in memory and in the store, refreshed shortly
// before they expire.
class OAuthTokenSource
{
public:
    explicit OAuthTokenSource(QString storeFolder, const platform::StopSource *stop = nullptr);

    struct Token
    {
        QString accessToken;
        QDateTime expires; // UTC; invalid when the provider gave no lifetime
        QString error;
        bool ok() const { return error.isEmpty(); }
    };
    Token accessToken(const QString &account);

    OAuthClient &client() { return client_; }

private:
    TokenStore store_;
    const platform::StopSource *stop_;
    OAuthClient client_;
    QHash<QString, Token> cache_;
};

// `text` with every occurrence of the secrets replaced by "***" and control characters
// dropped, at most 300 characters: what a provider's error description may be shown as.
QString redacted(QString text, const QStringList &secrets);

} // namespace vessamo::mail
