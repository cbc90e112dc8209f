// Composition of a new message: Send checks the properties, reads the body once before any
// traffic (clsenviarcorreu_body.cpp), opens the session, sends the envelope, then writes
// the header block line by line, the body in pieces and each attached file in encoded
// pieces (EncodeAndSendFile reads it in chunks, never whole), and ends the data. An HTML
// body's references to attached files become "cid:" references, which makes the message
// multipart/related.
//
// The owner may delete the object from any event, and every write may find the session
// failed (a reply, a close, a stop): each step checks both before the next, so a failure
// is reported once and nothing is written after it.
#include "mail/clsenviarcorreu.h"
#include "mail/encoders.h"
#include "mail/modcorreu.h"
#include "mail/netutils.h"
#include "platform/ansi.h"
#include "platform/blanks.h"
#include "platform/socketcontrol.h"

namespace vessamo::mail {

namespace {

// 200 lines of 57 bytes: the chunks' encodings join into the lines of one encoding.
constexpr qint64 kBase64Chunk = 11400;
constexpr int kUULinesPerWrite = 50;
constexpr qint32 kChunkSentSeconds = 2;
// After each file the queue must fall to this before the next part; while a file is
// sent it may hold a few chunks, so that a slow server never makes the file pile up in
// memory.
constexpr qint64 kQueueAfterFile = 4096;
constexpr qint64 kQueueWhileSending = 4 * (kBase64Chunk / 57 * 78);

const QByteArray kCrLf = QByteArrayLiteral("\r\n");

QByteArray hex8(qint64 value)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(8, '0');
}

// A character that would end or split the line a file name stands in.
bool unsafeFileName(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() < 32 || c.unicode() == 127)
            return true;
    }
    return false;
}

bool isAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 126)
            return false;
    }
    return true;
}

QString toLine(const QStringList &addresses, const QStringList &names)
{
    QStringList elements;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const QString &name = names.value(i);
        const QString shown = name.isEmpty() ? QuotedString(platform::trimBlanks(addresses[i]))
                                             : EncodeHeaderText(name, true);
        elements << shown + QStringLiteral(" <") + addresses[i] + u'>';
    }
    return elements.join(QStringLiteral(", \r\n\t"));
}

} // namespace

QString MessageDateText(const QDateTime &now)
{
    const QDate day = now.date();
    const QTime time = now.time();
    // Qt counts Monday as 1; the names start on Sunday.
    return clsEnviarCorreu::DayName(day.dayOfWeek() % 7 + 1) + QStringLiteral(", ")
        + QString::number(day.day()) + u' ' + clsEnviarCorreu::MonthName(day.month())
        + QString::asprintf(" %04d %02d:%02d:%02d ", day.year(), time.hour(), time.minute(),
                            time.second())
        + TimeZoneSuffix(-(now.offsetFromUtc() / 60));
}

QString MessageBoundary(const QDateTime &now)
{
    static const QDate serialZero(1899, 12, 30);
    const qint64 days = serialZero.daysTo(now.date());
    const qint64 fraction = qRound64(double(now.time().msecsSinceStartOfDay()) * 1e8 / 86400000.0);
    return QString::fromLatin1("----_=_NextPart_000_" + hex8(days) + '.' + hex8(fraction));
}

// --- Checks ---------------------------------------------------------------------------------

bool clsEnviarCorreu::sendChecks()
{
    if (from_.isEmpty())
        AddError(errortext::kInvalidSender);
    if (asHtml_ && encodeType_ == 1)
        AddError(errortext::kHtmlNeedsMime);
    const qsizetype count = recipient_.size() + ccRecipient_.size() + bccRecipient_.size();
    if (count == 0)
        AddError(errortext::kNoRecipient);
    if (count > kMaxRecipients)
        AddError(errortext::kTooManyRecipients);
    // Values that would end their header line or command: refused, never sent. Nor is an
    // address outside ASCII: it would go out with "?" in it (its owner gives a domain in
    // its IDNA form).
    bool unsafe = BreaksCommandLine(from_) || BreaksCommandLine(replyToAddress_);
    bool nonAscii = !isAscii(from_) || !isAscii(replyToAddress_);
    for (const QStringList *list : {&recipient_, &ccRecipient_, &bccRecipient_}) {
        for (const QString &address : *list) {
            unsafe = unsafe || BreaksCommandLine(address);
            nonAscii = nonAscii || !isAscii(address);
        }
    }
    if (unsafe)
        AddError(errortext::kUnsafeAddress);
    if (nonAscii)
        AddError(errortext::kNonAsciiAddress);
    for (const AttachedFile &file : attachedFiles_) {
        if (unsafeFileName(file.name)) {
            AddError(errortext::kUnsafeFileName);
            break;
        }
    }
    if (!recipient_.isEmpty())
        recipientDisplayName_.resize(recipient_.size());
    if (!ccRecipient_.isEmpty())
        ccDisplayName_.resize(ccRecipient_.size());
    if (errors_.isEmpty())
        return true;
    RaiseFailure();
    return false;
}

// --- Send -----------------------------------------------------------------------------------

void clsEnviarCorreu::Send()
{
    OperationScope scope(*this);
    const QPointer<clsEnviarCorreu> self(this);
    session_->begin(0);
    if (!sendChecks() || !self)
        return;
    const bool multipart = encodeType_ == 0 && !attachedFiles_.empty();
    // One reading of the clock for the Date header and the boundary: no midnight between.
    const QDateTime now = clock_();
    QString boundary = MessageBoundary(now);
    // The body is read once before any traffic: what it refers to, whether it is 8-bit,
    // whether it holds the boundary.
    BodyFacts facts;
    if (!scanBody(multipart ? boundary : QString(), facts) || !self)
        return;
    boundary = facts.boundary;
    const bool related = facts.related;
    session_->begin(EstimateSize());
    if (!session_->open() || !self)
        return;

    QStringList envelope = recipient_ + ccRecipient_;
    for (const QString &address : std::as_const(bccRecipient_))
        envelope << platform::trimBlanks(address);
    const QString to = toLine(recipient_, recipientDisplayName_);
    const QString cc = toLine(ccRecipient_, ccDisplayName_);
    if (!session_->startContent(envelope) || !self)
        return;

    if (!sendHeaders(now, boundary, multipart, related, to, cc) || !self)
        return;
    if (!sendBody(related) || !self || !put(QByteArrayLiteral("\r\n\r\n\r\n")))
        return;
    for (const AttachedFile &file : attachedFiles_) {
        if (!sendAttachment(file, boundary, related) || !self)
            return;
        if (!session_->awaitQueue(kQueueAfterFile) || !self)
            return;
    }
    if (multipart
        && !put(platform::toAnsi(QStringLiteral("--") + boundary + QStringLiteral("--")) + kCrLf))
        return;
    if (!session_->endContent() || !self)
        return;
    Q_EMIT SendSuccesful();
}

bool clsEnviarCorreu::put(const QByteArray &bytes, const QByteArray &logged)
{
    if (session_->aborted())
        return false;
    if (!session_->write(bytes, logged)) {
        AddError(errortext::kSocketNotOpen);
        RaiseFailure();
        return false;
    }
    return true;
}

bool clsEnviarCorreu::sendHeaders(const QDateTime &now, const QString &boundary, bool multipart,
                                  bool related, const QString &to, const QString &cc)
{
    const QString sender = (platform::trimBlanks(fromDisplayName_).isEmpty()
                                ? QuotedString(from_)
                                : EncodeHeaderText(fromDisplayName_, true))
        + QStringLiteral(" <") + from_ + u'>';
    QStringList lines;
    lines << QStringLiteral("From: ") + sender << QStringLiteral("To: ") + to;
    if (!cc.isEmpty())
        lines << QStringLiteral("Cc: ") + cc;
    lines << QStringLiteral("Subject: ") + EncodeHeaderText(subject_, false);
    if (!replyToAddress_.isEmpty())
        lines << QStringLiteral("Reply-to: <") + replyToAddress_ + u'>';
    lines << QStringLiteral("Date: ") + MessageDateText(now);
    if (encodeType_ == 0) {
        lines << QStringLiteral("MIME-Version: 1.0");
        if (priority_ != 3) {
            lines << QStringLiteral("X-Priority: ") + QString::number(priority_);
            lines << QStringLiteral("X-MSMail-Priority: ") + priorityWord_;
        }
        if (receipt_)
            lines << QStringLiteral("Disposition-Notification-To: ") + sender;
        if (multipart) {
            lines << (related ? QStringLiteral("Content-Type: multipart/related;")
                              : QStringLiteral("Content-Type: multipart/mixed;"));
            // The empty line after it ends the message's own header block.
            lines << QStringLiteral("\tboundary=\"") + boundary + QStringLiteral("\"\r\n");
            lines << QStringLiteral("This is a multi-part message in MIME format.\r\n");
            lines << QStringLiteral("--") + boundary;
        }
        lines << (asHtml_ ? QStringLiteral("Content-Type: text/html;")
                          : QStringLiteral("Content-Type: text/plain;"));
        lines << QStringLiteral("\tcharset=\"") + messageCharset_ + u'"';
        lines << QStringLiteral("Content-Transfer-Encoding: ")
                + (eightBit_ ? QStringLiteral("8bit") : QStringLiteral("7bit"));
        if (asHtml_ && !contentBase_.isEmpty())
            lines << QStringLiteral("Content-Base: ") + QuotedString(contentBase_);
    }
    lines << QStringLiteral("\r\n"); // the end of the headers, and one empty line more
    return putLines(lines);
}

bool clsEnviarCorreu::putLines(const QStringList &lines)
{
    for (const QString &line : lines) {
        if (!put(platform::toAnsi(line) + kCrLf))
            return false;
    }
    return true;
}

bool clsEnviarCorreu::sendAttachment(const AttachedFile &file, const QString &boundary,
                                     bool related)
{
    const QPointer<clsEnviarCorreu> self(this);
    Q_EMIT Status((file.embedded ? QStringLiteral("Sending Embedded File, ")
                                 : QStringLiteral("Sending Attachment, "))
                  + file.name + QStringLiteral("..."));
    if (!self || session_->aborted())
        return false;
    if (encodeType_ != 0) {
        // The name as ISO-8859-1 when that set holds it, else as UTF-8: never with "?".
        const QByteArray name = FitsLatin1(file.name) ? file.name.toLatin1() : file.name.toUtf8();
        if (!put("begin 600 " + name + kCrLf))
            return false;
        EncodeAndSendFile(file.path, 1);
        return self && !session_->aborted() && put(QByteArrayLiteral("end\r\n"));
    }
    QStringList lines;
    lines << QStringLiteral("--") + boundary
          << QStringLiteral("Content-Type: ")
            + GetContentType(file.name, QStringLiteral("application/octet-stream")) + u';'
          << u'\t' + MimeParameter(QStringLiteral("name"), file.name)
          << QStringLiteral("Content-Transfer-Encoding: base64")
          << QStringLiteral("Content-Disposition: attachment;")
          << u'\t' + MimeParameter(QStringLiteral("filename"), file.name);
    if (file.embedded && related)
        lines << QStringLiteral("Content-ID: <") + ContentIdFor(file.name) + u'>';
    lines << QString();
    if (!putLines(lines))
        return false;
    EncodeAndSendFile(file.path, 0);
    return self && !session_->aborted() && put(kCrLf);
}

// --- Files ----------------------------------------------------------------------------------

void clsEnviarCorreu::EncodeAndSendFile(const QString &path, qint32 mode)
{
    const QPointer<clsEnviarCorreu> self(this);
    QString failure;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            failure = file.errorString();
        else if (mode == 0)
            failure = sendBase64(file);
        else if (mode == 1)
            failure = sendUU(file);
    } // closed here on every path, before any report
    if (failure.isEmpty() || !self)
        return;
    const qsizetype slash = path.lastIndexOf(u'/');
    AddError(failure == errortext::kSocketNotOpen ? failure
                                                  : QStringLiteral("Cannot read the attached file ")
                     + path.mid(slash + 1) + QStringLiteral(": ") + failure);
    RaiseFailure();
    if (self)
        session_->abort();
}

// Each read takes what is left of the length found at the start, at most one piece. A
// file that grows meanwhile is sent as long as it was; one that shrinks ends at the short
// read, so its encoding still ends well formed.
namespace {

QByteArray readPiece(QFile &file, qint64 &remaining, qint64 piece, QString &failure)
{
    const qint64 asked = qMin(piece, remaining);
    QByteArray bytes = file.read(asked);
    if (bytes.isEmpty() && file.error() != QFileDevice::NoError)
        failure = file.errorString();
    remaining = bytes.size() < asked ? 0 : remaining - bytes.size();
    return bytes;
}

} // namespace

QString clsEnviarCorreu::sendBase64(QFile &file)
{
    qint64 remaining = file.size();
    while (remaining > 0) {
        QString failure;
        QByteArray chunk = readPiece(file, remaining, kBase64Chunk, failure);
        if (!failure.isEmpty())
            return failure;
        if (chunk.isEmpty())
            break;
        const QByteArray logged = "<file, " + QByteArray::number(chunk.size()) + " octets>";
        if (!sendFilePiece(Base64Encode(chunk), logged, failure))
            return failure;
    }
    return {};
}

QString clsEnviarCorreu::sendUU(QFile &file)
{
    qint64 remaining = file.size();
    QByteArray lines;
    int count = 0;
    while (remaining > 0) {
        QString failure;
        const QByteArray piece = readPiece(file, remaining, kUULineBytes, failure);
        if (!failure.isEmpty())
            return failure;
        if (!piece.isEmpty()) {
            lines += UUEncodeLine(piece) + kCrLf;
            ++count;
        }
        // Fifty lines to a write, the last ones when the file ends.
        if (count < kUULinesPerWrite && remaining > 0)
            continue;
        if (lines.isEmpty())
            break;
        const QByteArray logged = "<file, " + QByteArray::number(count) + " lines>";
        if (!sendFilePiece(std::exchange(lines, {}), logged, failure))
            return failure;
        count = 0;
    }
    return {};
}

bool clsEnviarCorreu::sendFilePiece(const QByteArray &encoded, const QByteArray &logged,
                                    QString &failure)
{
    const QPointer<clsEnviarCorreu> self(this);
    if (socketState() != platform::SocketControl::sckConnected) {
        failure = errortext::kSocketNotOpen;
        return false;
    }
    const qint64 seen = session_->progressReports();
    session_->write(encoded, logged);
    // Either wait may end with this object deleted by its owner, or the operation over.
    return session_->awaitProgress(seen, kChunkSentSeconds) && self
        && session_->awaitQueue(kQueueWhileSending) && self;
}

} // namespace vessamo::mail
