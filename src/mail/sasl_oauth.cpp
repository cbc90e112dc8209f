// XOAUTH2 (Google's and Microsoft's format) and OAUTHBEARER (RFC 7628): one message that
// carries the user name and the access token. A server that refuses the token sends a JSON
// error as a challenge; the client must answer it (XOAUTH2 with an empty response,
// OAUTHBEARER with a lone ^A, RFC 7628 section 3.2.3) before the server sends its failure
// reply. The error's status and scope are kept for that failure's text.
#include "mail/sasl_oauth.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>

namespace vessamo::mail {

using namespace sasl;

namespace {

class OAuthMechanism final : public SaslMechanism
{
public:
    OAuthMechanism(QByteArray name, QByteArray message, QByteArray errorAnswer)
        : name_(std::move(name))
        , message_(std::move(message))
        , errorAnswer_(std::move(errorAnswer))
    {
    }

    QByteArray name() const override { return name_; }

    std::optional<QByteArray> initialResponse() override
    {
        state_ = State::Sent;
        return message_;
    }

    SaslStep step(const QByteArray &challenge) override
    {
        switch (state_) {
        case State::Start:
            if (!challenge.isEmpty())
                break;
            state_ = State::Sent;
            return SaslStep::respond(message_);
        case State::Sent:
            serverReason_ = QStringLiteral("The server refused the access token (%1)")
                                .arg(describeOAuthError(parseOAuthError(challenge)));
            state_ = State::ErrorAnswered;
            return SaslStep::respond(errorAnswer_);
        case State::ErrorAnswered:
            break;
        }
        return SaslStep::fail(unexpectedChallenge(name_));
    }

    SaslStep verifySuccess(const std::optional<QByteArray> &additionalData) override
    {
        if (state_ == State::ErrorAnswered)
            return SaslStep::fail(
                QStringLiteral("The server reported success after refusing the access token"));
        return SaslMechanism::verifySuccess(additionalData);
    }

private:
    enum class State { Start, Sent, ErrorAnswered };

    QByteArray name_;
    QByteArray message_;
    QByteArray errorAnswer_;
    State state_ = State::Start;
};

bool hasControl(const QString &text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// b64token (RFC 6750 section 2.1): the characters a bearer token may hold.
bool isBearerToken(const QString &token)
{
    qsizetype end = token.size();
    while (end > 0 && token[end - 1] == u'=')
        --end;
    if (end == 0)
        return false;
    for (qsizetype i = 0; i < end; ++i) {
        const char16_t c = token[i].unicode();
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')
            || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_' || c == u'~'
            || c == u'+' || c == u'/';
        if (!ok)
            return false;
    }
    return true;
}

// What both mechanisms ask of the credentials, or why they cannot be sent.
QString credentialsFailure(const QByteArray &name, const SaslCredentials &credentials,
                           bool userRequired)
{
    const QString mechanism = QString::fromLatin1(name);
    if (credentials.accessToken.isEmpty())
        return QStringLiteral("%1 needs an access token, and there is none").arg(mechanism);
    if (!isBearerToken(credentials.accessToken))
        return QStringLiteral("The access token holds characters that a bearer token cannot "
                              "hold");
    if (userRequired && credentials.user.isEmpty())
        return QStringLiteral("%1 cannot log in with an empty user name").arg(mechanism);
    if (hasControl(credentials.user))
        return QStringLiteral("The user name holds a control character, which %1 cannot send")
            .arg(mechanism);
    if (hasControl(credentials.host))
        return QStringLiteral("The host name holds a control character, which %1 cannot send")
            .arg(mechanism);
    return QString();
}

} // namespace

OAuthError parseOAuthError(const QByteArray &json)
{
    OAuthError error;
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return error;
    const QJsonObject object = document.object();
    const QJsonValue status = object.value(QLatin1String("status"));
    // Google sends the status as a string of digits ("400"); allow a number too.
    if (status.isString())
        error.status = status.toString();
    else if (status.isDouble())
        error.status = QString::number(status.toDouble());
    error.scope = object.value(QLatin1String("scope")).toString();
    error.readable = !error.status.isEmpty();
    return error;
}

QString describeOAuthError(const OAuthError &error)
{
    if (!error.readable)
        return QStringLiteral("its explanation could not be read");
    QString text = QStringLiteral("status ") + printable(error.status.toUtf8(), 100);
    if (!error.scope.isEmpty())
        text += QStringLiteral(", scope ") + printable(error.scope.toUtf8(), 300);
    return text;
}

namespace sasl {

SaslMade makeXOAuth2(const SaslCredentials &credentials)
{
    const QByteArray name = QByteArrayLiteral("XOAUTH2");
    const QString why = credentialsFailure(name, credentials, true);
    if (!why.isEmpty())
        return {nullptr, why};
    const QByteArray message = "user=" + credentials.user.toUtf8() + "\x01" + "auth=Bearer "
        + credentials.accessToken.toLatin1() + "\x01\x01";
    return {std::make_unique<OAuthMechanism>(name, message, QByteArray()), QString()};
}

SaslMade makeOAuthBearer(const SaslCredentials &credentials)
{
    const QByteArray name = QByteArrayLiteral("OAUTHBEARER");
    const QString why = credentialsFailure(name, credentials, false);
    if (!why.isEmpty())
        return {nullptr, why};
    QByteArray message = credentials.user.isEmpty()
        ? QByteArrayLiteral("n,,")
        : "n,a=" + escapeSaslName(credentials.user.toUtf8()) + ',';
    message += '\x01';
    if (!credentials.host.isEmpty())
        message += "host=" + credentials.host.toUtf8() + '\x01';
    if (credentials.port != 0)
        message += "port=" + QByteArray::number(credentials.port) + '\x01';
    message += "auth=Bearer " + credentials.accessToken.toLatin1() + "\x01\x01";
    return {std::make_unique<OAuthMechanism>(name, message, QByteArrayLiteral("\x01")), QString()};
}

} // namespace sasl

} // namespace vessamo::mail
