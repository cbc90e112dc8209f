// What every SASL mechanism shares: the choice among the mechanisms a server offers, the
// wire coding, and the helpers of the mechanisms' own files. The mechanisms and their
// factory live in saslmechanisms.cpp, sasl_scram.cpp and sasl_oauth.cpp, SASLprep in
// saslprep.cpp.
#include "mail/sasl.h"

#include "platform/ansi.h"


namespace vessamo::mail {

using namespace sasl;

namespace {

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
