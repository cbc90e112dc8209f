// POP3 login other than USER/PASS: the CAPA reply, the choice of method, APOP and the SASL
// exchange of AUTH (RFC 5034). The states are rows of the session's table (pop3session.cpp);
// these are the judgements that would make its switch too long.
//
// Nothing secret is sent before the method is settled: a failure found from the greeting or
// the capabilities (no APOP timestamp, no mechanism the rules allow, no access token) ends
// the session with only CAPA said. Once an exchange has begun, a mechanism that cannot go on
// cancels it with "*" (RFC 4422 section 3.5) rather than leaving the server waiting.
#include "mail/saslmechanisms.h"
#include "platform/ansi.h"
#include "platform/eventlog.h"
#include "platform/wirelog.h"
#include "routing/pop3session.h"

#include <QCryptographicHash>

namespace vessamo::routing {

namespace {

// RFC 2449 section 4: a command line, CR LF included, is at most 255 octets.
constexpr qsizetype kMaxCommandLine = 255;

void wireLog(platform::WireSide side, QByteArrayView bytes)
{
    platform::logWire(platform::lcWirePop3(), side, bytes);
}

bool sameMethod(const QString &method, QLatin1StringView name)
{
    return method.compare(name, Qt::CaseInsensitive) == 0;
}

bool usesToken(const QByteArray &mechanism)
{
    return mechanism == mail::sasl::kXOAuth2 || mechanism == mail::sasl::kOAuthBearer;
}

// Whether the server offers a mechanism that logs in with the password.
bool offersPasswordMechanism(const QByteArrayList &offered)
{
    using namespace mail::sasl;
    for (const QByteArray &mechanism : {kScramSha256, kScramSha1, kCramMd5, kPlain, kLogin}) {
        if (offered.contains(mechanism))
            return true;
    }
    return false;
}

// A SASL challenge: "+" and a blank, or "+" alone (an empty challenge); not "+OK".
bool isChallenge(const QByteArray &reply)
{
    return reply.startsWith('+') && !reply.startsWith("+OK");
}

QByteArray lineText(const QByteArray &reply)
{
    QByteArray text = reply;
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    return text;
}

// APOP (RFC 1939 section 7): the MD5 of the timestamp followed by the password, in
// lower-case hex. The password goes in the same code page as PASS sends it.
QByteArray apopDigest(const QByteArray &timestamp, const QString &password)
{
    return QCryptographicHash::hash(timestamp + platform::toAnsi(password), QCryptographicHash::Md5)
        .toHex();
}

} // namespace

QByteArray Pop3Session::shownReply(const QByteArray &reply) const
{
    const bool exchanging = state_ == Pop3State::Auth || state_ == Pop3State::AuthResponse;
    if (!exchanging || !isChallenge(reply))
        return reply;
    return QByteArrayLiteral("+ *******") + (reply.endsWith('\n') ? "\r\n" : "");
}

void Pop3Session::collectCapabilities(const QByteArray &block)
{
    reply_.append(block);
    const qsizetype length = capaReplyLength(reply_);
    if (length < 0) {
        if (reply_.size() > kMaxCapaReply) {
            wireLog(platform::WireSide::Server, reply_.left(kMaxReply));
            fail(QStringLiteral("Rebent: the CAPA reply of %1 is longer than %2 octets")
                     .arg(host(), QString::number(kMaxCapaReply)));
        }
        return;
    }
    const QByteArray reply = reply_.left(length);
    reply_.clear();
    wireLog(platform::WireSide::Server, reply);
    run_.AfegirEstat(platform::fromAnsi(lineText(reply.left(reply.indexOf('\n') + 1))));
    judge(reply);
}

void Pop3Session::loginFailure(const QString &why)
{
    fail(QStringLiteral("Rebent: ") + why);
}

void Pop3Session::startLogin(const QByteArray &greeting)
{
    greeting_ = greeting;
    if (login_.method.trimmed().isEmpty())
        enter(Pop3State::User);
    else
        enter(Pop3State::Capa);
}

void Pop3Session::loginWithCapabilities(const Pop3Capabilities &capabilities)
{
    const QString method = login_.method.trimmed();
    if (sameMethod(method, QLatin1StringView("USER"))) {
        enter(Pop3State::User);
        return;
    }
    if (sameMethod(method, QLatin1StringView("APOP"))) {
        const std::optional<QByteArray> timestamp = apopTimestamp(lineText(greeting_));
        if (!timestamp) {
            loginFailure(QStringLiteral("APOP is required, and the greeting of %1 holds no "
                                        "timestamp (the server does not offer APOP)")
                             .arg(host()));
            return;
        }
        apopDigest_ = apopDigest(*timestamp, bustia_.Contrassenya);
        enter(Pop3State::Apop);
        return;
    }
    const bool hasToken = static_cast<bool>(login_.accessToken);
    if (sameMethod(method, QLatin1StringView("auto")) && !hasToken
        && !offersPasswordMechanism(capabilities.sasl)) {
        // No SASL mechanism for a password: it may still go as PASS, but only where nobody
        // can read it.
        if (inTls_) {
            enter(Pop3State::User);
            return;
        }
        loginFailure(QStringLiteral("%1 offers no SASL mechanism that logs in with a password, "
                                    "and without TLS USER/PASS would send the password in "
                                    "clear text; name USER to allow that")
                         .arg(host()));
        return;
    }
    const mail::SaslChoice choice
        = mail::chooseMechanism(capabilities.sasl, method, inTls_, hasToken);
    if (!choice.ok()) {
        loginFailure(choice.failure);
        return;
    }
    startSasl(choice.mechanism);
}

void Pop3Session::startSasl(const QByteArray &mechanism)
{
    mail::SaslCredentials credentials;
    credentials.user = bustia_.Usuari;
    credentials.password = bustia_.Contrassenya;
    credentials.host = bustia_.Servidor;
    credentials.port = bustia_.port();
    if (usesToken(mechanism)) {
        // The source may wait in the event loop (a command, a token endpoint): what the
        // server says meanwhile is kept, not judged, and its silence counts from now on.
        QString error;
        awaitingToken_ = true;
        const std::optional<QString> token = login_.accessToken(error);
        awaitingToken_ = false;
        lastHeard_ = QDeadlineTimer::current();
        if (!busy_)
            return; // the server closed meanwhile (logged)
        if (!reply_.isEmpty()) {
            // It spoke out of turn (an idle time-out, say): taken as its refusal.
            const QByteArray said = reply_;
            reply_.clear();
            wireLog(platform::WireSide::Server, said);
            run_.AfegirEstat(platform::fromAnsi(said));
            refused(said);
            return;
        }
        if (!token || token->isEmpty()) {
            loginFailure(
                QStringLiteral("no hi ha testimoni d'accés per a %1 a %2: %3")
                    .arg(bustia_.Usuari, host(),
                         error.isEmpty() ? QStringLiteral("la font del testimoni no n'ha donat cap") : error));
            return;
        }
        credentials.accessToken = *token;
    }
    mail::SaslMade made = mail::makeMechanism(mechanism, credentials);
    if (!made.mechanism) {
        loginFailure(made.failure);
        return;
    }
    mechanism_ = std::move(made.mechanism);
    authArgument_ = mechanism_->name();
    initialResponse_ = mechanism_->initialResponse();
    initialResponseSent_ = false;
    if (initialResponse_) {
        // RFC 5034 section 4: an initial response that would make the command too long
        // waits for the server's empty challenge instead.
        const QByteArray withResponse
            = authArgument_ + ' ' + mail::encodeInitialResponse(*initialResponse_);
        if (QByteArrayLiteral("AUTH ").size() + withResponse.size() + 2 <= kMaxCommandLine) {
            authArgument_ = withResponse;
            initialResponse_.reset();
            initialResponseSent_ = true;
        }
    }
    enter(Pop3State::Auth);
}

void Pop3Session::judgeSasl(const QByteArray &reply)
{
    if (isChallenge(reply)) {
        const std::optional<QByteArray> challenge = mail::decodeChallenge(lineText(reply).mid(1));
        if (!challenge) {
            cancelSasl(QStringLiteral("the server's %1 challenge is not Base64")
                           .arg(QString::fromLatin1(mechanism_->name())));
            return;
        }
        QByteArray answer;
        if (initialResponse_ && challenge->isEmpty()) {
            answer = *initialResponse_;
            initialResponse_.reset();
        } else {
            const mail::SaslStep step = mechanism_->step(*challenge);
            if (!step.ok()) {
                cancelSasl(step.failure);
                return;
            }
            answer = step.response;
        }
        saslResponse_ = mail::encodeResponse(answer);
        enter(Pop3State::AuthResponse);
        return;
    }
    if (reply.startsWith("+OK")) {
        // The server says yes; SCRAM still wants the proof that it knew the password.
        const mail::SaslStep verified = mechanism_->verifySuccess(std::nullopt);
        if (!verified.ok()) {
            loginFailure(verified.failure);
            return;
        }
        enter(Pop3State::Stat);
        return;
    }
    const QString reason = mechanism_->serverReason();
    if (reason.isEmpty()) {
        refused(reply);
        return;
    }
    fail(QStringLiteral("Rebent: ") + platform::fromAnsi(lineText(reply)) + QStringLiteral(" (")
         + reason + QStringLiteral(")"));
}

void Pop3Session::cancelSasl(const QString &why)
{
    // Logged now: the reply to "*" is a refusal whatever happened, and may never come.
    if (!failed_)
        platform::logError(QStringLiteral("Rebent: ") + why);
    failed_ = true;
    if (!enter(Pop3State::AuthCancel))
        endSession();
}

} // namespace vessamo::routing
