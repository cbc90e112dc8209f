// The mail object's side of the SMTP dialogue: the public operations Connect and
// Disconnect, and the failure report that turns the error list into one SendFailed event.
// The dialogue itself is the SmtpSession's (smtpsession.cpp).
//
// The owner may delete the object from any event it receives, so every step that emits or
// waits checks a guard before it touches the object again; and a failure found while
// another one is being reported belongs to it, so no failure is ever reported twice.
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
    const QPointer<clsEnviarCorreu> self(this);
    Q_EMIT SendFailed(explanation);
    if (!self)
        return;
    if (socketState() > 0)
        CloseSession();
    if (!self)
        return;
    session_->abort();
    errors_.clear();
    reportingFailure_ = false;
}

void clsEnviarCorreu::CloseSession()
{
    session_->close(!destroying_);
}

bool clsEnviarCorreu::Connect()
{
    OperationScope scope(*this);
    session_->setKeepOpen(true);
    session_->begin(EstimateSize());
    return session_->open();
}

void clsEnviarCorreu::Disconnect()
{
    OperationScope scope(*this);
    session_->setKeepOpen(false);
    session_->close();
}

} // namespace vessamo::mail
