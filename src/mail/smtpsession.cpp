// The SMTP session's life, operations and waits: the operations' hold on the session, the
// one function that raises the mail object's events and the release when the object goes;
// opening a session (the POP3 login before it, the connection attempts, the greeting and the
// login), a transaction for a relayed or a composed message, the goodbye; and the waits under
// each state's time-out that drive the state table from the mail object's operations. The
// table's rows are in smtpsession.h; what entering a state sends and the judgement of
// replies are in smtpsession_table.cpp.
#include "mail/smtpsession.h"

#include "mail/errortext.h"
#include "mail/sasl.h"
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

SmtpSession::SmtpSession(SmtpSessionOwner &owner, platform::SocketControl *socket)
    : owner_(&owner)
    , socket_(socket)
{
    attachSocket();
}

SmtpSession::~SmtpSession() = default;

SmtpSession::Operation::Operation(std::shared_ptr<SmtpSession> session, SessionSettings settings)
    : session_(std::move(session))
{
    session_->settings_ = std::move(settings);
    ++session_->operations_;
}

SmtpSession::Operation::~Operation()
{
    --session_->operations_;
}

template<typename... Args> auto SmtpSession::onSocket(void (SmtpSession::*handler)(Args...))
{
    return [this, handler](Args... args) {
        const std::shared_ptr<SmtpSession> keep = shared_from_this();
        (this->*handler)(args...);
    };
}

void SmtpSession::attachSocket()
{
    SocketControl *socket = socket_.data();
    if (!socket)
        return;
    connect(socket, &SocketControl::ConnectEvent, this, onSocket(&SmtpSession::onConnectEvent));
    connect(socket, &SocketControl::TlsReady, this, onSocket(&SmtpSession::onTlsReady));
    connect(socket, &SocketControl::CloseEvent, this, onSocket(&SmtpSession::onCloseEvent));
    connect(socket, &SocketControl::DataArrival, this, onSocket(&SmtpSession::onDataArrival));
    const auto onError = onSocket(&SmtpSession::onSocketError);
    connect(socket, &SocketControl::Error, this,
            [onError](qint16, const QString &description) { onError(description); });
    connect(socket, &SocketControl::SendProgress, this, onSocket(&SmtpSession::onSendProgress));
}

bool SmtpSession::deliver(const SessionEvent &event)
{
    if (!owner_)
        return false;
    using Kind = SessionEvent::Kind;
    if (quiet_ && (event.kind == Kind::Status || event.kind == Kind::Progress))
        return true;
    // Alive to the end of this function, whoever held the session before.
    const std::shared_ptr<SmtpSession> keep = shared_from_this();
    owner_->sessionEvent(event);
    // The object's destructor has released the session if the handler deleted it.
    return owner_ != nullptr;
}

void SmtpSession::release()
{
    owner_ = nullptr;
    aborted_ = true;
    if (socket_)
        socket_->disconnect(this);
    socket_ = nullptr;
}

void SmtpSession::waitFor(const std::function<bool()> &done, QDeadlineTimer deadline,
                          const platform::StopSource *stop)
{
    platform::waitUntil([&] { return released() || done(); }, deadline, stop);
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
    // A release here ends the operation: the steps after it run on harmlessly.
    static_cast<void>(deliver(SessionEvent::status(text)));
}

void SmtpSession::send(const QByteArray &bytes, const QByteArray &logged)
{
    if (!socket_)
        return;
    platform::logWire(platform::lcWireSmtp(), platform::WireSide::Client,
                      logged.isNull() ? bytes : logged);
    socket_->SendData(bytes);
}

qint32 SmtpSession::timeoutOf(SmtpState state) const
{
    switch (smtpStateRow(state).wait) {
    case SmtpWait::None:
        return 0;
    case SmtpWait::Connect:
        return settings_.connectTimeout;
    case SmtpWait::Message:
        return settings_.messageTimeout;
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
    if (owner_) {
        owner_->sessionError(text);
        owner_->sessionFailure();
    }
}

void SmtpSession::failOnTimeout()
{
    classify(smtpStateRow(state_).silence);
    if (owner_)
        owner_->sessionTimeout();
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
    const SmtpState waiting = state_;
    const qint32 seconds = timeoutOf(waiting);
    if (seconds < 1)
        return false;
    // The goodbye is awaited even after a failure: the failure report says it.
    const bool endsOnAbort = waiting != SmtpState::Quit;
    const QDeadlineTimer deadline(std::chrono::seconds(seconds), Qt::PreciseTimer);
    const auto over = [&] { return state_ != waiting || (endsOnAbort && aborted_); };
    waitFor(over, deadline, stop_);
    // Once the end of data is out the server may take the message: cut off before its
    // reply, the acceptance would go unrecorded and the next run would send it again. So a
    // stop waits for that reply too, for the stop's grace at most.
    if (!over() && waiting == SmtpState::DataEnd && stopRequested()) {
        const QDeadlineTimer grace(stop_->graceMs(), Qt::PreciseTimer);
        status(QStringLiteral("Stopping: waiting for the reply to the message sent..."));
        waitFor(over, std::min(deadline, grace), nullptr);
    }
    return !released() && state_ != waiting && !(endsOnAbort && aborted_);
}

bool SmtpSession::awaitRest()
{
    while (waitsForReply(state_) && !aborted()) {
        const SmtpState waiting = state_;
        if (await())
            continue;
        if (aborted())
            return false;
        if (stopRequested()) {
            stopNow();
            return false;
        }
        if (waiting == SmtpState::Auth) {
            // No report: the login simply did not succeed in time.
            status(QStringLiteral("Host Login Failed!"));
            static_cast<void>(close(false));
            return false;
        }
        failOnTimeout();
        return false;
    }
    return !aborted();
}

// --- Operations -----------------------------------------------------------------------------

bool SmtpSession::open()
{
    if (socketState() == SocketControl::sckConnected && state_ == SmtpState::Ready)
        return true;
    if (!socket_)
        return false;
    if (socketState() > 0)
        socket_->Close();
    state_ = SmtpState::Closed;
    if (settings_.host.isEmpty()) {
        const QString host = dns::MXQuery(
            QString(), [this](const QString &text) { status(text); }, settings_.mx);
        settings_.host = host;
        if (!deliver(SessionEvent::hostFound(host)))
            return false;
        if (host.isEmpty()) {
            if (owner_)
                owner_->sessionError(errortext::kInvalidSmtpHost);
            return false;
        }
    }
    // A token that cannot be had ends the operation before anything reaches a server.
    if (!fetchAccessToken())
        return false;
    if (settings_.usePopAuthentication && !pop3Login())
        return false;

    if (!socket_)
        return false;
    authAdvertised_ = authParameter_ = false;
    aborted_ = released();
    replies_.clear();
    status(QStringLiteral("Connecting to SMTP Server (") + settings_.host + QStringLiteral(")..."));
    if (!connectLoop(settings_.host, settings_.port, SmtpState::Greeting))
        return false;
    return awaitRest() && state_ == SmtpState::Ready;
}

bool SmtpSession::fetchAccessToken()
{
    accessToken_.clear();
    const QString method = settings_.loginMethod.trimmed().toUpper();
    // "auto" with a token source logs in only with a token mechanism.
    const bool needed = settings_.useAuthentication && settings_.accessToken
        && (method == u"AUTO" || method == QLatin1String(sasl::kXOAuth2)
            || method == QLatin1String(sasl::kOAuthBearer));
    if (!needed)
        return true;
    QString error;
    const std::optional<QString> token = settings_.accessToken(error);
    if (released())
        return false;
    if (token && !token->isEmpty()) {
        accessToken_ = *token;
        return true;
    }
    fail(QStringLiteral("No access token for the SMTP login: ")
             + (error.isEmpty() ? QStringLiteral("the token source gave none") : error),
         RelayOutcome::Temporary);
    return false;
}

// Up to ConnectRetry attempts to connect; once connected the session waits in `greeting`.
// False when a failure was reported meanwhile or a stop came; an attempt that only timed
// out leaves the next wait to report it.
bool SmtpSession::connectLoop(const QString &host, qint32 port, SmtpState greeting)
{
    if (!socket_)
        return false;
    if (socketState() > 0)
        socket_->Close();
    socket_->SetRemoteHost(host);
    socket_->SetRemotePort(port);
    afterConnect_ = greeting;
    state_ = SmtpState::Connecting;
    // The port decides TLS: from the first byte, after STARTTLS, or none.
    const platform::TlsMode tls
        = platform::tlsModeFor(greeting == SmtpState::Pop3Greeting ? platform::MailProtocol::Pop3
                                                                   : platform::MailProtocol::Smtp,
                               static_cast<quint16>(socket_->RemotePort()));
    startTlsPending_ = tls == platform::TlsMode::StartTls;
    for (qint32 attempt = 0; attempt < settings_.connectRetry; ++attempt) {
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
        if (aborted())
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
    const QString &host = settings_.pop3Host;
    status(QStringLiteral("Connecting to POP3 Server (") + host + QStringLiteral(")..."));
    aborted_ = released();
    if (host.isEmpty()) {
        fail(errortext::kInvalidPop3Host, RelayOutcome::Temporary);
        return false;
    }
    replies_.clear();
    if (!connectLoop(host, settings_.pop3Port, SmtpState::Pop3Greeting))
        return false;
    const QDeadlineTimer deadline(std::chrono::seconds(qMax(settings_.connectTimeout, 0)),
                                  Qt::PreciseTimer);
    waitFor([&] { return !smtpStateRow(state_).pop3 || aborted_; }, deadline, stop_);
    if (stopRequested() && !released()) {
        stopNow();
        return false;
    }
    if (socket_)
        socket_->Close();
    replies_.clear();
    state_ = SmtpState::Closed;
    if (aborted())
        return false;
    status(QStringLiteral("POP3 Authentication Successful..."));
    return !released();
}

bool SmtpSession::relay(const QByteArray &wire, const QStringList &recipients)
{
    envelope_ = recipients;
    composing_ = false;
    wire_ = wire;
    data_.reset();
    enter(SmtpState::MailFrom);
    const bool rested = awaitRest();
    wire_.clear();
    if (!rested || state_ != SmtpState::Accepted)
        return false;
    return finish();
}

bool SmtpSession::startContent(const QStringList &recipients)
{
    envelope_ = recipients;
    composing_ = true;
    wire_.clear();
    data_.reset();
    enter(SmtpState::MailFrom);
    return awaitRest() && state_ == SmtpState::Content;
}

bool SmtpSession::write(const QByteArray &bytes, const QByteArray &logged)
{
    if (socketState() != SocketControl::sckConnected)
        return false;
    send(data_.encode(bytes), logged);
    return true;
}

bool SmtpSession::endContent(const QByteArray &last)
{
    if (state_ != SmtpState::Content || aborted())
        return false;
    lastPiece_ = data_.encode(last);
    enter(SmtpState::DataEnd);
    if (!awaitRest() || state_ != SmtpState::Accepted)
        return false;
    return finish();
}

bool SmtpSession::finish()
{
    lastPercentage_ = 100;
    if (!deliver(SessionEvent::progress(100)))
        return false;
    status(QStringLiteral("Transmission Complete..."));
    if (keepOpen_)
        state_ = SmtpState::Ready;
    else
        static_cast<void>(close());
    return !released();
}

qint64 SmtpSession::bytesQueued() const
{
    return socket_ ? socket_->BytesQueued() : 0;
}

bool SmtpSession::settled()
{
    if (released())
        return false;
    if (stopRequested()) {
        stopNow();
        return false;
    }
    return !aborted_;
}

bool SmtpSession::awaitProgress(qint64 seen, qint32 seconds)
{
    if (seconds >= 1) {
        const QDeadlineTimer deadline(std::chrono::seconds(seconds), Qt::PreciseTimer);
        waitFor([&] { return aborted_ || progressReports_ != seen; }, deadline, stop_);
    }
    return settled();
}

bool SmtpSession::awaitQueue(qint64 limit)
{
    qint64 last = bytesQueued();
    while (last > limit && !aborted()) {
        // The time-out counts from the last movement: a slow server that keeps reading
        // is waited for, one that stopped is not.
        const QDeadlineTimer deadline(std::chrono::seconds(qMax(settings_.messageTimeout, 0)),
                                      Qt::PreciseTimer);
        waitFor([&] { return aborted_ || bytesQueued() != last; }, deadline, stop_);
        if (!settled())
            return false;
        const qint64 now = bytesQueued();
        if (now == last) {
            failOnTimeout();
            return false;
        }
        last = now;
    }
    return !aborted();
}

bool SmtpSession::close(bool announce)
{
    if (socketState() != 0 && announce)
        status(QStringLiteral("Closing Connection..."));
    if (socketState() == SocketControl::sckConnected) {
        enter(SmtpState::Quit);
        // After a stop the goodbye is said, but its answer is not awaited.
        if (!stopRequested())
            await();
    }
    if (socket_)
        socket_->Close();
    replies_.clear();
    state_ = SmtpState::Closed;
    return !released();
}

} // namespace vessamo::mail
