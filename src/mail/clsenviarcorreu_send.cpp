// Composition of a new message: Send checks the properties, reads the body once before any
// traffic (clsenviarcorreu_body.cpp), opens the session, sends the envelope, then writes
// the header block line by line, the body in pieces and each attached file in encoded
// pieces (EncodeAndSendFile reads it in chunks, never whole), and ends the data. An HTML
// body's references to attached files become "cid:" references, which makes the message
// multipart/related.
//
// Every step returns false once the operation is over: a failure reported (by a reply, a
// close, a time-out), a stop, or the object deleted by its owner from one of its events. Each
// step goes on only when the one before returned true, so a failure is reported once,
// nothing is written after it, and nothing touches an object that has gone.
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
    const SmtpSession::Operation session = operation();
    session->begin(0);
    if (!sendChecks())
        return;
    const bool multipart = encodeType_ == 0 && !attachedFiles_.empty();
    // One reading of the clock for the Date header and the boundary: no midnight between.
    const QDateTime now = clock_();
    QString boundary = MessageBoundary(now);
    // The body is read once before any traffic: what it refers to, whether it is 8-bit,
    // whether it holds the boundary.
    BodyFacts facts;
    if (!scanBody(multipart ? boundary : QString(), facts))
        return;
    boundary = facts.boundary;
    const bool related = facts.related;
    session->begin(EstimateSize());
    if (!session->open())
        return;

    QStringList envelope = recipient_ + ccRecipient_;
    for (const QString &address : std::as_const(bccRecipient_))
        envelope << platform::trimBlanks(address);
    const QString to = toLine(recipient_, recipientDisplayName_);
    const QString cc = toLine(ccRecipient_, ccDisplayName_);
    if (!session->startContent(envelope))
        return;

    if (!sendHeaders(now, boundary, multipart, related, to, cc))
        return;
    if (!sendBody(related) || !put(QByteArrayLiteral("\r\n\r\n\r\n")))
        return;
    for (const AttachedFile &file : attachedFiles_) {
        if (!sendAttachment(file, boundary, related) || !session->awaitQueue(kQueueAfterFile))
            return;
    }
    if (multipart
        && !put(platform::toAnsi(QStringLiteral("--") + boundary + QStringLiteral("--")) + kCrLf))
        return;
    if (!session->endContent())
        return;
    static_cast<void>(session->deliver(SessionEvent::sendSuccesful()));
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
    const QString status = (file.embedded ? QStringLiteral("Sending Embedded File, ")
                                          : QStringLiteral("Sending Attachment, "))
        + file.name + QStringLiteral("...");
    if (!session_->deliver(SessionEvent::status(status)) || session_->aborted())
        return false;
    if (encodeType_ != 0) {
        // The name as ISO-8859-1 when that set holds it, else as UTF-8: never with "?".
        const QByteArray name = FitsLatin1(file.name) ? file.name.toLatin1() : file.name.toUtf8();
        if (!put("begin 600 " + name + kCrLf))
            return false;
        return EncodeAndSendFile(file.path, 1) && put(QByteArrayLiteral("end\r\n"));
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
    return EncodeAndSendFile(file.path, 0) && put(kCrLf);
}

// --- Files ----------------------------------------------------------------------------------

bool clsEnviarCorreu::EncodeAndSendFile(const QString &path, qint32 mode)
{
    QString failure;
    bool sent = true;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            failure = file.errorString();
            sent = false;
        } else if (mode == 0) {
            sent = sendBase64(file, failure);
        } else if (mode == 1) {
            sent = sendUU(file, failure);
        }
    } // closed here on every path, before any report
    if (sent)
        return !session_->aborted();
    // Without a failure text the operation is over already (and the object may be gone).
    if (failure.isEmpty())
        return false;
    const qsizetype slash = path.lastIndexOf(u'/');
    AddError(failure == errortext::kSocketNotOpen ? failure
                                                  : QStringLiteral("Cannot read the attached file ")
                     + path.mid(slash + 1) + QStringLiteral(": ") + failure);
    RaiseFailure();
    return false;
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

bool clsEnviarCorreu::sendBase64(QFile &file, QString &failure)
{
    qint64 remaining = file.size();
    while (remaining > 0) {
        QByteArray chunk = readPiece(file, remaining, kBase64Chunk, failure);
        if (!failure.isEmpty())
            return false;
        if (chunk.isEmpty())
            break;
        const QByteArray logged = "<file, " + QByteArray::number(chunk.size()) + " octets>";
        if (!sendFilePiece(Base64Encode(chunk), logged, failure))
            return false;
    }
    return true;
}

bool clsEnviarCorreu::sendUU(QFile &file, QString &failure)
{
    qint64 remaining = file.size();
    QByteArray lines;
    int count = 0;
    while (remaining > 0) {
        const QByteArray piece = readPiece(file, remaining, kUULineBytes, failure);
        if (!failure.isEmpty())
            return false;
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
            return false;
        count = 0;
    }
    return true;
}

bool clsEnviarCorreu::sendFilePiece(const QByteArray &encoded, const QByteArray &logged,
                                    QString &failure)
{
    if (socketState() != platform::SocketControl::sckConnected) {
        failure = errortext::kSocketNotOpen;
        return false;
    }
    const qint64 seen = session_->progressReports();
    // A write that does not reach the server shows in the waits after it.
    static_cast<void>(session_->write(encoded, logged));
    return session_->awaitProgress(seen, kChunkSentSeconds)
        && session_->awaitQueue(kQueueWhileSending);
}

} // namespace vessamo::mail
