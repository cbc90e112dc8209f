// The SMTP session's state table proper: entering a state sends its command, one function
// judges each reply for the state it answers, and the socket's events (connect, data,
// close, error, progress) move the table. Nothing here waits.
#include "mail/clsenviarcorreu.h"
#include "mail/modcorreu.h"
#include "mail/smtpsession.h"
#include "platform/ansi.h"
#include "platform/eventlog.h"
#include "platform/socketcontrol.h"
#include "platform/wirelog.h"

#include <cmath>

namespace vessamo::mail {

namespace {

using platform::SocketControl;

const QByteArray kMasked = QByteArrayLiteral("********");
constexpr qsizetype kShownOfLongReply = 200;

bool containsNoCase(const QByteArray &text, const char *part)
{
    return text.toLower().contains(part);
}

bool isPop3(SmtpState state)
{
    return state >= SmtpState::Pop3Greeting;
}

bool positive(const QByteArray &code, std::initializer_list<const char *> accepted)
{
    for (const char *one : accepted) {
        if (code == one)
            return true;
    }
    return false;
}

bool inTransaction(SmtpState state)
{
    return state == SmtpState::MailFrom || state == SmtpState::RcptTo || state == SmtpState::Data
        || state == SmtpState::DataEnd;
}

// What a refusal means for the message: only the transaction's own steps can refuse it for
// good; after the end of data a reply that is neither positive nor negative leaves it open
// whether the server kept the message.
RelayOutcome refusalClass(SmtpState state, char first)
{
    if (inTransaction(state) && first == '5')
        return RelayOutcome::Permanent;
    if (state == SmtpState::DataEnd && first != '4')
        return RelayOutcome::Ambiguous;
    return RelayOutcome::Temporary;
}

} // namespace

// Entering a state sends what it waits the answer to.
void SmtpSession::enter(SmtpState next)
{
    const QPointer<SmtpSession> self(this);
    state_ = next;
    switch (next) {
    case SmtpState::Hello: {
        status(QStringLiteral("Initializing Communications..."));
        const QString from = owner_.from();
        const qsizetype at = from.indexOf(u'@');
        const QString domain = at >= 0 ? from.mid(at + 1) : from;
        if (self)
            send((owner_.UseAuthentication() ? QByteArrayLiteral("EHLO ")
                                             : QByteArrayLiteral("HELO "))
                 + platform::toAnsi(domain) + "\r\n");
        break;
    }
    case SmtpState::Auth:
        status(QStringLiteral("Sending Login Authentication..."));
        if (self)
            send(QByteArrayLiteral("AUTH Login\r\n"));
        break;
    case SmtpState::MailFrom: {
        bytesSent_ = 0;
        lastPercentage_ = 0;
        status(QStringLiteral("Sending Sender Information..."));
        QByteArray command = "MAIL FROM: <" + platform::toAnsi(owner_.from()) + ">";
        if (authParameter_)
            command += " AUTH=" + platform::toAnsi(owner_.from());
        if (self)
            send(command + "\r\n");
        break;
    }
    case SmtpState::RcptTo:
        status(QStringLiteral("Sending Recipient Information..."));
        if (!self)
            return;
        if (owner_.RecipientList().isEmpty()) {
            // What indexing an empty list reports.
            fail(QStringLiteral("Subscript out of range"), RelayOutcome::Permanent);
            return;
        }
        send("RCPT TO: <" + platform::toAnsi(owner_.RecipientList().first()) + ">\r\n");
        break;
    case SmtpState::Data:
        status(QStringLiteral("Sending Message..."));
        if (self)
            send(QByteArrayLiteral("DATA\r\n"));
        break;
    case SmtpState::DataEnd: {
        // The message in one write, then the end-of-data line. A message that ends with
        // its line end is followed by the "." line alone; one that does not gets the line
        // end it lacks, so no empty line is added to what the recipient receives.
        const QByteArray &wire = wire_ ? *wire_ : QByteArray();
        send(wire, "<message, " + QByteArray::number(wire.size()) + " octets>");
        send(wire.isEmpty() || wire.endsWith("\r\n") ? QByteArrayLiteral(".\r\n")
                                                     : QByteArrayLiteral("\r\n.\r\n"));
        break;
    }
    case SmtpState::Quit:
    case SmtpState::Pop3Quit:
        send(QByteArrayLiteral("QUIT\r\n"));
        break;
    case SmtpState::Pop3User:
        send("USER " + platform::toAnsi(owner_.UserName()) + "\r\n");
        break;
    case SmtpState::Pop3Pass:
        send("PASS " + platform::toAnsi(owner_.Password()) + "\r\n", "PASS " + kMasked);
        break;
    default:
        break;
    }
}

// One complete reply (a line during the POP3 login), judged for the state it answers.
void SmtpSession::judge(const QByteArray &reply)
{
    const QPointer<SmtpSession> self(this);
    if (isPop3(state_)) {
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
    case SmtpState::Auth:
        if (code == "334") {
            answerChallenge(reply);
            return;
        }
        if (code == "235") {
            state_ = SmtpState::Ready;
            status(QStringLiteral("Host Login OK!"));
            return;
        }
        fail(platform::fromAnsi(reply), RelayOutcome::Temporary);
        if (self)
            status(QStringLiteral("Host Login Failed!"));
        return;
    case SmtpState::MailFrom:
        if ((accepted = positive(code, {"250", "251"})))
            enter(SmtpState::RcptTo);
        break;
    case SmtpState::RcptTo:
        if ((accepted = positive(code, {"250", "251"})))
            enter(SmtpState::Data);
        break;
    case SmtpState::Data:
        if ((accepted = code == "354"))
            enter(SmtpState::DataEnd);
        break;
    case SmtpState::DataEnd:
        if ((accepted = positive(code, {"250", "251"}))) {
            classify(RelayOutcome::Sent);
            state_ = SmtpState::Accepted;
        }
        break;
    case SmtpState::Quit:
        // Whatever the goodbye brings: the session is over.
        state_ = SmtpState::Closed;
        return;
    default:
        // Nothing was asked: only a positive reply passes unremarked.
        accepted = code.startsWith('2');
        break;
    }
    if (!accepted)
        fail(platform::fromAnsi(reply), refusalClass(state_, code.isEmpty() ? '\0' : code[0]));
}

// The EHLO reply says whether the server takes AUTH LOGIN and the AUTH parameter; a reply
// to HELO, or any later reply, says nothing about either.
void SmtpSession::judgeHello(const QByteArray &reply)
{
    if (!owner_.UseAuthentication()) {
        state_ = SmtpState::Ready;
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
    const QString decoded = Base64Decode(platform::fromAnsi(challenge)).toLower();
    if (decoded.contains(u"username"))
        send(platform::toAnsi(Base64EncodeText(owner_.UserName())), kMasked);
    else if (decoded.contains(u"password"))
        send(platform::toAnsi(Base64EncodeText(owner_.Password())), kMasked);
    else
        send(QByteArrayLiteral("\r\n*\r\n"), kMasked);
}

// --- Socket events --------------------------------------------------------------------------

void SmtpSession::onConnectEvent()
{
    if (state_ == SmtpState::Connecting)
        state_ = afterConnect_;
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
    if (was == SmtpState::Accepted || was == SmtpState::Closed || aborted_
        || owner_.operationDepth_ == 0) {
        if (was != SmtpState::Accepted)
            state_ = SmtpState::Closed;
        return;
    }
    fail(isPop3(was) ? QStringLiteral("Connection closed by the POP3 Host")
                     : QStringLiteral("Connection closed by the SMTP Host"),
         was == SmtpState::DataEnd ? RelayOutcome::Ambiguous : RelayOutcome::Temporary);
}

void SmtpSession::onSocketError(const QString &description)
{
    if (state_ == SmtpState::Quit || state_ == SmtpState::Accepted)
        return; // the message is taken, or the session over: the goodbye may fail
    fail(description,
         state_ == SmtpState::DataEnd ? RelayOutcome::Ambiguous : RelayOutcome::Temporary);
}

void SmtpSession::onDataArrival()
{
    if (!socket_)
        return;
    const QByteArray bytes = socket_->GetData();
    if (socketState() != SocketControl::sckConnected)
        return;
    replies_.append(bytes);
    const QPointer<SmtpSession> self(this);
    SocketControl *socket = socket_.data();
    while (self && socket == socket_.data() && socket->State() == SocketControl::sckConnected) {
        const bool pop3 = isPop3(state_);
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
    if (state_ == SmtpState::Quit) {
        state_ = SmtpState::Closed;
        return;
    }
    fail(text, state_ == SmtpState::DataEnd ? RelayOutcome::Ambiguous : RelayOutcome::Temporary);
}

void SmtpSession::onSendProgress(qint32 sent, qint32 queued)
{
    Q_UNUSED(queued);
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
    if (socketState() == SocketControl::sckConnected && !quiet_)
        Q_EMIT owner_.Progress(percentage);
}

} // namespace vessamo::mail
