// The SMTP session's operations and waits: opening a session (the POP3 login before it, the
// connection attempts, the greeting and the login), a transaction for a relayed or a composed
// message, the goodbye, and the waits under each state's time-out that drive the state table
// from the mail object's operations. The table's rows are in smtpsession.h; what entering a
// state sends and the judgement of replies are in smtpsession_table.cpp.
#include "mail/smtpsession.h"

#include "mail/clsenviarcorreu.h"
#include "platform/ansi.h"
#include "platform/socketcontrol.h"
#include "platform/stopsource.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "platform/wirelog.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <algorithm>

namespace vessamo::mail {

namespace {

using platform::SocketControl;

// Debug output (QT_LOGGING_RULES="vessamo.mail.smtp.debug=true"): the state a failure
// came in. The dialogue itself is the wire log's (vessamo.wire.smtp).
Q_LOGGING_CATEGORY(lcSmtp, "vessamo.mail.smtp", QtInfoMsg)

// States left only by a reply (or its time-out, a failure or a stop).
bool waitsForReply(SmtpState state)
{
    return smtpStateRow(state).wait != SmtpWait::None;
}

// The fixed waits of the login and the goodbye.
constexpr qint32 kLoginSeconds = 5;
constexpr qint32 kGoodbyeSeconds = 2;

} // namespace

SmtpSession::SmtpSession(clsEnviarCorreu &owner, platform::SocketControl *socket)
    : owner_(owner)
    , socket_(socket)
{
    attachSocket();
}

SmtpSession::~SmtpSession() = default;

void SmtpSession::attachSocket()
{
    SocketControl *socket = socket_.data();
    if (!socket)
        return;
    connect(socket, &SocketControl::ConnectEvent, this, &SmtpSession::onConnectEvent);
    connect(socket, &SocketControl::TlsReady, this, &SmtpSession::onTlsReady);
    connect(socket, &SocketControl::CloseEvent, this, &SmtpSession::onCloseEvent);
    connect(socket, &SocketControl::DataArrival, this, &SmtpSession::onDataArrival);
    connect(socket, &SocketControl::Error, this,
            [this](qint16, const QString &description) { onSocketError(description); });
    connect(socket, &SocketControl::SendProgress, this, &SmtpSession::onSendProgress);
}

qint16 SmtpSession::socketState() const
{
    return socket_ ? socket_->State() : qint16(0);
}

bool SmtpSession::stopRequested() const
{
    return stop_ && stop_->requested();
}

void SmtpSession::status(const QString &text)
{
    if (!quiet_)
        Q_EMIT owner_.Status(text);
}

void SmtpSession::send(const QByteArray &bytes, const QByteArray &logged)
{
    platform::logWire(platform::lcWireSmtp(), platform::WireSide::Client,
                      logged.isNull() ? bytes : logged);
    if (socket_)
        socket_->SendData(bytes);
}

qint32 SmtpSession::timeoutOf(SmtpState state) const
{
    switch (smtpStateRow(state).wait) {
    case SmtpWait::None:
        return 0;
    case SmtpWait::Connect:
        return owner_.ConnectTimeout();
    case SmtpWait::Message:
        return owner_.MessageTimeout();
    case SmtpWait::Login:
        return kLoginSeconds;
    case SmtpWait::Goodbye:
        return kGoodbyeSeconds;
    }
    return 0;
}

void SmtpSession::begin(qint64 estimatedTotal)
{
    estimatedTotal_ = estimatedTotal;
    outcome_ = RelayOutcome::Temporary;
    classified_ = false;
    aborted_ = false;
}

void SmtpSession::classify(RelayOutcome outcome)
{
    if (classified_)
        return;
    outcome_ = outcome;
    classified_ = true;
}

void SmtpSession::abort()
{
    aborted_ = true;
}

void SmtpSession::fail(const QString &text, RelayOutcome outcome)
{
    qCDebug(lcSmtp) << "failure in state" << smtpStateName(state_);
    classify(outcome);
    owner_.AddError(text);
    owner_.RaiseFailure();
}

void SmtpSession::failOnTimeout()
{
    classify(smtpStateRow(state_).silence);
    owner_.TimeoutFailure();
}

void SmtpSession::stopNow()
{
    classify(smtpStateRow(state_).silence);
    aborted_ = true;
    // A goodbye, but no wait for its answer.
    if (socketState() == SocketControl::sckConnected)
        send(QByteArrayLiteral("QUIT\r\n"));
    if (socket_)
        socket_->Close();
    replies_.clear();
    state_ = SmtpState::Closed;
}

// --- Waits ----------------------------------------------------------------------------------

bool SmtpSession::await()
{
    const QPointer<SmtpSession> self(this);
    const SmtpState waiting = state_;
    const qint32 seconds = timeoutOf(waiting);
    if (seconds < 1)
        return false;
    // The goodbye is awaited even after a failure: the failure report says it.
    const bool endsOnAbort = waiting != SmtpState::Quit;
    const QDeadlineTimer deadline(std::chrono::seconds(seconds), Qt::PreciseTimer);
    const auto over = [&] { return !self || state_ != waiting || (endsOnAbort && aborted_); };
    platform::waitUntil(over, deadline, stop_);
    // Once the end of data is out the server may take the message: cut off before its
    // reply, the acceptance would go unrecorded and the next run would send it again. So a
    // stop waits for that reply too, for the stop's grace at most.
    if (!over() && waiting == SmtpState::DataEnd && stopRequested()) {
        const QDeadlineTimer grace(stop_->graceMs(), Qt::PreciseTimer);
        status(QStringLiteral("Stopping: waiting for the reply to the message sent..."));
        if (self)
            platform::waitUntil(over, std::min(deadline, grace));
    }
    return self && state_ != waiting && !(endsOnAbort && aborted_);
}

bool SmtpSession::awaitRest()
{
    const QPointer<SmtpSession> self(this);
    while (waitsForReply(state_) && !aborted_) {
        const SmtpState waiting = state_;
        if (await())
            continue;
        if (!self || aborted_)
            return false;
        if (stopRequested()) {
            stopNow();
            return false;
        }
        if (waiting == SmtpState::Auth) {
            // No report: the login simply did not succeed in time.
            status(QStringLiteral("Host Login Failed!"));
            if (self)
                close(false);
            return false;
        }
        failOnTimeout();
        return false;
    }
    return self && !aborted_;
}

// --- Operations -----------------------------------------------------------------------------

bool SmtpSession::open()
{
    const QPointer<SmtpSession> self(this);
    if (socketState() == SocketControl::sckConnected && state_ == SmtpState::Ready)
        return true;
    if (!socket_)
        return false;
    if (socketState() > 0)
        socket_->Close();
    state_ = SmtpState::Closed;
    if (owner_.smtpHost_.isEmpty()) {
        const QString host = owner_.MXQuery(QString());
        if (!self)
            return false;
        owner_.smtpHost_ = host;
        if (host.isEmpty()) {
            owner_.AddError(errortext::kInvalidSmtpHost);
            return false;
        }
    }
    if (owner_.UsePopAuthentication() && !pop3Login())
        return false;
    if (!self || !socket_)
        return false;

    authAdvertised_ = authParameter_ = false;
    aborted_ = false;
    if (socketState() > 0)
        socket_->Close();
    replies_.clear();
    socket_->SetRemoteHost(owner_.smtpHost_);
    socket_->SetRemotePort(owner_.SMTPPort());
    status(QStringLiteral("Connecting to SMTP Server (") + owner_.smtpHost_
           + QStringLiteral(")..."));
    if (!self || !connectLoop(SmtpState::Greeting))
        return false;
    return awaitRest() && state_ == SmtpState::Ready;
}

// Up to ConnectRetry attempts to connect to the host and port already set; once connected
// the session waits in `greeting`. False when a failure was reported meanwhile or a stop
// came; an attempt that only timed out leaves the next wait to report it.
bool SmtpSession::connectLoop(SmtpState greeting)
{
    const QPointer<SmtpSession> self(this);
    afterConnect_ = greeting;
    state_ = SmtpState::Connecting;
    // The port decides TLS: from the first byte, after STARTTLS, or none.
    const auto port = static_cast<quint16>(socket_ ? socket_->RemotePort() : 0);
    const platform::TlsMode tls
        = platform::tlsModeFor(greeting == SmtpState::Pop3Greeting ? platform::MailProtocol::Pop3
                                                                   : platform::MailProtocol::Smtp,
                               port);
    startTlsPending_ = tls == platform::TlsMode::StartTls;
    for (qint32 attempt = 0; attempt < owner_.ConnectRetry(); ++attempt) {
        if (socketState() == SocketControl::sckConnected) {
            state_ = greeting;
            return true;
        }
        if (socketState() == 0 && socket_) {
            socket_->SetImplicitTls(tls == platform::TlsMode::Implicit,
                                    platform::clientTlsConfiguration());
            socket_->Connect();
        }
        if (await())
            return true;
        if (!self || aborted_)
            return false;
        if (stopRequested()) {
            stopNow();
            return false;
        }
        if (socketState() == SocketControl::sckError && socket_)
            socket_->Close();
    }
    return true;
}

// The POP3 login some servers want before they accept mail. Its outcome in time is not
// awaited beyond ConnectTimeout: only a refusal stops the sending.
bool SmtpSession::pop3Login()
{
    const QPointer<SmtpSession> self(this);
    const QString host = owner_.POP3Host();
    status(QStringLiteral("Connecting to POP3 Server (") + host + QStringLiteral(")..."));
    if (!self)
        return false;
    aborted_ = false;
    if (host.isEmpty()) {
        fail(errortext::kInvalidPop3Host, RelayOutcome::Temporary);
        return false;
    }
    replies_.clear();
    socket_->SetRemoteHost(host);
    socket_->SetRemotePort(owner_.pop3Port_);
    if (!connectLoop(SmtpState::Pop3Greeting))
        return false;
    const QDeadlineTimer deadline(std::chrono::seconds(qMax(owner_.ConnectTimeout(), 0)),
                                  Qt::PreciseTimer);
    platform::waitUntil([&] { return !self || !smtpStateRow(state_).pop3 || aborted_; }, deadline,
                        stop_);
    if (!self)
        return false;
    if (stopRequested()) {
        stopNow();
        return false;
    }
    if (socket_)
        socket_->Close();
    replies_.clear();
    state_ = SmtpState::Closed;
    if (aborted_)
        return false;
    status(QStringLiteral("POP3 Authentication Successful..."));
    return static_cast<bool>(self);
}

bool SmtpSession::relay(const QByteArray &wire)
{
    const QPointer<SmtpSession> self(this);
    // Only the first recipient: a second one would be a copy nobody asked for.
    const QStringList &recipients = owner_.RecipientList();
    envelope_ = recipients.isEmpty() ? QStringList() : QStringList {recipients.first()};
    composing_ = false;
    wire_ = &wire;
    data_.reset();
    enter(SmtpState::MailFrom);
    const bool rested = self && awaitRest();
    if (!self)
        return false;
    wire_ = nullptr;
    if (!rested || state_ != SmtpState::Accepted)
        return false;
    return finish();
}

bool SmtpSession::startContent(const QStringList &recipients)
{
    const QPointer<SmtpSession> self(this);
    envelope_ = recipients;
    composing_ = true;
    wire_ = nullptr;
    data_.reset();
    enter(SmtpState::MailFrom);
    const bool rested = self && awaitRest();
    return self && rested && state_ == SmtpState::Content;
}

bool SmtpSession::write(const QByteArray &bytes, const QByteArray &logged)
{
    if (socketState() != SocketControl::sckConnected)
        return false;
    send(data_.encode(bytes), logged);
    return true;
}

bool SmtpSession::endContent()
{
    const QPointer<SmtpSession> self(this);
    if (state_ != SmtpState::Content || aborted_)
        return false;
    enter(SmtpState::DataEnd);
    const bool rested = self && awaitRest();
    if (!self || !rested || state_ != SmtpState::Accepted)
        return false;
    return finish();
}

bool SmtpSession::finish()
{
    const QPointer<SmtpSession> self(this);
    lastPercentage_ = 100;
    if (!quiet_)
        Q_EMIT owner_.Progress(100);
    if (!self)
        return false;
    status(QStringLiteral("Transmission Complete..."));
    if (!self)
        return false;
    if (keepOpen_)
        state_ = SmtpState::Ready;
    else
        close();
    return static_cast<bool>(self);
}

qint64 SmtpSession::bytesQueued() const
{
    return socket_ ? socket_->BytesQueued() : 0;
}

bool SmtpSession::settled(const QPointer<SmtpSession> &self)
{
    if (!self)
        return false;
    if (stopRequested()) {
        stopNow();
        return false;
    }
    return !aborted_;
}

bool SmtpSession::awaitProgress(qint64 seen, qint32 seconds)
{
    const QPointer<SmtpSession> self(this);
    if (seconds >= 1) {
        const QDeadlineTimer deadline(std::chrono::seconds(seconds), Qt::PreciseTimer);
        platform::waitUntil([&] { return !self || aborted_ || progressReports_ != seen; }, deadline,
                            stop_);
    }
    return settled(self);
}

bool SmtpSession::awaitQueue(qint64 limit)
{
    const QPointer<SmtpSession> self(this);
    qint64 last = bytesQueued();
    while (last > limit && !aborted_) {
        // The time-out counts from the last movement: a slow server that keeps reading
        // is waited for, one that stopped is not.
        const QDeadlineTimer deadline(std::chrono::seconds(qMax(owner_.MessageTimeout(), 0)),
                                      Qt::PreciseTimer);
        platform::waitUntil([&] { return !self || aborted_ || bytesQueued() != last; }, deadline,
                            stop_);
        if (!settled(self))
            return false;
        const qint64 now = bytesQueued();
        if (now == last) {
            failOnTimeout();
            return false;
        }
        last = now;
    }
    return !aborted_;
}

void SmtpSession::close(bool announce)
{
    const QPointer<SmtpSession> self(this);
    if (socketState() != 0 && announce) {
        status(QStringLiteral("Closing Connection..."));
        if (!self)
            return;
    }
    if (socketState() == SocketControl::sckConnected) {
        enter(SmtpState::Quit);
        // After a stop the goodbye is said, but its answer is not awaited.
        if (!stopRequested())
            await();
        if (!self)
            return;
    }
    if (socket_)
        socket_->Close();
    replies_.clear();
    state_ = SmtpState::Closed;
}

} // namespace vessamo::mail
