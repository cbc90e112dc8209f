// The simple SASL mechanisms (PLAIN, LOGIN, CRAM-MD5) and the factory of them all. SCRAM
// lives in sasl_scram.cpp, the OAuth mechanisms in sasl_oauth.cpp.
#include "mail/saslmechanisms.h"

#include "mail/sasl_oauth.h"
#include "mail/sasl_scram.h"
#include "platform/ansi.h"

#include <QMessageAuthenticationCode>

namespace vessamo::mail {

using namespace sasl;

namespace {

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

} // namespace

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

} // namespace vessamo::mail
