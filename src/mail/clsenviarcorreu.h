// The mail object clsEnviarCorreu: one outgoing message (sender, recipients, subject, body,
// attachments) and the settings of the SMTP server it talks to. Every value is checked as it
// is assigned; problems go to an error list that the owner receives, all at once, through
// SendFailed. Values that have a settings key can be remembered per user (QSettings INI,
// "Postiera", group "Settings") and are read back when an object is created.
//
// The object borrows its SMTP socket control (sckMail) from its owner, which keeps it alive
// for the object's whole life. The SMTP dialogue itself (Connect, Disconnect, Enruta, Send)
// is carried by the object's SmtpSession (mail/smtpsession.h): each of these operations hands
// it the settings it uses (SessionSettings) and keeps it alive to the operation's end, and
// every event reaches the owner through the session's one delivery function. The owner may
// delete the object from any event: every step that can raise one returns false once the
// object has gone, and the operation then ends without touching the object again.
#pragma once

#include "dns/mxquery.h"
#include "mail/datasection.h"
#include "mail/errortext.h"
#include "mail/smtpsession.h"
#include "platform/socketcontrol.h"
#include "platform/stopsource.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace vessamo::mail {

// Keys under which remembered values are stored.
namespace settingskey {
inline const QString kConnectRetry = QStringLiteral("ConnectRetry");
inline const QString kConnectTimeout = QStringLiteral("ConnectTimeout");
inline const QString kEmailValidation = QStringLiteral("EmailValidation");
inline const QString kEncodeType = QStringLiteral("EncodeType");
inline const QString kFrom = QStringLiteral("From");
inline const QString kFromDisplayName = QStringLiteral("FromDisplayName");
inline const QString kMessageTimeout = QStringLiteral("MessageTimeout");
inline const QString kPersistentSettings = QStringLiteral("PersistentSettings");
inline const QString kPop3Host = QStringLiteral("Pop3Host");
inline const QString kRemoteHost = QStringLiteral("RemoteHost");
inline const QString kSmtpHostValidation = QStringLiteral("SMTPHostValidation");
inline const QString kRemotePort = QStringLiteral("RemotePort");
inline const QString kUseAuthentication = QStringLiteral("UseAuthentication");
inline const QString kUsePopAuthentication = QStringLiteral("UsePopAuthentication");
inline const QString kUsername = QStringLiteral("Username");
} // namespace settingskey

// The most recipients (To, Cc and Bcc together) one message may have.
inline constexpr qsizetype kMaxRecipients = 100;

// Folds lines longer than 998 octets at the last blank within the limit (else after 998
// octets). Line ends are kept as they are: LF (with or without CR) when the text has one,
// else bare CR; a text without either is one line. Dots are stuffed where the data section
// is written (DataSection), for every byte that goes there.
QByteArray PrepareBody(const QByteArray &text);
// The same for a whole stored message, except in its header section (the lines before the
// first empty one): there a long line is folded before its last blank within the limit, so
// that the next piece begins with white space and stays part of its header; a line with no
// blank there is cut after the limit and the next piece gets a blank in front.
QByteArray PrepareMessage(const QByteArray &text);
// A CR, LF, NUL or angle bracket would let an address break out of its command or header;
// no other control character belongs in one either.
bool BreaksCommandLine(const QString &address);

// The Date header's zone text (+0100, -0500, +0530) for a bias in minutes, where local time
// plus the bias gives UTC.
QString TimeZoneSuffix(qint32 biasMinutes);
// The same for the system time zone's offset from UTC at the moment `at`.
QString SystemTimeZoneSuffix(const QDateTime &at);
// The Date header's value for the moment `now`, in its own zone: "Sat, 5 Dec 2026 06:25:22
// +0100".
QString MessageDateText(const QDateTime &now);
// The multipart boundary for the moment `now`: the serial day number (days since
// 30 December 1899) and the time as a fraction of the day times 10^8, both in hexadecimal.
QString MessageBoundary(const QDateTime &now);

class clsEnviarCorreu : public QObject, private SmtpSessionOwner
{
    Q_OBJECT
public:
    // A file of the attachment table; `embedded` is set when an HTML body refers to it.
    struct AttachedFile
    {
        QString path;
        QString name;
        bool embedded = false;
    };

    // `sckMail` is owned by the caller and must outlive this object.
    explicit clsEnviarCorreu(platform::SocketControl &sckMail, QObject *parent = nullptr);
    ~clsEnviarCorreu() override;
    Q_DISABLE_COPY_MOVE(clsEnviarCorreu)

    // The thirty properties. List properties split an assigned text at the Delimiter and
    // join their elements with it when read.
    bool AsHTML() const { return asHtml_; }
    void SetAsHTML(bool value) { asHtml_ = value; }
    QString Attachment() const;
    void SetAttachment(const QString &value);
    QString BccRecipient() const { return joinList(bccRecipient_); }
    void SetBccRecipient(const QString &value);
    QString CcDisplayName() const { return joinList(ccDisplayName_); }
    void SetCcDisplayName(const QString &value);
    QString CcRecipient() const { return joinList(ccRecipient_); }
    void SetCcRecipient(const QString &value);
    qint32 ConnectRetry() const { return connectRetry_; }
    void SetConnectRetry(qint32 value);
    qint32 ConnectTimeout() const { return connectTimeout_; }
    void SetConnectTimeout(qint32 value);
    QString ContentBase() const { return contentBase_; }
    void SetContentBase(const QString &value);
    QString Delimiter() const { return delimiter_; }
    void SetDelimiter(const QString &value);
    qint32 EmailAddressValidation() const { return emailAddressValidation_; }
    void SetEmailAddressValidation(qint32 value);
    qint32 EncodeType() const { return encodeType_; }
    void SetEncodeType(qint32 value);
    QString from() const { return from_; }
    void SetFrom(const QString &value);
    QString FromDisplayName() const { return fromDisplayName_; }
    void SetFromDisplayName(const QString &value);
    // The stored message as prepared for SMTP (PrepareMessage); bytes pass unchanged apart
    // from stuffing and folding.
    QByteArray Message() const { return message_; }
    void SetMessage(const QByteArray &value);
    // Send reads the body, and Enruta the stored message, from `device` in pieces instead of
    // the Message (null: the Message again), so that memory stays flat in its size. It must
    // be open (or openable for reading), seekable (it is read more than once) and outlive
    // the operation; not owned.
    void SetMessageSource(QIODevice *device);
    // The character set the body part names ("iso-8859-1" unless set); the body's bytes
    // must be in it, and an HTML body's references to file names are found in it.
    QString MessageCharset() const { return messageCharset_; }
    void SetMessageCharset(const QString &value) { messageCharset_ = value; }
    qint32 MessageTimeout() const { return messageTimeout_; }
    void SetMessageTimeout(qint32 value);
    QString Password() const { return password_; }
    void SetPassword(const QString &value) { password_ = value; }
    bool PersistentSettings() const { return persistentSettings_; }
    void SetPersistentSettings(bool value);
    qint32 Priority() const { return priority_; }
    void SetPriority(qint32 value);
    bool Receipt() const { return receipt_; }
    void SetReceipt(bool value) { receipt_ = value; }
    QString Recipient() const { return joinList(recipient_); }
    void SetRecipient(const QString &value);
    QString RecipientDisplayName() const { return joinList(recipientDisplayName_); }
    void SetRecipientDisplayName(const QString &value);
    QString ReplyToAddress() const { return replyToAddress_; }
    void SetReplyToAddress(const QString &value);
    QString POP3Host() const { return pop3Host_; }
    void SetPOP3Host(const QString &value);
    QString SMTPHost() const { return smtpHost_; }
    void SetSMTPHost(const QString &value);
    qint32 SMTPHostValidation() const { return smtpHostValidation_; }
    void SetSMTPHostValidation(qint32 value);
    qint32 SMTPPort() const { return smtpPort_; }
    void SetSMTPPort(qint32 value);
    QString Subject() const { return subject_; }
    void SetSubject(const QString &value) { subject_ = value; }
    bool UseAuthentication() const { return useAuthentication_; }
    void SetUseAuthentication(bool value);
    bool UsePopAuthentication() const { return usePopAuthentication_; }
    void SetUsePopAuthentication(bool value);
    QString UserName() const { return userName_; }
    void SetUserName(const QString &value);

    // Public operations that stand apart from the SMTP dialogue.
    QString GetContentType(const QString &strFile, const QString &strDefault = QString()) const;
    QString GetIPAddress(QString &sHostName) const;
    QString GetIPHost() const;
    bool IsValidEmailAddress(const QString &AddressString) const;
    // The mail exchanger of the domain (the default domain when empty), or empty. Reports
    // its steps and failures through Status.
    QString MXQuery(const QString &IPDomain = QString());
    bool Ping(QString &Address, QString &RoundTripTime, QString &DataSize, bool &DataMatch) const;
    void Shutdown() { }

    // The SMTP dialogue. Connect opens a session and keeps it open across Enruta calls
    // until Disconnect. Enruta relays the stored Message to the first Recipient; its
    // outcome arrives only through the events.
    bool Connect();
    void Disconnect();
    void Enruta();
    // Composes a new message from the properties (plain, HTML, multipart with attached
    // files, or UU-encoded files) and sends it to every recipient in one transaction; the
    // outcome arrives only through the events.
    void Send();
    // Rewrites the HTML body's attribute values that name an attached file (the whole value
    // or its last path segment) into "cid:" references and marks those files embedded. True
    // when one was rewritten.
    bool LinkEmbeddedFiles();
    // Where Send reads the time of a message (the Date header and the boundary).
    void SetClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    // What the last Connect or Enruta tells about the message (a stop counts as temporary,
    // or as ambiguous once the end of data was out).
    RelayOutcome Outcome() const { return session_->outcome(); }
    // Every wait of the dialogue also ends on this stop source; a stop ends the operation
    // at once, without a report. Not owned; null for none.
    void SetStopSource(const platform::StopSource *stop) { session_->setStopSource(stop); }
    // Expected byte count of a transaction, for the progress percentage.
    qint32 EstimateSize() const;

    // The POP3 login before sending goes to port 110; tests point it at a fake server.
    void SetPOP3Port(qint32 port) { pop3Port_ = port; }

    // Where MXQuery finds its name servers; the process-wide table unless replaced.
    void SetMxQueryOptions(const dns::MxQueryOptions &options) { mxOptions_ = options; }

    // How the SMTP login goes when UseAuthentication is on (not remembered): empty for
    // AUTH LOGIN, as always; "auto" for the strongest mechanism the server offers (PLAIN and
    // LOGIN only inside TLS); or a SASL mechanism's name (PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1,
    // SCRAM-SHA-256, XOAUTH2, OAUTHBEARER), which the server must offer.
    void setLoginMethod(const QString &method) { loginMethod_ = method; }
    QString loginMethod() const { return loginMethod_; }
    // Where XOAUTH2 and OAUTHBEARER get an access token, asked at each login; with one set,
    // "auto" logs in with a token. Empty: none.
    void setAccessTokenSource(AccessTokenSource source) { accessTokenSource_ = std::move(source); }
    // SCRAM's client nonce; empty (the default) draws a random one at each login. For tests.
    void setSaslClientNonce(const QByteArray &nonce) { saslClientNonce_ = nonce; }

    // Read-only views of the internal state, for the session, composition and tests.
    const QStringList &ErrorList() const { return errors_; }
    const QStringList &RecipientList() const { return recipient_; }
    const QStringList &RecipientDisplayNameList() const { return recipientDisplayName_; }
    const QStringList &CcRecipientList() const { return ccRecipient_; }
    const QStringList &CcDisplayNameList() const { return ccDisplayName_; }
    const QStringList &BccRecipientList() const { return bccRecipient_; }
    // Number of paths given to the last Attachment assignment (missing files included).
    qint32 AttachmentCount() const { return qint32(attachedFiles_.size()); }
    const std::vector<AttachedFile> &AttachedFiles() const { return attachedFiles_; }
    qint64 AttachmentTotalSize() const { return attachmentTotalSize_; }
    qint64 AttachmentTotalNameLength() const { return attachmentTotalNameLength_; }
    // True when the Message holds a byte above 126 (8-bit transfer encoding needed); Send
    // sets it again from the body it reads.
    bool EightBit() const { return eightBit_; }
    // "High", "Normal" or "Low"; empty until Priority is given 1, 3 or 5.
    QString PriorityWord() const { return priorityWord_; }
    QString TimeZoneText() const { return timeZoneSuffix_; }
    // Index 1 to 7 = "Sun" to "Sat", 1 to 12 = "Jan" to "Dec"; empty outside.
    static QString DayName(int index);
    static QString MonthName(int index);
    platform::SocketControl *sckMail() const { return sckMail_.data(); }

Q_SIGNALS:
    void SendSuccesful();
    // Every entry of the error list, each followed by CR LF.
    void SendFailed(const QString &Explanation);
    void Status(const QString &Status);
    void Progress(qint32 PercentComplete);
    // The server has taken responsibility for the message (its reply to the end of data),
    // raised at once, before QUIT and SendSuccesful. Its handler must not wait.
    void Accepted();

protected:
    // Error list: each text at most once, compared without regard to case.
    void AddError(const QString &text);
    void RemoveError(const QString &text);
    // Trims every element of blanks and removes CR, LF and TAB characters from it.
    static QStringList CleanList(const QStringList &list);
    // Removes `message`, then (when EmailAddressValidation is 1) checks every element of
    // `list` split at the Delimiter and adds `message` at the first invalid one.
    void ValidateList(const QString &list, const QString &message);
    // Raises SendFailed with the whole error list, closes an open session, sets abort and
    // empties the list. It ends the operation: a handler may have deleted the object.
    void RaiseFailure();
    // Says goodbye (QUIT) when connected, then closes the socket. False when the object
    // went meanwhile.
    [[nodiscard]] bool CloseSession();
    // Reports "Timeout occurred: The SMTP Host did not respond to the request".
    void TimeoutFailure();
    // Reads the file in pieces, never whole, encodes each (0 Base64, 1 UU) and writes it.
    // A file that cannot be read is reported and ends the operation (abort). True when the
    // whole file went out and the operation goes on.
    [[nodiscard]] bool EncodeAndSendFile(const QString &path, qint32 mode);

    QString ReadSetting(const QString &key, const QString &defaultValue) const;
    void WriteSetting(const QString &key, const QString &value) const;

    QStringList splitList(const QString &text) const;
    QString joinList(const QStringList &list) const { return list.join(delimiter_); }

    QStringList recipient_;
    QStringList recipientDisplayName_;
    QStringList ccRecipient_;
    QStringList ccDisplayName_;
    QStringList bccRecipient_;
    std::vector<AttachedFile> attachedFiles_;

private:
    // What the session reports back (SmtpSessionOwner).
    void sessionEvent(const SessionEvent &event) override;
    void sessionError(const QString &text) override { AddError(text); }
    void sessionFailure() override { RaiseFailure(); }
    void sessionTimeout() override { TimeoutFailure(); }

    // What the session reads of this object, for an operation that begins now.
    SessionSettings sessionSettings() const;
    // An operation begins: the session is held to its end and given the settings.
    SmtpSession::Operation operation() { return {session_, sessionSettings()}; }

    // The socket state, 0 when the socket is gone.
    qint16 socketState() const;
    // Refuses a sender or recipient that could break out of its command line.
    [[nodiscard]] bool addressesSafe();
    // Send's checks, in order; false when they reported (nothing was sent).
    [[nodiscard]] bool sendChecks();
    // What the pass over the body before any traffic found.
    struct BodyFacts
    {
        QString boundary; // the one the body does not hold
        bool related = false; // it refers to an attached file
    };
    // The pass before any traffic (sets EightBit and the embedded files); false when the
    // body could not be read, which is reported.
    [[nodiscard]] bool scanBody(const QString &boundary, BodyFacts &facts);
    // The body, piece by piece; false when the operation has ended.
    [[nodiscard]] bool sendBody(bool related);
    // Enruta's transaction with the stored message read from the message source block by
    // block, each written once the socket's queue has drained below a bound; false when the
    // operation has ended (a read failure is reported, and no end of data is sent).
    [[nodiscard]] bool relaySource(const QStringList &envelope);
    // The body from its start through the HTML rewriting (when `links`) and the folding,
    // each piece handed to `sink`; false when it could not be read (`failure` says why) or
    // the sink returned false.
    bool forEachBodyPiece(HtmlLinks *links, const std::function<bool(const QByteArray &)> &sink,
                          QString &failure);
    QList<HtmlLinks::Target> linkTargets() const;
    // A text in the body's character set.
    QByteArray bodyText(const QString &text) const;
    qint64 messageSize() const;
    // The header block, line by line; false when the operation ended meanwhile.
    [[nodiscard]] bool sendHeaders(const QDateTime &now, const QString &boundary, bool multipart,
                                   bool related, const QString &to, const QString &cc);
    [[nodiscard]] bool sendAttachment(const AttachedFile &file, const QString &boundary,
                                      bool related);
    // One piece of content; false when the operation has ended.
    [[nodiscard]] bool put(const QByteArray &bytes, const QByteArray &logged = QByteArray());
    [[nodiscard]] bool putLines(const QStringList &lines);
    // The file sender's loops: true when the whole file went out. False ends the file:
    // `failure` then holds a text still to report, if any.
    [[nodiscard]] bool sendBase64(QFile &file, QString &failure);
    [[nodiscard]] bool sendUU(QFile &file, QString &failure);
    // One encoded piece of a file, then the waits that keep the socket's queue short. False
    // ends the file: `failure` holds a text still to report, if any.
    [[nodiscard]] bool sendFilePiece(const QByteArray &encoded, const QByteArray &logged,
                                     QString &failure);

    // Texts of remembered values: numbers in decimal with a blank before a non-negative one,
    // flags as "-1" or "0".
    static QString numberText(qint32 value);
    static QString flagText(bool value);
    // Reading back: leading and trailing blanks ignored; a text that is no 32-bit number
    // (or, for flags, neither "True", "False" nor a number) gives the fallback.
    static qint32 numberFromText(const QString &text, qint32 fallback);
    static bool flagFromText(const QString &text, bool fallback);
    // Writes into the store whether or not remembering is on.
    static void storeSetting(const QString &key, const QString &value);
    void loadSettings();
    // Host assignment shared by SMTPHost and POP3Host; false when the value was refused.
    bool assignHost(QString &target, const QString &value, const QString &key,
                    const QString &message);

    QPointer<platform::SocketControl> sckMail_;
    // Shared with the operations in progress, which hold it to their end.
    std::shared_ptr<SmtpSession> session_;
    // A failure is being reported: failures found meanwhile belong to it.
    bool reportingFailure_ = false;
    bool destroying_ = false;
    qint32 pop3Port_ = 110;
    QStringList errors_;
    dns::MxQueryOptions mxOptions_;
    QString loginMethod_;
    AccessTokenSource accessTokenSource_;
    QByteArray saslClientNonce_;
    std::function<QDateTime()> clock_ = [] { return QDateTime::currentDateTime(); };

    bool asHtml_ = false;
    qint32 connectRetry_ = 4;
    qint32 connectTimeout_ = 30;
    QString contentBase_;
    QString delimiter_ = QStringLiteral(";");
    qint32 emailAddressValidation_ = 1;
    qint32 encodeType_ = 0;
    QString from_;
    QString fromDisplayName_;
    QByteArray message_;
    QPointer<QIODevice> messageSource_;
    QString messageCharset_ = QStringLiteral("iso-8859-1");
    qint32 messageTimeout_ = 60;
    QString password_;
    bool persistentSettings_ = false;
    qint32 priority_ = 3;
    bool receipt_ = false;
    QString replyToAddress_;
    QString pop3Host_;
    QString smtpHost_;
    qint32 smtpHostValidation_ = 3;
    qint32 smtpPort_ = 25;
    QString subject_;
    bool useAuthentication_ = false;
    bool usePopAuthentication_ = false;
    QString userName_;

    qint64 attachmentTotalSize_ = 0;
    qint64 attachmentTotalNameLength_ = 0;
    bool eightBit_ = false;
    QString priorityWord_;
    QString timeZoneSuffix_;
};

} // namespace vessamo::mail
