// The mail object's side of the SMTP dialogue: the public operations Connect and
// Disconnect, and the failure report that turns the error list into one SendFailed event.
// The dialogue itself is the SmtpSession's (smtpsession.cpp).
//
// The owner may delete the object from any event it receives: the report raises SendFailed
// through the session's delivery and goes on only while the object is there. A failure found
// while another one is being reported belongs to it, so no failure is ever reported twice.
#include "mail/clsenviarcorreu.h"

namespace vessamo::mail {

namespace {

const QString kTimeout
    = QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request");

} // namespace

qint16 clsEnviarCorreu::socketState() const
{
    return sckMail_ ? sckMail_->State() : qint16(0);
}

void clsEnviarCorreu::sessionEvent(const SessionEvent &event)
{
    using Kind = SessionEvent::Kind;
    switch (event.kind) {
    case Kind::Status:
        Q_EMIT Status(event.text);
        break;
    case Kind::Progress:
        Q_EMIT Progress(event.percent);
        break;
    case Kind::Accepted:
        Q_EMIT Accepted();
        break;
    case Kind::SendFailed:
        Q_EMIT SendFailed(event.text);
        break;
    case Kind::SendSuccesful:
        Q_EMIT SendSuccesful();
        break;
    case Kind::HostFound:
        // The session looked up the mail exchanger for a missing SMTPHost.
        smtpHost_ = event.text;
        break;
    }
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
        session_->abort();
        return;
    }
    QString explanation;
    for (const QString &entry : std::as_const(errors_))
        explanation += entry + QStringLiteral("\r\n");
    reportingFailure_ = true;
    if (!session_->deliver(SessionEvent::sendFailed(explanation)))
        return;
    if (socketState() > 0 && !CloseSession())
        return;
    session_->abort();
    errors_.clear();
    reportingFailure_ = false;
}

bool clsEnviarCorreu::CloseSession()
{
    return session_->close(!destroying_);
}

SessionSettings clsEnviarCorreu::sessionSettings() const
{
    SessionSettings settings;
    settings.host = smtpHost_;
    settings.port = smtpPort_;
    settings.useAuthentication = useAuthentication_;
    settings.loginMethod = loginMethod_;
    settings.accessToken = accessTokenSource_;
    settings.saslClientNonce = saslClientNonce_;
    settings.userName = userName_;
    settings.password = password_;
    settings.usePopAuthentication = usePopAuthentication_;
    settings.pop3Host = pop3Host_;
    settings.pop3Port = pop3Port_;
    settings.from = from_;
    settings.connectTimeout = connectTimeout_;
    settings.messageTimeout = messageTimeout_;
    settings.connectRetry = connectRetry_;
    settings.mx = mxOptions_;
    return settings;
}

bool clsEnviarCorreu::Connect()
{
    const SmtpSession::Operation session = operation();
    session->setKeepOpen(true);
    session->begin(EstimateSize());
    return session->open();
}

void clsEnviarCorreu::Disconnect()
{
    const SmtpSession::Operation session = operation();
    session->setKeepOpen(false);
    static_cast<void>(session->close());
}

} // namespace vessamo::mail
