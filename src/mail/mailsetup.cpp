// The two set-up orders of the mail object. What makes an order safe:
// - SMTPHostValidation 0 comes before SMTPHost: the default mode 3 checks a host by a
//   blocking name look-up (and mode 2 by a ping) as it is assigned, and refuses a name that
//   does not resolve now, which the session would otherwise resolve when it connects.
// - EmailAddressValidation and the Delimiter come before every address and list: a list is
//   split at the delimiter in force, and each address checked in the mode in force, when it
//   is assigned.
// - A relay's ReplyTo is the sender as the object holds it, so it comes after From.
// The rest is in the order each use has always had: the error list keeps the order in which
// its complaints were found, and the owner sees it in that order.
#include "mail/mailsetup.h"

namespace vessamo::mail {

namespace {

// The relay's lists hold one forward-to text; a send's lists are joined by a character that
// no address, name or path it is given holds.
const QString kRelayDelimiter = QStringLiteral(";");
const QString kSendDelimiter = QStringLiteral("\x1f");

void setUpChecksAndHost(clsEnviarCorreu &object, const QString &delimiter, const QString &host)
{
    object.SetSMTPHostValidation(0);
    object.SetEmailAddressValidation(1);
    object.SetDelimiter(delimiter);
    object.SetSMTPHost(host);
}

} // namespace

void setUpForRelay(clsEnviarCorreu &object, const RelaySettings &settings)
{
    const ServerSettings &server = settings.server;
    setUpChecksAndHost(object, kRelayDelimiter, server.host);
    object.SetFrom(settings.senderAddress);
    object.SetFromDisplayName(settings.senderName);
    object.SetRecipient(settings.forwardTo);
    object.SetRecipientDisplayName(QString());
    object.SetCcRecipient(QString());
    object.SetCcDisplayName(QString());
    object.SetBccRecipient(QString());
    object.SetReplyToAddress(object.from());
    object.SetSubject(QString());
    object.SetMessage(settings.message);
    object.SetMessageSource(settings.messageSource);
    object.SetAttachment(QString());
    object.SetAsHTML(false);
    object.SetContentBase(QString());
    object.SetEncodeType(0);
    object.SetPriority(3);
    object.SetReceipt(false);
    object.SetUseAuthentication(server.authenticate);
    object.SetUsePopAuthentication(false);
    object.SetUserName(server.authenticate ? server.user : QString());
    object.SetPassword(server.authenticate ? server.password : QString());
    object.SetPOP3Host(QString());
    object.SetSMTPPort(server.port);
}

void setUpForSend(clsEnviarCorreu &object, const SendSettings &settings)
{
    const ServerSettings &server = settings.server;
    setUpChecksAndHost(object, kSendDelimiter, server.host);
    object.SetSMTPPort(server.port);
    object.SetUseAuthentication(server.authenticate);
    object.SetUserName(server.authenticate ? server.user : QString());
    object.SetPassword(server.authenticate ? server.password : QString());
    object.SetUsePopAuthentication(false);
    object.SetFrom(settings.from);
    object.SetFromDisplayName(settings.fromName);
    object.SetRecipient(settings.to.join(kSendDelimiter));
    object.SetRecipientDisplayName(settings.toNames.join(kSendDelimiter));
    object.SetCcRecipient(settings.cc.join(kSendDelimiter));
    object.SetCcDisplayName(settings.ccNames.join(kSendDelimiter));
    object.SetBccRecipient(settings.bcc.join(kSendDelimiter));
    object.SetReplyToAddress(settings.replyTo);
    object.SetSubject(settings.subject);
    object.SetAsHTML(settings.html);
    object.SetEncodeType(settings.encodeType);
    object.SetPriority(settings.priority);
    object.SetReceipt(settings.receipt);
    object.SetContentBase(QString());
    object.SetMessageSource(settings.body);
    object.SetMessageCharset(settings.charset);
    object.SetAttachment(settings.attachments.join(kSendDelimiter));
}

} // namespace vessamo::mail
