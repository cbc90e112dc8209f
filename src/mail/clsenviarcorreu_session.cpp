// The SMTP session of the mail object: opening (with the optional POP3 login before
// sending), greeting, AUTH LOGIN, the reply handler, waits under time-outs, failure reports
// and QUIT.
//
// Everything runs on one thread. A wait is a nested event loop in which the socket's
// events arrive; a failure found in the reply handler is reported from inside it, and the
// report closes the session, which waits again. Two rules keep this sound: the owner may
// delete the object from any event it receives, so every step that emits or waits checks
// a guard before it touches the object again; and a failure found while another one is
// being reported belongs to it, so no failure is ever reported twice.
#include "mail/clsenviarcorreu.h"
#include "mail/modcorreu.h"
#include "platform/ansi.h"
#include "platform/wait.h"

#include <QCoreApplication>
#include <cmath>

namespace vessamo::mail {

namespace {

const QString kTimeout
    = QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request");

bool containsNoCase(const QByteArray &text, const char *part)
{
    return text.toLower().contains(part);
}

} // namespace

void clsEnviarCorreu::attachSocket()
{
    platform::SocketControl *socket = sckMail_.data();
    if (!socket)
        return;
    connect(socket, &platform::SocketControl::ConnectEvent, this, &clsEnviarCorreu::onConnectEvent);
    connect(socket, &platform::SocketControl::CloseEvent, this, &clsEnviarCorreu::onCloseEvent);
    connect(socket, &platform::SocketControl::DataArrival, this, &clsEnviarCorreu::onDataArrival);
    connect(socket, &platform::SocketControl::Error, this,
            [this](qint16, const QString &description) { onSocketError(description); });
    connect(socket, &platform::SocketControl::SendProgress, this, &clsEnviarCorreu::onSendProgress);
}

qint16 clsEnviarCorreu::socketState() const
{
    return sckMail_ ? sckMail_->State() : qint16(0);
}

void clsEnviarCorreu::send(const QByteArray &bytes)
{
    if (sckMail_)
        sckMail_->SendData(bytes);
}

bool clsEnviarCorreu::WaitForReply(bool SessionFlags::*flag, qint32 seconds, bool raise)
{
    if (seconds < 1)
        return false;
    const QPointer<clsEnviarCorreu> self(this);
    const QDeadlineTimer deadline(std::chrono::seconds(seconds), Qt::PreciseTimer);
    platform::waitUntil([&] { return !self || session_.*flag || session_.abort; }, deadline);
    if (!self)
        return false;
    if (session_.*flag)
        return true;
    if (session_.abort)
        return false;
    if (raise)
        TimeoutFailure();
    return false;
}

void clsEnviarCorreu::TimeoutFailure()
{
    AddError(kTimeout);
    RaiseFailure();
}

void clsEnviarCorreu::RaiseFailure()
{
    if (reportingFailure_ || destroying_) {
        // Part of the failure already being reported (or of a goodbye): not a new one.
        session_.abort = true;
        return;
    }
    QString explanation;
    for (const QString &entry : std::as_const(errors_))
        explanation += entry + QStringLiteral("\r\n");
    reportingFailure_ = true;
    const QPointer<clsEnviarCorreu> self(this);
    Q_EMIT SendFailed(explanation);
    if (!self)
        return;
    if (socketState() > 0)
        CloseSession();
    if (!self)
        return;
    session_.abort = true;
    errors_.clear();
    reportingFailure_ = false;
}

void clsEnviarCorreu::CloseSession()
{
    const QPointer<clsEnviarCorreu> self(this);
    if (socketState() != 0 && !destroying_) {
        Q_EMIT Status(QStringLiteral("Closing Connection..."));
        if (!self)
            return;
    }
    if (socketState() == platform::SocketControl::sckConnected) {
        session_.ready = false;
        closing_ = true;
        send(QByteArrayLiteral("QUIT\r\n"));
        WaitForReply(&SessionFlags::ready, 2, false);
        if (!self)
            return;
        closing_ = false;
    }
    if (sckMail_)
        sckMail_->Close();
    replies_.clear();
    session_.connected = false;
}

bool clsEnviarCorreu::Connect()
{
    OperationScope scope(*this);
    session_.keepOpen = true;
    return OpenSession();
}

void clsEnviarCorreu::Disconnect()
{
    OperationScope scope(*this);
    session_.keepOpen = false;
    CloseSession();
}

bool clsEnviarCorreu::OpenSession()
{
    const QPointer<clsEnviarCorreu> self(this);
    if (socketState() == platform::SocketControl::sckConnected)
        return true;
    if (!sckMail_)
        return false;
    if (socketState() > 0)
        sckMail_->Close();
    if (smtpHost_.isEmpty()) {
        smtpHost_ = MXQuery(QString());
        if (!self)
            return false;
        if (smtpHost_.isEmpty()) {
            AddError(errortext::kInvalidSmtpHost);
            return false;
        }
    }
    if (usePopAuthentication_ && !pop3Login())
        return false;
    if (!self)
        return false;

    session_.ready = session_.dataReady = session_.authAdvertised = false;
    session_.authParameter = session_.authAccepted = false;
    session_.abort = session_.connected = false;
    if (socketState() > 0)
        sckMail_->Close();
    replies_.clear();
    sckMail_->SetRemoteHost(smtpHost_);
    sckMail_->SetRemotePort(smtpPort_);
    Q_EMIT Status(QStringLiteral("Connecting to SMTP Server (") + smtpHost_
                  + QStringLiteral(")..."));
    if (!self)
        return false;
    if (!connectLoop())
        return false;
    const bool greeted = WaitForReply(&SessionFlags::ready, connectTimeout_, false);
    if (!self)
        return false;
    if (greeted && session_.connected)
        return greet();
    // A failure already reported while waiting (a refusal, a drop) is not also a time-out.
    if (!session_.abort)
        TimeoutFailure();
    return false;
}

// Up to ConnectRetry attempts to connect to the host and port already set. False when a
// failure was reported meanwhile (or the owner released the object); the caller checks
// which before it touches the object.
bool clsEnviarCorreu::connectLoop()
{
    const QPointer<clsEnviarCorreu> self(this);
    for (qint32 attempt = 0; attempt < connectRetry_; ++attempt) {
        if (socketState() == platform::SocketControl::sckConnected) {
            session_.connected = true;
            return true;
        }
        if (socketState() == 0 && sckMail_)
            sckMail_->Connect();
        if (WaitForReply(&SessionFlags::connected, connectTimeout_, false))
            return true;
        if (!self || session_.abort)
            return false;
        if (socketState() == platform::SocketControl::sckError)
            sckMail_->Close();
    }
    return true;
}

// EHLO or HELO with the sender's domain, then AUTH LOGIN when asked.
bool clsEnviarCorreu::greet()
{
    const QPointer<clsEnviarCorreu> self(this);
    Q_EMIT Status(QStringLiteral("Initializing Communications..."));
    if (!self)
        return false;
    session_.ready = false;
    const qsizetype at = from_.indexOf(u'@');
    const QString domain = at >= 0 ? from_.mid(at + 1) : from_;
    send((useAuthentication_ ? QByteArrayLiteral("EHLO ") : QByteArrayLiteral("HELO "))
         + platform::toAnsi(domain) + "\r\n");
    if (!WaitForReply(&SessionFlags::ready, connectTimeout_, true))
        return false;
    if (!useAuthentication_)
        return true;

    if (WaitForReply(&SessionFlags::authAdvertised, 5, false)) {
        Q_EMIT Status(QStringLiteral("Sending Login Authentication..."));
        if (!self)
            return false;
        send(QByteArrayLiteral("AUTH Login\r\n"));
        if (!WaitForReply(&SessionFlags::authAccepted, 5, false)) {
            if (self)
                Q_EMIT Status(QStringLiteral("Host Login Failed!"));
            return false;
        }
        Q_EMIT Status(QStringLiteral("Host Login OK!"));
        return self && !session_.abort;
    }
    if (!self)
        return false;
    Q_EMIT Status(QStringLiteral("Login Not Supported by Host, Continuing..."));
    return static_cast<bool>(self);
}

// The POP3 login some servers want before they accept mail; its replies are carried by
// the reply handler.
bool clsEnviarCorreu::pop3Login()
{
    const QPointer<clsEnviarCorreu> self(this);
    Q_EMIT Status(QStringLiteral("Connecting to POP3 Server (") + pop3Host_
                  + QStringLiteral(")..."));
    if (!self)
        return false;
    session_.abort = session_.connected = session_.pop3Done = false;
    session_.pop3Step = 0;
    if (pop3Host_.isEmpty()) {
        AddError(errortext::kInvalidPop3Host);
        RaiseFailure();
        return false;
    }
    replies_.clear();
    pop3Phase_ = true;
    sckMail_->SetRemoteHost(pop3Host_);
    sckMail_->SetRemotePort(pop3Port_);
    if (!connectLoop()) {
        if (self)
            pop3Phase_ = false;
        return false;
    }
    WaitForReply(&SessionFlags::pop3Done, connectTimeout_, false);
    if (!self)
        return false;
    pop3Phase_ = false;
    if (sckMail_)
        sckMail_->Close();
    replies_.clear();
    QCoreApplication::processEvents();
    if (!self || session_.abort)
        return false;
    Q_EMIT Status(QStringLiteral("POP3 Authentication Successful..."));
    return static_cast<bool>(self);
}

void clsEnviarCorreu::onConnectEvent()
{
    session_.connected = true;
}

void clsEnviarCorreu::onCloseEvent()
{
    const bool wasConnected = session_.connected;
    session_.connected = false;
    // A server that drops the connection while an operation waits on it would otherwise
    // leave the wait to its time-out, or (after DATA) let a lost message pass for sent.
    if (!wasConnected || closing_ || operationDepth_ == 0 || session_.abort)
        return;
    if (pop3Phase_ && session_.pop3Step == 3)
        return; // the POP3 server closes after its QUIT reply
    AddError(pop3Phase_ ? QStringLiteral("Connection closed by the POP3 Host")
                        : QStringLiteral("Connection closed by the SMTP Host"));
    RaiseFailure();
}

void clsEnviarCorreu::onSocketError(const QString &description)
{
    AddError(description);
    RaiseFailure();
}

void clsEnviarCorreu::onDataArrival()
{
    if (!sckMail_)
        return;
    const QByteArray bytes = sckMail_->GetData();
    if (socketState() != platform::SocketControl::sckConnected)
        return;
    replies_.append(bytes);
    const QPointer<clsEnviarCorreu> self(this);
    platform::SocketControl *socket = sckMail_.data();
    while (self && socket == sckMail_.data()
           && socket->State() == platform::SocketControl::sckConnected) {
        const std::optional<QByteArray> reply
            = pop3Phase_ ? replies_.takeLine() : replies_.takeReply();
        if (!reply)
            break;
        if (pop3Phase_)
            handlePop3Reply(*reply);
        else
            handleReply(*reply);
    }
}

// One complete SMTP reply, judged by its first three characters.
void clsEnviarCorreu::handleReply(const QByteArray &reply)
{
    const QByteArray code = reply.left(3).toUpper();
    if (code == "220" || code == "221" || code == "251") {
        session_.ready = true;
    } else if (code == "250") {
        session_.ready = true;
        const bool mechanism = containsNoCase(reply, "plain") || containsNoCase(reply, "login");
        if (containsNoCase(reply, "auth") && mechanism)
            session_.authAdvertised = true;
        if (containsNoCase(reply, "auth=") && mechanism)
            session_.authParameter = true;
    } else if (code == "235") {
        session_.authAccepted = true;
    } else if (code == "334") {
        answerChallenge(reply);
    } else if (code == "354") {
        session_.dataReady = true;
    } else if (code == "211" || code == "214") {
        // Help and status texts: nothing to do.
    } else if (code == "+OK") {
        handlePop3Reply(reply);
    } else {
        if (code.startsWith("-ER")) {
            session_.pop3Done = false;
            session_.pop3Step = 0;
            session_.abort = true;
        }
        AddError(platform::fromAnsi(reply));
        RaiseFailure();
    }
}

// One line of the POP3 login: each "+OK" sends the next command.
void clsEnviarCorreu::handlePop3Reply(const QByteArray &reply)
{
    if (reply.left(3).toUpper() != "+OK") {
        handleReply(reply);
        return;
    }
    switch (session_.pop3Step) {
    case 0:
        send("USER " + platform::toAnsi(userName_) + "\r\n");
        session_.pop3Step = 1;
        break;
    case 1:
        send("PASS " + platform::toAnsi(password_) + "\r\n");
        session_.pop3Step = 2;
        break;
    case 2:
        send(QByteArrayLiteral("QUIT\r\n"));
        session_.pop3Step = 3;
        break;
    default:
        session_.pop3Done = true;
        session_.pop3Step = 0;
        break;
    }
}

// AUTH LOGIN: the server's Base64 challenge names the value it wants.
void clsEnviarCorreu::answerChallenge(const QByteArray &reply)
{
    QByteArray challenge = reply.mid(3);
    challenge.replace("\r\n", "");
    challenge = challenge.trimmed();
    const QString decoded = Base64Decode(platform::fromAnsi(challenge)).toLower();
    if (decoded.contains(u"username"))
        send(platform::toAnsi(Base64EncodeText(userName_)));
    else if (decoded.contains(u"password"))
        send(platform::toAnsi(Base64EncodeText(password_)));
    else
        send(QByteArrayLiteral("\r\n*\r\n"));
}

void clsEnviarCorreu::onSendProgress(qint32 sent, qint32 queued)
{
    session_.bytesSent += sent;
    session_.chunkSent = true;
    qint32 percentage = 0;
    if (session_.estimatedTotal > 0) {
        const float ratio = float(session_.bytesSent) / float(session_.estimatedTotal) * 100.0f;
        percentage = static_cast<qint32>(std::min(std::nearbyint(ratio), 100.0f));
    }
    session_.bytesQueued = queued;
    // Only forward: late counts (the QUIT after a success, say) never move it back.
    if (percentage <= session_.lastPercentage)
        return;
    session_.lastPercentage = percentage;
    if (socketState() == platform::SocketControl::sckConnected && !destroying_)
        Q_EMIT Progress(percentage);
}

} // namespace vessamo::mail
