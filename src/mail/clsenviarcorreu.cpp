// The mail object: creation and destruction, the property assignments with their checks,
// the error list and the operations that stand apart from the SMTP dialogue. Remembered
// settings live in clsenviarcorreu_settings.cpp, the body preparation and the date texts in
// clsenviarcorreu_text.cpp.
#include "mail/clsenviarcorreu.h"

#include "mail/addressvalidation.h"
#include "mail/netutils.h"
#include "platform/blanks.h"
#include "platform/socketcontrol.h"

#include <QFileInfo>
#include <limits>

namespace vessamo::mail {

namespace {

// Host-name check modes of SMTPHostValidation.
constexpr qint32 kHostCheckSyntax = 1;
constexpr qint32 kHostCheckEcho = 2;
constexpr qint32 kHostCheckLookup = 3;

} // namespace

clsEnviarCorreu::clsEnviarCorreu(platform::SocketControl &sckMail, QObject *parent)
    : QObject(parent)
    , sckMail_(&sckMail)
{
    // The defaults are the members' initial values; remembered ones replace them. No
    // network activity takes place here.
    persistentSettings_
        = flagFromText(ReadSetting(settingskey::kPersistentSettings, QStringLiteral("0")), false);
    if (persistentSettings_)
        loadSettings();
    timeZoneSuffix_ = SystemTimeZoneSuffix(QDateTime::currentDateTime());
    session_ = std::make_shared<SmtpSession>(static_cast<SmtpSessionOwner &>(*this), &sckMail);
}

clsEnviarCorreu::~clsEnviarCorreu()
{
    // Whatever the server says while we say goodbye raises no event any more.
    destroying_ = true;
    session_->setQuiet();
    if (socketState() > 0)
        static_cast<void>(CloseSession());
    // An operation in progress may hold the session a while longer: it ends at once.
    session_->release();
}

// --- List properties ---------------------------------------------------------------------

QStringList clsEnviarCorreu::splitList(const QString &text) const
{
    // An empty text is an empty list, whatever the delimiter.
    if (text.isEmpty())
        return {};
    if (delimiter_.isEmpty())
        return {text};
    return text.split(delimiter_, Qt::KeepEmptyParts);
}

QStringList clsEnviarCorreu::CleanList(const QStringList &list)
{
    QStringList out;
    out.reserve(list.size());
    for (QString element : list) {
        // Any CR or LF, not only pairs: these texts end up inside SMTP commands and headers.
        element.remove(u'\r');
        element.remove(u'\n');
        element.remove(u'\t');
        out.append(platform::trimBlanks(element));
    }
    return out;
}

void clsEnviarCorreu::ValidateList(const QString &list, const QString &message)
{
    RemoveError(message);
    if (emailAddressValidation_ != 1)
        return;
    const QStringList elements = splitList(list);
    for (const QString &element : elements) {
        if (!mail::IsValidEmailAddress(element)) {
            AddError(message);
            return;
        }
    }
}

void clsEnviarCorreu::SetBccRecipient(const QString &value)
{
    bccRecipient_ = CleanList(splitList(value));
    ValidateList(value, errortext::kInvalidBcc);
}

void clsEnviarCorreu::SetCcDisplayName(const QString &value)
{
    ccDisplayName_ = CleanList(splitList(value));
}

void clsEnviarCorreu::SetCcRecipient(const QString &value)
{
    ccRecipient_ = CleanList(splitList(value));
    ValidateList(value, errortext::kInvalidCc);
}

void clsEnviarCorreu::SetRecipient(const QString &value)
{
    recipient_ = CleanList(splitList(value));
    ValidateList(value, errortext::kInvalidRecipient);
}

void clsEnviarCorreu::SetRecipientDisplayName(const QString &value)
{
    recipientDisplayName_ = CleanList(splitList(value));
}

void clsEnviarCorreu::SetDelimiter(const QString &value)
{
    // One character: a surrogate pair counts as one.
    if (value.isEmpty())
        delimiter_.clear();
    else if (value.at(0).isHighSurrogate() && value.size() > 1 && value.at(1).isLowSurrogate())
        delimiter_ = value.left(2);
    else
        delimiter_ = value.left(1);
}

// --- Attachments -------------------------------------------------------------------------

QString clsEnviarCorreu::Attachment() const
{
    QStringList paths;
    for (const AttachedFile &file : attachedFiles_)
        paths.append(file.path);
    return joinList(paths);
}

void clsEnviarCorreu::SetAttachment(const QString &value)
{
    const QStringList paths = splitList(value);
    attachmentTotalSize_ = 0;
    attachmentTotalNameLength_ = 0;
    RemoveError(errortext::kMissingAttachment);
    attachedFiles_.clear();
    for (const QString &path : paths)
        attachedFiles_.push_back(AttachedFile {path, QString(), false});
    for (AttachedFile &file : attachedFiles_) {
        const QFileInfo info(file.path);
        if (file.path.isEmpty() || !info.isFile()) {
            AddError(errortext::kMissingAttachment);
            return;
        }
        file.name = file.path.mid(file.path.lastIndexOf(u'/') + 1);
        attachmentTotalSize_ += info.size();
        attachmentTotalNameLength_ += file.name.size();
    }
}

// --- Numbers and plain texts ---------------------------------------------------------------

void clsEnviarCorreu::SetConnectRetry(qint32 value)
{
    if (value < 1 || value > 20)
        return;
    connectRetry_ = value;
    WriteSetting(settingskey::kConnectRetry, numberText(value));
}

void clsEnviarCorreu::SetConnectTimeout(qint32 value)
{
    if (value < 1 || value > 120)
        return;
    connectTimeout_ = value;
    WriteSetting(settingskey::kConnectTimeout, numberText(value));
}

void clsEnviarCorreu::SetContentBase(const QString &value)
{
    if (value.isEmpty()) {
        contentBase_ = value;
        return;
    }
    QString base = value;
    base.replace(u'\\', u'/');
    // A secure scheme counts as a scheme too: prefixing it would give "http://https://".
    if (!base.contains(u"http://", Qt::CaseInsensitive)
        && !base.contains(u"https://", Qt::CaseInsensitive))
        base.prepend(u"http://");
    if (!base.endsWith(u'/'))
        base.append(u'/');
    contentBase_ = base;
}

void clsEnviarCorreu::SetEmailAddressValidation(qint32 value)
{
    emailAddressValidation_ = value;
    WriteSetting(settingskey::kEmailValidation, numberText(value));
}

void clsEnviarCorreu::SetEncodeType(qint32 value)
{
    encodeType_ = value;
    WriteSetting(settingskey::kEncodeType, numberText(value));
}

void clsEnviarCorreu::SetFrom(const QString &value)
{
    from_ = platform::trimBlanks(value);
    WriteSetting(settingskey::kFrom, from_);
    ValidateList(value, errortext::kInvalidSender);
}

void clsEnviarCorreu::SetFromDisplayName(const QString &value)
{
    fromDisplayName_ = platform::trimBlanks(value);
    WriteSetting(settingskey::kFromDisplayName, fromDisplayName_);
}

void clsEnviarCorreu::SetMessage(const QByteArray &value)
{
    message_ = PrepareMessage(value);
    eightBit_ = false;
    for (const char byte : std::as_const(message_)) {
        if (static_cast<unsigned char>(byte) > 126) {
            eightBit_ = true;
            break;
        }
    }
}

void clsEnviarCorreu::SetMessageTimeout(qint32 value)
{
    // The absolute value of the most negative number does not fit: keep the largest one.
    messageTimeout_ = value == std::numeric_limits<qint32>::min()
        ? std::numeric_limits<qint32>::max()
        : (value < 0 ? -value : value);
    WriteSetting(settingskey::kMessageTimeout, numberText(messageTimeout_));
}

void clsEnviarCorreu::SetPersistentSettings(bool value)
{
    persistentSettings_ = value;
    // Written whether or not remembering is now on, so that switching it off sticks.
    storeSetting(settingskey::kPersistentSettings, flagText(value));
}

void clsEnviarCorreu::SetPriority(qint32 value)
{
    priority_ = value;
    if (value == 1)
        priorityWord_ = QStringLiteral("High");
    else if (value == 3)
        priorityWord_ = QStringLiteral("Normal");
    else if (value == 5)
        priorityWord_ = QStringLiteral("Low");
}

void clsEnviarCorreu::SetReplyToAddress(const QString &value)
{
    replyToAddress_ = platform::trimBlanks(value);
}

void clsEnviarCorreu::SetSMTPPort(qint32 value)
{
    if (value < 1 || value > 65535) {
        AddError(errortext::kInvalidRemotePort);
        return;
    }
    smtpPort_ = value;
    WriteSetting(settingskey::kRemotePort, numberText(value));
    RemoveError(errortext::kInvalidRemotePort);
}

void clsEnviarCorreu::SetUseAuthentication(bool value)
{
    useAuthentication_ = value;
    WriteSetting(settingskey::kUseAuthentication, flagText(value));
}

void clsEnviarCorreu::SetUsePopAuthentication(bool value)
{
    usePopAuthentication_ = value;
    WriteSetting(settingskey::kUsePopAuthentication, flagText(value));
}

void clsEnviarCorreu::SetUserName(const QString &value)
{
    userName_ = value;
    WriteSetting(settingskey::kUsername, value);
}

// --- Hosts --------------------------------------------------------------------------------

bool clsEnviarCorreu::assignHost(QString &target, const QString &value, const QString &key,
                                 const QString &message)
{
    QString host = value;
    host.remove(QChar(u'\0'));
    // Blanks around a host name are never part of it, whatever the check.
    host = platform::trimBlanks(host);
    bool accepted = true;
    if (!host.isEmpty()) {
        switch (smtpHostValidation_) {
        case kHostCheckSyntax:
            accepted = IsValidDomain(host);
            break;
        case kHostCheckEcho: {
            QString roundTrip;
            QString dataSize;
            bool dataMatch = false;
            accepted = mail::Ping(host, roundTrip, dataSize, dataMatch);
            break;
        }
        case kHostCheckLookup: {
            QString name = host;
            accepted = !mail::GetIPAddress(name).isEmpty();
            host = name;
            break;
        }
        default:
            break;
        }
    }
    if (!accepted) {
        AddError(message);
        return false;
    }
    WriteSetting(key, host);
    RemoveError(message);
    target = host;
    return true;
}

void clsEnviarCorreu::SetPOP3Host(const QString &value)
{
    assignHost(pop3Host_, value, settingskey::kPop3Host, errortext::kInvalidPop3Host);
}

void clsEnviarCorreu::SetSMTPHost(const QString &value)
{
    assignHost(smtpHost_, value, settingskey::kRemoteHost, errortext::kInvalidSmtpHost);
}

void clsEnviarCorreu::SetSMTPHostValidation(qint32 value)
{
    smtpHostValidation_ = value;
    WriteSetting(settingskey::kSmtpHostValidation, numberText(value));
    // The new mode applies to the host already set (not to the POP3 host).
    if (!smtpHost_.isEmpty())
        SetSMTPHost(smtpHost_);
}

// --- Error list ---------------------------------------------------------------------------

void clsEnviarCorreu::AddError(const QString &text)
{
    if (!errors_.contains(text, Qt::CaseInsensitive))
        errors_.append(text);
}

void clsEnviarCorreu::RemoveError(const QString &text)
{
    errors_.removeIf(
        [&](const QString &entry) { return entry.compare(text, Qt::CaseInsensitive) == 0; });
}

// --- Operations apart from the session ------------------------------------------------------

QString clsEnviarCorreu::GetContentType(const QString &strFile, const QString &strDefault) const
{
    return mail::GetContentType(strFile, strDefault);
}

QString clsEnviarCorreu::GetIPAddress(QString &sHostName) const
{
    return mail::GetIPAddress(sHostName);
}

QString clsEnviarCorreu::GetIPHost() const
{
    return mail::GetIPHost();
}

bool clsEnviarCorreu::IsValidEmailAddress(const QString &AddressString) const
{
    return mail::IsValidEmailAddress(AddressString);
}

QString clsEnviarCorreu::MXQuery(const QString &IPDomain)
{
    // The query may outlive this object when a Status handler deletes it: it holds the
    // session, whose delivery then raises nothing more.
    const std::shared_ptr<SmtpSession> session = session_;
    const dns::StatusReporter status = [session](const QString &text) {
        static_cast<void>(session->deliver(SessionEvent::status(text)));
    };
    const dns::MxQueryOptions options = mxOptions_;
    return dns::MXQuery(IPDomain, status, options);
}

bool clsEnviarCorreu::Ping(QString &Address, QString &RoundTripTime, QString &DataSize,
                           bool &DataMatch) const
{
    return mail::Ping(Address, RoundTripTime, DataSize, DataMatch);
}

} // namespace vessamo::mail
