// Forwarding of one queued pair: the forward-to text from the pair's forward-to file, the
// sender from the message's own From: header, and up to five relay attempts through the
// configured SMTP server, each with a new mail object on the form's SMTP socket. Only
// failures that may pass are tried again; whatever is not sent or refused for good stays
// queued for the next run.
#include "mail/clsenviarcorreu.h"
#include "mail/mailsetup.h"
#include "platform/eventlog.h"
#include "routing/frmenviarcorreu.h"
#include "routing/remitent.h"

#include <QFile>

namespace vessamo::routing {

namespace {

constexpr int kAttempts = 5;

std::optional<QByteArray> readWhole(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

} // namespace

ForwardOutcome frmEnviarCorreu::ReenviarMissatge(const QString &destinatariPath,
                                                 const QString &missatgePath)
{
    const std::optional<QByteArray> forwardToFile = readWhole(destinatariPath);
    const QString forwardTo = forwardToFile ? firstTextField(*forwardToFile) : QString();
    lastFailure_.clear();
    failedAttempts_ = 0;
    refusalReason_.clear();
    // Read block by block, never whole: memory stays flat in the message's size. The blocks
    // are large, so Qt's own buffer would only add a copy.
    QFile message(missatgePath);
    if (!message.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        refusalReason_ = QStringLiteral("Enviant: no s'ha pogut llegir el missatge");
        return ForwardOutcome::Refused;
    }
    view_.setLabel(QStringLiteral("Reenviant correu a ") + forwardTo);
    // Nowhere to send it: no attempt, the pair goes to the failed archive.
    if (forwardTo.trimmed().isEmpty()) {
        refusalReason_ = QStringLiteral("Enviant: no hi ha cap adreça on reenviar-lo");
        return ForwardOutcome::Refused;
    }
    const std::optional<Remitent> sender = ExtreureRemitent(message);
    if (!sender) {
        refusalReason_ = QStringLiteral("Enviant: el missatge no té remitent (capçalera From:)");
        return ForwardOutcome::Refused;
    }

    for (int i = 0; i < kAttempts; ++i) {
        // A pair being forwarded when the stop comes stays queued; so does every pair once
        // the SMTP login's token could not be had in this run: the attempt that found it
        // out made the run's one entry, and the others could only repeat it.
        if (ctx_.abort.requested() || smtpTokenFailed())
            return ForwardOutcome::Deferred;
        switch (attempt(forwardTo, sender->address, sender->displayName, message)) {
        case mail::RelayOutcome::Sent:
            return ForwardOutcome::Sent;
        case mail::RelayOutcome::Permanent:
            return ForwardOutcome::Refused;
        case mail::RelayOutcome::Ambiguous:
            // The server may hold it already: another attempt now would be a whole
            // duplicate, so the next run decides.
            return ForwardOutcome::Deferred;
        case mail::RelayOutcome::Temporary:
            break;
        }
    }
    return ForwardOutcome::Deferred;
}

mail::RelayOutcome frmEnviarCorreu::attempt(const QString &forwardTo, const QString &senderAddress,
                                            const QString &senderName, QIODevice &message)
{
    poSendMail = std::make_unique<mail::clsEnviarCorreu>(Winsck);
    mail::clsEnviarCorreu *object = poSendMail.get();
    success_ = false;
    connect(object, &mail::clsEnviarCorreu::SendSuccesful, this, [this] {
        view_.setProgress(100);
        success_ = true;
    });
    connect(object, &mail::clsEnviarCorreu::Accepted, this, [this] {
        if (onAccepted_)
            onAccepted_();
    });
    connect(object, &mail::clsEnviarCorreu::SendFailed, this, [this](const QString &explanation) {
        lastFailure_ = QStringLiteral("Enviant: ") + explanation;
        ++failedAttempts_;
        platform::logError(lastFailure_);
        view_.setProgress(0);
    });
    setUp(*object, forwardTo, senderAddress, senderName, message);
    object->Enruta();
    const mail::RelayOutcome outcome = success_ ? mail::RelayOutcome::Sent : object->Outcome();
    // Released after the attempt, never inside one of its own events.
    poSendMail.reset();
    return outcome;
}

void frmEnviarCorreu::setUp(mail::clsEnviarCorreu &object, const QString &forwardTo,
                            const QString &senderAddress, const QString &senderName,
                            QIODevice &message)
{
    connect(&object, &mail::clsEnviarCorreu::Status, this,
            [this](const QString &text) { ctx_.AfegirEstat(text); });
    connect(&object, &mail::clsEnviarCorreu::Progress, this,
            [this](qint32 percent) { view_.setProgress(percent); });

    const config::ConfiguracioRecord &c = record();
    mail::RelaySettings settings;
    settings.server
        = {c.ServidorSMTP, c.smtpPort(), c.smtpAuthentication(), c.UsuariSMTP, c.ContrassenyaSMTP};
    settings.forwardTo = forwardTo;
    settings.senderAddress = senderAddress;
    settings.senderName = senderName;
    settings.messageSource = &message;
    mail::setUpForRelay(object, settings);
    if (c.smtpAuthentication()) {
        const config::LoginSettings &login = ctx_.configuration.smtpLogin;
        object.setLoginMethod(login.method);
        object.setAccessTokenSource(tokens_.accessTokenFor(
            QStringLiteral("Enviant: "), login.tokenAccount, login.tokenCommand));
    }

    // Every wait of the attempt ends on the run's stop request.
    object.SetStopSource(&ctx_.abort);
}

bool frmEnviarCorreu::smtpTokenFailed() const
{
    const config::LoginSettings &login = ctx_.configuration.smtpLogin;
    return record().smtpAuthentication() && tokens_.failed(login.tokenAccount, login.tokenCommand);
}

} // namespace vessamo::routing
