// The simple SASL mechanisms (PLAIN, LOGIN, CRAM-MD5), the factory, the choice among the
// mechanisms a server offers, and the wire coding. SCRAM lives in sasl_scram.cpp, the OAuth
// mechanisms in sasl_oauth.cpp, SASLprep in saslprep.cpp.
#include "mail/sasl.h"

#include "mail/sasl_mechanisms.h"
#include "platform/ansi.h"

#include <QMessageAuthenticationCode>

namespace vessamo::mail {

using namespace sasl;

namespace {

const QByteArray kPlain = QByteArrayLiteral("PLAIN");
const QByteArray kLogin = QByteArrayLiteral("LOGIN");
const QByteArray kCramMd5 = QByteArrayLiteral("CRAM-MD5");
const QByteArray kScramSha1 = QByteArrayLiteral("SCRAM-SHA-1");
const QByteArray kScramSha256 = QByteArrayLiteral("SCRAM-SHA-256");
const QByteArray kXOAuth2 = QByteArrayLiteral("XOAUTH2");
const QByteArray kOAuthBearer = QByteArrayLiteral("OAUTHBEARER");

// PLAIN (RFC 4616): one message, "authzid NUL authcid NUL passwd", the authorization
// identity left empty (the login's own).
class PlainMechanism final : public SaslMechanism
{
public:
    explicit PlainMechanism(QByteArray message)
        : message_(std::move(message))
    {
    }
    QByteArray name() const override { return kPlain; }
    std::optional<QByteArray> initialResponse() override
    {
        sent_ = true;
        return message_;
    }
    SaslStep step(const QByteArray &challenge) override
    {
        if (sent_ || !challenge.isEmpty())
            return SaslStep::fail(unexpectedChallenge(kPlain));
        sent_ = true;
        return SaslStep::respond(message_);
    }

private:
    QByteArray message_;
    bool sent_ = false;
};

// LOGIN: the server asks for the user name, then the password. Servers word the two
// challenges differently ("Username:", "User Name", "VXNlcm5hbWU6" in other languages), so
// the answer goes by the step, not by the text. The values go out in Windows-1252, as they
// always have from this program.
class LoginMechanism final : public SaslMechanism
{
public:
    LoginMechanism(QByteArray user, QByteArray password)
        : user_(std::move(user))
        , password_(std::move(password))
    {
    }
    QByteArray name() const override { return kLogin; }
    std::optional<QByteArray> initialResponse() override { return std::nullopt; }
    SaslStep step(const QByteArray &) override
    {
        switch (steps_++) {
        case 0:
            return SaslStep::respond(user_);
        case 1:
            return SaslStep::respond(password_);
        default:
            return SaslStep::fail(unexpectedChallenge(kLogin));
        }
    }

private:
    QByteArray user_;
    QByteArray password_;
    int steps_ = 0;
};

// CRAM-MD5 (RFC 2195): the user name, a blank, and the HMAC-MD5 of the server's challenge
// keyed with the password, in lower-case hex.
class CramMd5Mechanism final : public SaslMechanism
{
public:
    CramMd5Mechanism(QByteArray user, QByteArray password)
        : user_(std::move(user))
        , password_(std::move(password))
    {
    }
    QByteArray name() const override { return kCramMd5; }
    std::optional<QByteArray> initialResponse() override { return std::nullopt; }
    SaslStep step(const QByteArray &challenge) override
    {
        if (answered_)
            return SaslStep::fail(unexpectedChallenge(kCramMd5));
        if (challenge.isEmpty())
            return SaslStep::fail(QStringLiteral("The server's CRAM-MD5 challenge is empty"));
        answered_ = true;
        return SaslStep::respond(
            user_ + ' '
            + QMessageAuthenticationCode::hash(challenge, password_, QCryptographicHash::Md5)
                  .toHex());
    }

private:
    QByteArray user_;
    QByteArray password_;
    bool answered_ = false;
};

SaslMade failed(const QString &why)
{
    return {nullptr, why};
}

SaslMade makePlain(const SaslCredentials &credentials)
{
    if (credentials.user.isEmpty())
        return failed(QStringLiteral("PLAIN cannot log in with an empty user name"));
    if (credentials.password.isEmpty())
        return failed(QStringLiteral("PLAIN cannot log in with an empty password"));
    if (credentials.user.contains(QChar(0)))
        return failed(
            QStringLiteral("The user name holds a NUL character, which PLAIN cannot send"));
    if (credentials.password.contains(QChar(0)))
        return failed(
            QStringLiteral("The password holds a NUL character, which PLAIN cannot send"));
    return {std::make_unique<PlainMechanism>('\0' + credentials.user.toUtf8() + '\0'
                                             + credentials.password.toUtf8()),
            QString()};
}

SaslMade makeCramMd5(const SaslCredentials &credentials)
{
    if (credentials.user.isEmpty())
        return failed(QStringLiteral("CRAM-MD5 cannot log in with an empty user name"));
    return {std::make_unique<CramMd5Mechanism>(credentials.user.toUtf8(),
                                               credentials.password.toUtf8()),
            QString()};
}

bool isPasswordInClear(const QByteArray &mechanism)
{
    return mechanism == kPlain || mechanism == kLogin;
}

bool usesToken(const QByteArray &mechanism)
{
    return mechanism == kXOAuth2 || mechanism == kOAuthBearer;
}

QString offeredText(const QByteArrayList &offered)
{
    return offered.isEmpty() ? QStringLiteral("none") : printable(offered.join(' '));
}

SaslChoice refuse(const QString &why)
{
    return {QByteArray(), why};
}

SaslChoice chooseAutomatically(const QByteArrayList &offered, bool inTls, bool hasToken)
{
    if (hasToken) {
        if (!inTls)
            return refuse(QStringLiteral("An access token is never sent without TLS, and this "
                                         "connection has none"));
        for (const QByteArray &mechanism : {kOAuthBearer, kXOAuth2}) {
            if (offered.contains(mechanism))
                return {mechanism, QString()};
        }
        return refuse(QStringLiteral("The server offers neither OAUTHBEARER nor XOAUTH2 (it "
                                     "offers: %1)")
                          .arg(offeredText(offered)));
    }
    bool clearOnly = false;
    for (const QByteArray &mechanism : {kScramSha256, kScramSha1, kCramMd5, kPlain, kLogin}) {
        if (!offered.contains(mechanism))
            continue;
        if (isPasswordInClear(mechanism) && !inTls) {
            clearOnly = true;
            continue;
        }
        return {mechanism, QString()};
    }
    if (clearOnly)
        return refuse(QStringLiteral("The server offers only mechanisms that would send the "
                                     "password in clear text without TLS (it offers: %1); "
                                     "name PLAIN or LOGIN to allow that")
                          .arg(offeredText(offered)));
    return refuse(QStringLiteral("The server offers no authentication mechanism that Vessamo "
                                 "supports (it offers: %1)")
                      .arg(offeredText(offered)));
}

} // namespace

namespace sasl {

QString printable(const QByteArray &serverText, qsizetype limit)
{
    QString text = QString::fromUtf8(serverText.left(limit));
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = u'?';
    }
    return serverText.size() > limit ? text + QStringLiteral("...") : text;
}

QByteArray escapeSaslName(const QByteArray &name)
{
    QByteArray out;
    for (const char c : name) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out += c;
    }
    return out;
}

QString unexpectedChallenge(const QByteArray &mechanism)
{
    return QStringLiteral("The server sent a %1 challenge after the exchange should have ended")
        .arg(QString::fromLatin1(mechanism));
}

} // namespace sasl

SaslStep SaslMechanism::verifySuccess(const std::optional<QByteArray> &additionalData)
{
    if (additionalData && !additionalData->isEmpty())
        return SaslStep::fail(
            QStringLiteral("The server sent data with its success, which %1 does not expect")
                .arg(QString::fromLatin1(name())));
    return SaslStep::respond(QByteArray());
}

SaslMade makeMechanism(const QByteArray &name, const SaslCredentials &credentials,
                       const QByteArray &clientNonce)
{
    const QByteArray mechanism = name.toUpper();
    if (mechanism == kPlain)
        return makePlain(credentials);
    if (mechanism == kLogin)
        return {std::make_unique<LoginMechanism>(platform::toAnsi(credentials.user),
                                                 platform::toAnsi(credentials.password)),
                QString()};
    if (mechanism == kCramMd5)
        return makeCramMd5(credentials);
    if (mechanism == kScramSha1)
        return makeScram(QCryptographicHash::Sha1, kScramSha1, credentials, clientNonce);
    if (mechanism == kScramSha256)
        return makeScram(QCryptographicHash::Sha256, kScramSha256, credentials, clientNonce);
    if (mechanism == kXOAuth2)
        return makeXOAuth2(credentials);
    if (mechanism == kOAuthBearer)
        return makeOAuthBearer(credentials);
    return failed(QStringLiteral("Unknown authentication mechanism: %1").arg(printable(name)));
}

QByteArrayList supportedMechanisms()
{
    return {kOAuthBearer, kXOAuth2, kScramSha256, kScramSha1, kCramMd5, kPlain, kLogin};
}

SaslChoice chooseMechanism(const QByteArrayList &offered, const QString &choice, bool inTls,
                           bool hasToken)
{
    QByteArrayList upper;
    for (const QByteArray &mechanism : offered)
        upper << mechanism.toUpper();
    const QString configured = choice.trimmed();
    if (configured.isEmpty())
        return refuse(QStringLiteral("No authentication mechanism is configured"));
    if (configured.compare(u"auto", Qt::CaseInsensitive) == 0)
        return chooseAutomatically(upper, inTls, hasToken);

    const QByteArray named = configured.toUpper().toUtf8();
    const QString shown = printable(named);
    if (!supportedMechanisms().contains(named))
        return refuse(QStringLiteral("Unknown authentication mechanism: %1").arg(shown));
    if (usesToken(named) && !hasToken)
        return refuse(QStringLiteral("%1 needs an access token, and no token source is "
                                     "configured")
                          .arg(shown));
    if (usesToken(named) && !inTls)
        return refuse(QStringLiteral("%1 would send an access token without TLS, which is "
                                     "never done")
                          .arg(shown));
    if (!upper.contains(named))
        return refuse(QStringLiteral("The server does not offer %1 (it offers: %2)")
                          .arg(shown, offeredText(upper)));
    return {named, QString()};
}

QByteArrayList parseOfferedMechanisms(const QByteArray &words)
{
    QByteArrayList out;
    for (const QByteArray &word : words.simplified().split(' ')) {
        if (!word.isEmpty())
            out << word.toUpper();
    }
    return out;
}

QByteArray encodeResponse(const QByteArray &bytes)
{
    return bytes.toBase64();
}

QByteArray encodeInitialResponse(const QByteArray &bytes)
{
    return bytes.isEmpty() ? QByteArrayLiteral("=") : bytes.toBase64();
}

std::optional<QByteArray> decodeChallenge(const QByteArray &text)
{
    const QByteArray trimmed = text.trimmed();
    const auto decoded
        = QByteArray::fromBase64Encoding(trimmed, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

} // namespace vessamo::mail
