// SCRAM-SHA-1 and SCRAM-SHA-256 (RFC 5802, RFC 7677) without channel binding: the client
// sends its user name and nonce, the server answers with its nonce, salt and iteration count,
// the client proves that it knows the password, and the server proves in turn that it knows
// it too. That last proof is what SCRAM adds over the older mechanisms, so a success that
// comes without a verified server signature is refused.
#include "mail/sasl_scram.h"

#include "mail/saslprep.h"

#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <limits>

namespace vessamo::mail {

using namespace sasl;

namespace {

// "n,,": no channel binding, no authorization identity (RFC 5802 section 7, gs2-header).
const QByteArray kGs2Header = QByteArrayLiteral("n,,");

// printable = %x21-2B / %x2D-7E: visible ASCII without the comma.
bool isNonce(const QByteArray &nonce)
{
    if (nonce.isEmpty())
        return false;
    for (const char c : nonce) {
        if (c < 0x21 || c > 0x7e || c == ',')
            return false;
    }
    return true;
}

std::optional<QByteArray> strictBase64(const QByteArray &text)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || (text.size() % 4) != 0)
        return std::nullopt;
    return decoded.decoded;
}

// An extension after the mandatory attributes: a letter, "=" and a value.
bool isExtension(const QByteArray &part)
{
    return part.size() >= 2 && part[1] == '='
        && ((part[0] >= 'a' && part[0] <= 'z') || (part[0] >= 'A' && part[0] <= 'Z'));
}

// 18 random bytes make 24 characters of Base64, none of them a comma.
QByteArray randomNonce()
{
    QByteArray bytes(18, '\0');
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes.toBase64();
}

class ScramMechanism final : public SaslMechanism
{
public:
    ScramMechanism(QCryptographicHash::Algorithm algorithm, QByteArray name, const QByteArray &user,
                   QByteArray password, const QByteArray &nonce)
        : algorithm_(algorithm)
        , name_(std::move(name))
        , password_(std::move(password))
        , clientNonce_(nonce)
        , clientFirstBare_("n=" + escapeSaslName(user) + ",r=" + nonce)
    {
    }

    QByteArray name() const override { return name_; }

    std::optional<QByteArray> initialResponse() override
    {
        state_ = State::SentFirst;
        return kGs2Header + clientFirstBare_;
    }

    SaslStep step(const QByteArray &challenge) override
    {
        switch (state_) {
        case State::Start:
            if (!challenge.isEmpty())
                return SaslStep::fail(QStringLiteral("The server spoke first in %1, where the "
                                                     "client does")
                                          .arg(QString::fromLatin1(name_)));
            return SaslStep::respond(*initialResponse());
        case State::SentFirst:
            return answerServerFirst(challenge);
        case State::SentFinal:
            // The server's signature: once it is verified the answer is empty, and the
            // server then reports success.
            return checkServerFinal(challenge);
        case State::Verified:
        case State::Failed:
            break;
        }
        return SaslStep::fail(unexpectedChallenge(name_));
    }

    SaslStep verifySuccess(const std::optional<QByteArray> &additionalData) override
    {
        if (state_ == State::SentFinal && additionalData && !additionalData->isEmpty())
            return checkServerFinal(*additionalData);
        if (state_ == State::Verified
            && (!additionalData || additionalData->isEmpty() || *additionalData == serverFinal_))
            return SaslStep::respond(QByteArray());
        state_ = State::Failed;
        return SaslStep::fail(QStringLiteral("The server reported success without proving that "
                                             "it knows the password (no %1 server signature)")
                                  .arg(QString::fromLatin1(name_)));
    }

private:
    enum class State { Start, SentFirst, SentFinal, Verified, Failed };

    QByteArray hmac(const QByteArray &key, const QByteArray &message) const
    {
        return QMessageAuthenticationCode::hash(message, key, algorithm_);
    }

    SaslStep fail(const QString &why)
    {
        state_ = State::Failed;
        return SaslStep::fail(why);
    }

    SaslStep answerServerFirst(const QByteArray &message)
    {
        const ScramServerFirstParsed parsed = parseScramServerFirst(message);
        if (!parsed.ok())
            return fail(parsed.failure);
        const ScramServerFirst &first = parsed.value;
        if (!first.nonce.startsWith(clientNonce_) || first.nonce.size() <= clientNonce_.size())
            return fail(QStringLiteral("The server's %1 nonce does not extend the client's, as "
                                       "it must")
                            .arg(QString::fromLatin1(name_)));

        const int length = QCryptographicHash::hashLength(algorithm_);
        const QByteArray salted = QPasswordDigestor::deriveKeyPbkdf2(
            algorithm_, password_, first.salt, first.iterations, quint64(length));
        const QByteArray clientKey = hmac(salted, "Client Key");
        const QByteArray storedKey = QCryptographicHash::hash(clientKey, algorithm_);
        const QByteArray withoutProof = "c=" + kGs2Header.toBase64() + ",r=" + first.nonce;
        const QByteArray authMessage = clientFirstBare_ + ',' + message + ',' + withoutProof;
        QByteArray proof = hmac(storedKey, authMessage);
        for (qsizetype i = 0; i < proof.size(); ++i)
            proof[i] = char(proof[i] ^ clientKey[i]);
        serverSignature_ = hmac(hmac(salted, "Server Key"), authMessage);
        state_ = State::SentFinal;
        return SaslStep::respond(withoutProof + ",p=" + proof.toBase64());
    }

    SaslStep checkServerFinal(const QByteArray &message)
    {
        const ScramServerFinalParsed parsed = parseScramServerFinal(message);
        if (!parsed.ok())
            return fail(parsed.failure);
        if (!parsed.value.error.isEmpty())
            return fail(QStringLiteral("The server refused the %1 login: %2")
                            .arg(QString::fromLatin1(name_), printable(parsed.value.error)));
        // Compared in full whatever differs, so the time taken says nothing.
        const QByteArray &verifier = parsed.value.verifier;
        char difference = char(verifier.size() != serverSignature_.size());
        for (qsizetype i = 0; i < verifier.size() && i < serverSignature_.size(); ++i)
            difference = char(difference | (verifier[i] ^ serverSignature_[i]));
        if (difference != 0)
            return fail(QStringLiteral("The server's %1 signature is wrong: it does not know the "
                                       "password, or someone is in between")
                            .arg(QString::fromLatin1(name_)));
        state_ = State::Verified;
        serverFinal_ = message;
        return SaslStep::respond(QByteArray());
    }

    QCryptographicHash::Algorithm algorithm_;
    QByteArray name_;
    QByteArray password_;
    QByteArray clientNonce_;
    QByteArray clientFirstBare_;
    QByteArray serverSignature_;
    QByteArray serverFinal_;
    State state_ = State::Start;
};

} // namespace

ScramServerFirstParsed parseScramServerFirst(const QByteArray &message)
{
    const auto refuse = [](const QString &why) {
        ScramServerFirstParsed parsed;
        parsed.failure = QStringLiteral("The server's SCRAM challenge is malformed: ") + why;
        return parsed;
    };
    const QByteArrayList parts = message.split(',');
    if (message.startsWith("m="))
        return refuse(QStringLiteral("it requires an extension (m=) that is not supported"));
    if (parts.size() < 3 || !parts[0].startsWith("r=") || !parts[1].startsWith("s=")
        || !parts[2].startsWith("i="))
        return refuse(QStringLiteral("it is not \"r=...,s=...,i=...\""));
    for (qsizetype i = 3; i < parts.size(); ++i) {
        if (!isExtension(parts[i]))
            return refuse(QStringLiteral("something other than an extension follows the "
                                         "iteration count"));
    }
    ScramServerFirst first;
    first.nonce = parts[0].mid(2);
    if (!isNonce(first.nonce))
        return refuse(QStringLiteral("the nonce is empty or holds characters a nonce cannot "
                                     "hold"));
    const std::optional<QByteArray> salt = strictBase64(parts[1].mid(2));
    if (!salt || salt->isEmpty())
        return refuse(QStringLiteral("the salt is not Base64"));
    first.salt = *salt;
    const QByteArray count = parts[2].mid(2);
    bool number = !count.isEmpty();
    for (const char c : count)
        number = number && c >= '0' && c <= '9';
    if (!number)
        return refuse(QStringLiteral("the iteration count is not a number"));
    // Digits beyond ten are too many in any case; the exact value does not matter then.
    const qint64 iterations
        = count.size() > 10 ? std::numeric_limits<qint64>::max() : count.toLongLong();
    if (iterations < kScramMinIterations || iterations > kScramMaxIterations)
        return {{},
                QStringLiteral("The server asks for %1 SCRAM iterations, outside the %2 to %3 "
                               "accepted")
                    .arg(printable(count, 20))
                    .arg(kScramMinIterations)
                    .arg(kScramMaxIterations)};
    first.iterations = int(iterations);
    return {first, QString()};
}

ScramServerFinalParsed parseScramServerFinal(const QByteArray &message)
{
    const auto refuse = [] {
        ScramServerFinalParsed parsed;
        parsed.failure = QStringLiteral("The server's last SCRAM message is malformed");
        return parsed;
    };
    const QByteArrayList parts = message.split(',');
    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (!isExtension(parts[i]))
            return refuse();
    }
    ScramServerFinal final;
    if (parts[0].startsWith("e=")) {
        final.error = parts[0].mid(2);
        if (final.error.isEmpty())
            return refuse();
        return {final, QString()};
    }
    if (!parts[0].startsWith("v="))
        return refuse();
    const std::optional<QByteArray> verifier = strictBase64(parts[0].mid(2));
    if (!verifier || verifier->isEmpty())
        return refuse();
    final.verifier = *verifier;
    return {final, QString()};
}

namespace sasl {

SaslMade makeScram(QCryptographicHash::Algorithm algorithm, const QByteArray &name,
                   const SaslCredentials &credentials, const QByteArray &clientNonce)
{
    const SaslPrepared user = saslPrep(credentials.user);
    if (!user.ok())
        return {nullptr,
                QStringLiteral("The user name %1, which %2 cannot send")
                    .arg(user.failure, QString::fromLatin1(name))};
    const SaslPrepared password = saslPrep(credentials.password);
    if (!password.ok())
        return {nullptr,
                QStringLiteral("The password %1, which %2 cannot send")
                    .arg(password.failure, QString::fromLatin1(name))};
    const QByteArray nonce = clientNonce.isEmpty() ? randomNonce() : clientNonce;
    if (!isNonce(nonce))
        return {nullptr, QStringLiteral("The client nonce is not printable")};
    return {std::make_unique<ScramMechanism>(algorithm, name, user.text.toUtf8(),
                                             password.text.toUtf8(), nonce),
            QString()};
}

} // namespace sasl

} // namespace vessamo::mail
