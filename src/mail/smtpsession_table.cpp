// The SMTP session's state machine proper: entering a state raises its status and sends its
// command (both named by its row in kSmtpStates, smtpsession.h), one function judges each
// reply for the state it answers, and the socket's events (connect, data, close, error,
// progress) move the machine. Nothing here waits.
#include "mail/modcorreu.h"
#include "mail/sasl.h"
#include "mail/saslmechanisms.h"
#include "mail/smtpsession.h"
#include "platform/ansi.h"
#include "platform/eventlog.h"
#include "platform/socketcontrol.h"
#include "platform/tls.h"
#include "platform/wirelog.h"

#include <cmath>

namespace vessamo::mail {

namespace {

using platform::SocketControl;

const QByteArray kMasked = QByteArrayLiteral("********");
constexpr qsizetype kShownOfLongReply = 200;
// An AUTH command line with its initial response may have this many octets, CR LF included
// (RFC 4954 section 4); a longer response waits for the server's empty challenge.
constexpr qsizetype kMaxAuthLine = 512;

bool containsNoCase(const QByteArray &text, const char *part)
{
    return text.toLower().contains(part);
}

// The mechanisms an EHLO reply offers on its AUTH lines, "250-AUTH PLAIN LOGIN" and the
// older "250-AUTH=PLAIN LOGIN" alike.
QByteArrayList offeredMechanisms(const QByteArray &reply)
{
    QByteArrayList offered;
    for (const QByteArray &line : reply.split('\n')) {
        const QByteArray text = line.mid(4).trimmed();
        const QByteArray keyword = text.left(5).toUpper();
        if (keyword != "AUTH " && keyword != "AUTH=")
            continue;
        for (const QByteArray &mechanism : parseOfferedMechanisms(text.mid(5))) {
            if (!offered.contains(mechanism))
                offered << mechanism;
        }
    }
    return offered;
}

// Whether a multi-line EHLO reply names the extension as a keyword of one of its lines
// ("250-STARTTLS", "250 STARTTLS"): a word inside another line's text does not count.
bool offersExtension(const QByteArray &reply, const char *keyword)
{
    for (const QByteArray &line : reply.split('\n')) {
        const QByteArray word = line.mid(4).trimmed().split(' ').first().toUpper();
        if (line.size() > 4 && word == keyword)
            return true;
    }
    return false;
}

bool positive(const QByteArray &code, std::initializer_list<const char *> accepted)
{
    for (const char *one : accepted) {
        if (code == one)
            return true;
    }
    return false;
}

// What a refusal means for the message: only the transaction's own steps can refuse it for
// good; a reply that is neither positive nor negative says no more than silence would (after
// the end of data it leaves open whether the server kept the message).
RelayOutcome refusalClass(SmtpState state, char first)
{
    const SmtpStateRow &row = smtpStateRow(state);
    if (row.transaction && first == '5')
        return RelayOutcome::Permanent;
    if (first != '4')
        return row.silence;
    return RelayOutcome::Temporary;
}

} // namespace

// What entering a state sends.
QByteArray SmtpSession::commandOf(SmtpCommand command, QByteArray &logged) const
{
    const QByteArray from = platform::toAnsi(settings_.from);
    switch (command) {
    case SmtpCommand::None:
    case SmtpCommand::EndOfData: // the message itself: sendMessage
        return {};
    case SmtpCommand::Hello: {
        const qsizetype at = from.indexOf('@');
        // STARTTLS is an extension: only a server greeted with EHLO offers it.
        const bool extended = settings_.useAuthentication || startTlsPending_
            || (socket_ && !socket_->TlsDescription().isEmpty());
        return (extended ? "EHLO " : "HELO ") + (at >= 0 ? from.mid(at + 1) : from) + "\r\n";
    }
    case SmtpCommand::StartTls:
        return QByteArrayLiteral("STARTTLS\r\n");
    case SmtpCommand::AuthLogin:
        // Mechanism names are upper case; strict servers refuse "Login".
        return QByteArrayLiteral("AUTH LOGIN\r\n");
    case SmtpCommand::AuthSasl: {
        const QByteArray auth = "AUTH " + (sasl_ ? sasl_->name() : QByteArray());
        if (!saslInitial_)
            return auth + "\r\n";
        logged = auth + ' ' + kMasked;
        return auth + ' ' + *saslInitial_ + "\r\n";
    }
    case SmtpCommand::MailFrom:
        return "MAIL FROM: <" + from + ">" + (authParameter_ ? " AUTH=" + from : QByteArray())
            + "\r\n";
    case SmtpCommand::RcptTo:
        return "RCPT TO: <" + platform::toAnsi(envelope_.value(rcptIndex_)) + ">\r\n";
    case SmtpCommand::Data:
        return QByteArrayLiteral("DATA\r\n");
    case SmtpCommand::Quit:
        return QByteArrayLiteral("QUIT\r\n");
    case SmtpCommand::Pop3User:
        return "USER " + platform::toAnsi(settings_.userName) + "\r\n";
    case SmtpCommand::Pop3Pass:
        logged = "PASS " + kMasked;
        return "PASS " + platform::toAnsi(settings_.password) + "\r\n";
    }
    return {};
}

// Entering a state raises its status and sends what it waits the answer to.
void SmtpSession::enter(SmtpState next)
{
    state_ = next;
    if (next == SmtpState::MailFrom) {
        bytesSent_ = 0;
        lastPercentage_ = 0;
    }
    const SmtpStateRow &row = smtpStateRow(next);
    if (row.status)
        status(QString::fromLatin1(row.status));
    if (next == SmtpState::RcptTo)
        rcptIndex_ = 0;
    if (next == SmtpState::RcptTo && envelope_.isEmpty()) {
        // What indexing an empty list reports.
        fail(QStringLiteral("Subscript out of range"), RelayOutcome::Permanent);
        return;
    }
    if (row.command == SmtpCommand::EndOfData) {
        sendMessage();
        return;
    }
    QByteArray logged;
    const QByteArray command = commandOf(row.command, logged);
    if (!command.isEmpty())
        send(command, logged);
}

// The next RCPT TO of the envelope, without a status of its own.
void SmtpSession::sendRecipient()
{
    QByteArray logged;
    send(commandOf(SmtpCommand::RcptTo, logged));
}

// The message (its line ends and dots made fit, as for every byte of the data section),
// then the end-of-data line. A message that ends with its line end is followed by the "."
// line alone; one that does not gets the line end it lacks, so no empty line is added to
// what the recipient receives. A message written in pieces (composed, or relayed block by
// block) has been written already but for its last piece, if one was kept. Up to 256 KB
// the message and the end go out in one write: one segment, one wake-up of the server.
void SmtpSession::sendMessage()
{
    constexpr qsizetype kJoinedLimit = 256 * 1024;
    const QByteArray wire
        = composing_ ? std::exchange(lastPiece_, QByteArray()) : data_.encode(wire_);
    const QByteArray end
        = data_.atLineStart() ? QByteArrayLiteral(".\r\n") : QByteArrayLiteral("\r\n.\r\n");
    if (wire.isEmpty()) {
        send(end);
        return;
    }
    const QByteArray logged = "<message, " + QByteArray::number(wire.size()) + " octets>";
    if (wire.size() > kJoinedLimit) {
        send(wire, logged);
        send(end);
        return;
    }
    send(wire + end, logged + "\r\n" + end);
}

// One complete reply (a line during the POP3 login), judged for the state it answers.
void SmtpSession::judge(const QByteArray &reply)
{
    if (smtpStateRow(state_).pop3) {
        judgePop3(reply);
        return;
    }
    const QByteArray code = reply.left(3).toUpper();
    if (code == "211" || code == "214")
        return; // help and status texts answer nothing we asked
    bool accepted = false;
    switch (state_) {
    case SmtpState::Greeting:
        if ((accepted = code == "220"))
            enter(SmtpState::Hello);
        break;
    case SmtpState::Hello:
        if ((accepted = code == "250"))
            judgeHello(reply);
        break;
    case SmtpState::StartTls:
        if ((accepted = code == "220")) {
            state_ = SmtpState::TlsHandshake;
            // Whatever followed the reply (in the same packet or not) was sent before the
            // handshake: it is dropped, never read as a reply inside TLS.
            replies_.clear();
            if (!socket_ || !socket_->StartTls(platform::clientTlsConfiguration()))
                fail(QStringLiteral("TLS could not be started"), RelayOutcome::Temporary);
            return;
        }
        break;
    case SmtpState::TlsHandshake:
        return; // nothing the server says before the handshake counts
    case SmtpState::Auth:
        judgeAuth(reply);
        return;
    case SmtpState::SaslAuth:
        judgeSasl(reply);
        return;
    case SmtpState::MailFrom:
        if ((accepted = positive(code, {"250", "251"})))
            enter(SmtpState::RcptTo);
        break;
    case SmtpState::RcptTo:
        if ((accepted = positive(code, {"250", "251"}))) {
            if (++rcptIndex_ < envelope_.size())
                sendRecipient();
            else
                enter(SmtpState::Data);
        }
        break;
    case SmtpState::Data:
        if ((accepted = code == "354")) {
            if (composing_)
                state_ = SmtpState::Content; // the caller writes the content
            else
                enter(SmtpState::DataEnd);
        }
        break;
    case SmtpState::DataEnd:
        if ((accepted = positive(code, {"250", "251"}))) {
            classify(RelayOutcome::Sent);
            state_ = SmtpState::Accepted;
            // Told at once, before the goodbye: the owner records the acceptance while
            // the window for a duplicate is smallest. The handler must not wait.
            static_cast<void>(deliver(SessionEvent::accepted()));
        }
        break;
    case SmtpState::Quit:
        // Whatever the goodbye brings: the session is over.
        state_ = SmtpState::Closed;
        return;
    case SmtpState::Accepted:
        return; // the message is taken: nothing said before the goodbye changes that
    default:
        // Nothing was asked: only a positive reply passes unremarked.
        accepted = code.startsWith('2');
        break;
    }
    if (!accepted)
        fail(platform::fromAnsi(reply), refusalClass(state_, code.isEmpty() ? '\0' : code[0]));
}

// AUTH LOGIN: two challenges, then the verdict.
void SmtpSession::judgeAuth(const QByteArray &reply)
{
    const QByteArray code = reply.left(3);
    if (code == "334") {
        answerChallenge(reply);
    } else if (code == "235") {
        state_ = SmtpState::Ready;
        status(QStringLiteral("Host Login OK!"));
    } else {
        fail(platform::fromAnsi(reply), RelayOutcome::Temporary);
        status(QStringLiteral("Host Login Failed!"));
    }
}

// The EHLO reply says whether the server takes AUTH LOGIN and the AUTH parameter; a reply
// to HELO, or any later reply, says nothing about either.
void SmtpSession::judgeHello(const QByteArray &reply)
{
    if (startTlsPending_) {
        // Port 587: TLS before anything else, never a fall back to clear text.
        if (!offersExtension(reply, "STARTTLS")) {
            fail(QStringLiteral("The SMTP Host does not offer STARTTLS on port 587: ")
                     + platform::fromAnsi(reply).trimmed(),
                 RelayOutcome::Temporary);
            return;
        }
        enter(SmtpState::StartTls);
        return;
    }
    if (!settings_.useAuthentication) {
        state_ = SmtpState::Ready;
        return;
    }
    if (!settings_.loginMethod.isEmpty()) {
        startSasl(reply);
        return;
    }
    const bool mechanism = containsNoCase(reply, "plain") || containsNoCase(reply, "login");
    authAdvertised_ = containsNoCase(reply, "auth") && mechanism;
    authParameter_ = containsNoCase(reply, "auth=") && mechanism;
    if (authAdvertised_) {
        enter(SmtpState::Auth);
        return;
    }
    state_ = SmtpState::Ready;
    status(QStringLiteral("Login Not Supported by Host, Continuing..."));
}

// One line of the POP3 login: each "+OK" sends the next command.
void SmtpSession::judgePop3(const QByteArray &reply)
{
    if (reply.left(3).toUpper() != "+OK") {
        fail(platform::fromAnsi(reply), RelayOutcome::Temporary);
        return;
    }
    switch (state_) {
    case SmtpState::Pop3Greeting:
        enter(SmtpState::Pop3User);
        break;
    case SmtpState::Pop3User:
        enter(SmtpState::Pop3Pass);
        break;
    case SmtpState::Pop3Pass:
        enter(SmtpState::Pop3Quit);
        break;
    default:
        state_ = SmtpState::Closed; // the login is over
        break;
    }
}

// AUTH LOGIN: the server's Base64 challenge names the value it wants.
void SmtpSession::answerChallenge(const QByteArray &reply)
{
    QByteArray challenge = reply.mid(3);
    challenge.replace("\r\n", "");
    challenge = challenge.trimmed();
    // "Username:" and the LOGIN draft's "User Name" alike.
    const QString decoded
        = Base64Decode(platform::fromAnsi(challenge)).toLower().remove(QLatin1Char(' '));
    if (decoded.contains(u"username"))
        send(platform::toAnsi(Base64EncodeText(settings_.userName)), kMasked);
    else if (decoded.contains(u"password"))
        send(platform::toAnsi(Base64EncodeText(settings_.password)), kMasked);
    else
        send(QByteArrayLiteral("\r\n*\r\n"), kMasked);
}

// --- The SASL login -------------------------------------------------------------------------

// The mechanism for the configured method among those the EHLO reply offers, then AUTH.
void SmtpSession::startSasl(const QByteArray &ehloReply)
{
    const QByteArrayList offered = offeredMechanisms(ehloReply);
    authAdvertised_ = !offered.isEmpty();
    authParameter_ = authAdvertised_ && containsNoCase(ehloReply, "auth=");
    const bool inTls = socket_ && !socket_->TlsDescription().isEmpty();
    const SaslChoice choice = chooseMechanism(offered, settings_.loginMethod, inTls,
                                              static_cast<bool>(settings_.accessToken));
    if (!choice.ok()) {
        saslFailed(choice.failure);
        return;
    }
    const SaslCredentials credentials {settings_.userName, settings_.password, accessToken_,
                                       settings_.host, static_cast<quint16>(settings_.port)};
    SaslMade made = makeMechanism(choice.mechanism, credentials, settings_.saslClientNonce);
    if (!made.mechanism) {
        saslFailed(made.failure);
        return;
    }
    sasl_ = std::move(made.mechanism);
    saslInitial_.reset();
    saslPending_.reset();
    saslCancelled_.reset();
    if (const std::optional<QByteArray> initial = sasl_->initialResponse()) {
        const QByteArray encoded = encodeInitialResponse(*initial);
        const qsizetype line = 5 + sasl_->name().size() + 1 + encoded.size() + 2;
        if (line <= kMaxAuthLine)
            saslInitial_ = encoded;
        else
            saslPending_ = *initial;
    }
    enter(SmtpState::SaslAuth);
}

// 334: a challenge; 235: success, which the mechanism must accept (SCRAM only once the
// server has proved it knows the password); anything else: the refusal, as the server
// worded it, with the mechanism's reading of it.
void SmtpSession::judgeSasl(const QByteArray &reply)
{
    if (saslCancelled_) {
        // The reply to the cancel ends the login, whatever it says.
        saslFailed(*saslCancelled_);
        return;
    }
    const QByteArray code = reply.left(3);
    if (code == "334") {
        answerSasl(reply);
        return;
    }
    if (code == "235") {
        const SaslStep verified = sasl_->verifySuccess(std::nullopt);
        if (!verified.ok()) {
            saslFailed(verified.failure);
            return;
        }
        sasl_.reset();
        accessToken_.clear();
        state_ = SmtpState::Ready;
        status(QStringLiteral("Host Login OK!"));
        return;
    }
    saslFailed(platform::fromAnsi(reply) + sasl_->serverReason());
}

// One challenge, decoded, and the mechanism's answer; every answer is masked in the wire log.
void SmtpSession::answerSasl(const QByteArray &reply)
{
    const std::optional<QByteArray> challenge = decodeChallenge(reply.mid(3));
    if (!challenge) {
        cancelSasl(QStringLiteral("The server's %1 challenge is not Base64")
                       .arg(QString::fromLatin1(sasl_->name())));
        return;
    }
    QByteArray response;
    if (saslPending_) {
        // The initial response that did not fit on the AUTH line goes now.
        if (!challenge->isEmpty()) {
            cancelSasl(QStringLiteral("The server sent a %1 challenge where the client speaks "
                                      "first")
                           .arg(QString::fromLatin1(sasl_->name())));
            return;
        }
        response = *std::exchange(saslPending_, std::nullopt);
    } else {
        const SaslStep step = sasl_->step(*challenge);
        if (!step.ok()) {
            cancelSasl(step.failure);
            return;
        }
        response = step.response;
    }
    send(encodeResponse(response) + "\r\n", kMasked);
}

void SmtpSession::cancelSasl(const QString &why)
{
    saslCancelled_ = why;
    send(QByteArray(kSaslCancel) + "\r\n");
}

// The login failed: reported like a refused AUTH LOGIN.
void SmtpSession::saslFailed(const QString &text)
{
    accessToken_.clear();
    fail(text, RelayOutcome::Temporary);
    status(QStringLiteral("Host Login Failed!"));
}

// --- Socket events --------------------------------------------------------------------------

void SmtpSession::onConnectEvent()
{
    if (state_ != SmtpState::Connecting)
        return;
    state_ = afterConnect_;
    if (socket_ && !socket_->TlsDescription().isEmpty())
        status(QStringLiteral("TLS established: ") + socket_->TlsDescription());
}

void SmtpSession::onTlsReady()
{
    if (state_ != SmtpState::TlsHandshake || !socket_)
        return;
    startTlsPending_ = false;
    // What the first EHLO said is forgotten: only the one inside TLS counts.
    authAdvertised_ = authParameter_ = false;
    status(QStringLiteral("TLS established: ") + socket_->TlsDescription());
    enter(SmtpState::Hello);
}

void SmtpSession::onCloseEvent()
{
    const SmtpState was = state_;
    if (was == SmtpState::Quit || was == SmtpState::Pop3Quit) {
        state_ = SmtpState::Closed; // the server closes after its goodbye
        return;
    }
    // A close after the server took the message, or with no operation waiting on the
    // session, is no failure.
    if (was == SmtpState::Accepted || was == SmtpState::Closed || aborted_ || operations_ == 0) {
        if (was != SmtpState::Accepted)
            state_ = SmtpState::Closed;
        return;
    }
    const SmtpStateRow &row = smtpStateRow(was);
    fail(row.pop3 ? QStringLiteral("Connection closed by the POP3 Host")
                  : QStringLiteral("Connection closed by the SMTP Host"),
         row.silence);
}

void SmtpSession::onSocketError(const QString &description)
{
    if (state_ == SmtpState::Quit || state_ == SmtpState::Accepted)
        return; // the message is taken, or the session over: the goodbye may fail
    fail(description, smtpStateRow(state_).silence);
}

void SmtpSession::onDataArrival()
{
    if (!socket_)
        return;
    const QByteArray bytes = socket_->GetData();
    if (socketState() != SocketControl::sckConnected)
        return;
    replies_.append(bytes);
    SocketControl *socket = socket_.data();
    while (socket == socket_.data() && socket->State() == SocketControl::sckConnected) {
        const bool pop3 = smtpStateRow(state_).pop3;
        const std::optional<QByteArray> reply = pop3 ? replies_.takeLine() : replies_.takeReply();
        if (!reply) {
            if (replies_.overflowed())
                replyTooLong(pop3);
            return;
        }
        platform::logWire(platform::lcWireSmtp(), platform::WireSide::Server, *reply);
        judge(*reply);
    }
}

// A reply without an end is never judged: its beginning, made harmless, says what it was.
void SmtpSession::replyTooLong(bool pop3)
{
    const QByteArray head = replies_.head(kShownOfLongReply);
    platform::logWire(platform::lcWireSmtp(), platform::WireSide::Server, head);
    replies_.clear();
    const QString text = (pop3 ? QStringLiteral("Reply from the POP3 Host too long (over ")
                               : QStringLiteral("Reply from the SMTP Host too long (over "))
        + QString::number(ReplyCollector::kLimit) + QStringLiteral(" octets): ")
        + platform::escapeLine(platform::fromAnsi(head));
    if (state_ == SmtpState::Quit || state_ == SmtpState::Accepted) {
        if (state_ == SmtpState::Quit)
            state_ = SmtpState::Closed;
        return;
    }
    fail(text, smtpStateRow(state_).silence);
}

void SmtpSession::onSendProgress(qint32 sent, qint32 queued)
{
    Q_UNUSED(queued);
    ++progressReports_;
    bytesSent_ += sent;
    qint32 percentage = 0;
    if (estimatedTotal_ > 0) {
        const float ratio = float(bytesSent_) / float(estimatedTotal_) * 100.0f;
        percentage = static_cast<qint32>(std::min(std::nearbyint(ratio), 100.0f));
    }
    // Only forward: late counts (the QUIT after a success, say) never move it back.
    if (percentage <= lastPercentage_)
        return;
    lastPercentage_ = percentage;
    if (socketState() == SocketControl::sckConnected)
        static_cast<void>(deliver(SessionEvent::progress(percentage)));
}

} // namespace vessamo::mail
