// Texts the mail object prepares for the wire: the message body made fit for the DATA phase
// (folding of long lines, RFC 5321 section 4.5.3.1.6), the Date header's zone text and the
// day and month names. Pure functions over their inputs; the dot-stuffing of the data
// section lives in one place for everything written there (datasection.cpp).
#include "mail/clsenviarcorreu.h"
#include "mail/datasection.h"

#include <QTimeZone>
#include <array>

namespace vessamo::mail {

namespace {

// Longest line content that SMTP allows (1000 octets with CR LF).
constexpr qsizetype kMaxLine = 998;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Where a header line is cut: before the last blank within the piece, so that the next
// piece begins with white space and continues the header (RFC 5322 section 2.2.3). The
// piece's own first octet does not count (a continuation begins with its blank); without a
// blank the cut falls after `room` octets, and a blank is put in front of the next piece.
qsizetype headerCut(QByteArrayView line, qsizetype pos, qsizetype room)
{
    for (qsizetype i = pos + room; i > pos; --i) {
        if (isBlank(line.at(i)))
            return i;
    }
    return pos + room;
}

} // namespace

qsizetype BodyCut(QByteArrayView line, qsizetype pos, qsizetype room)
{
    for (qsizetype i = pos + room - 1; i >= pos; --i) {
        if (line.at(i) == ' ')
            return i + 1;
    }
    return pos + room;
}

namespace {

// Appends one line (its content without line end), folded. Dots are stuffed later, where
// the data section is written (DataSection), so the limit counts the line's own octets:
// the dot added for transparency does not count (RFC 5321 section 4.5.3.1.6).
void appendLine(QByteArray &out, QByteArrayView line, QByteArrayView foldSeparator, bool header)
{
    qsizetype pos = 0;
    qsizetype lead = 0; // a blank put in front of this piece
    const qsizetype n = line.size();
    while (lead + n - pos > kMaxLine) {
        const qsizetype room = kMaxLine - lead;
        const qsizetype cut = header ? headerCut(line, pos, room) : BodyCut(line, pos, room);
        out.append(line.sliced(pos, cut - pos));
        out.append(foldSeparator);
        // A header cut where there is no blank: the next piece would be a line that
        // neither starts a field nor continues one, and many readers end the header
        // section there. A blank in front makes it a continuation, as Postfix does.
        lead = header && !isBlank(line.at(cut)) ? 1 : 0;
        if (lead)
            out.append(' ');
        pos = cut;
    }
    out.append(line.sliced(pos));
}

} // namespace

namespace {

// True when some line is longer than SMTP allows. Most messages have none, and then the
// text goes out as it is, shared rather than copied: a large message is held once.
bool hasLongLine(QByteArrayView text)
{
    qsizetype run = 0;
    for (const char c : text) {
        run = c == '\r' || c == '\n' ? 0 : run + 1;
        if (run > kMaxLine)
            return true;
    }
    return false;
}

// `headers`: the lines before the first empty one are a header section.
QByteArray prepare(const QByteArray &text, bool headers)
{
    if (!hasLongLine(text))
        return text;
    QByteArray out;
    out.reserve(text.size() + text.size() / kMaxLine * 3 + 16);
    const QByteArrayView whole(text);

    // CR LF, a bare LF and a bare CR each end a line and are kept as they are: a server
    // that reads line ends loosely would otherwise see an unstuffed "." line after a bare
    // one. Folding uses CR when the text's only line ends are bare CRs, else CR LF.
    const bool hasLf = text.contains('\n');
    const QByteArrayView foldSeparator = !hasLf && text.contains('\r') ? "\r" : "\r\n";
    qsizetype start = 0;
    for (;;) {
        qsizetype end = start;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        if (end == start)
            headers = false;
        appendLine(out, whole.sliced(start, end - start), foldSeparator, headers);
        if (end == text.size())
            break;
        const qsizetype ending
            = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
        out.append(whole.sliced(end, ending));
        start = end + ending;
    }
    return out;
}

} // namespace

QByteArray PrepareBody(const QByteArray &text)
{
    return prepare(text, false);
}

QByteArray PrepareMessage(const QByteArray &text)
{
    return prepare(text, true);
}

QString TimeZoneSuffix(qint32 biasMinutes)
{
    // The sign follows the offset itself, so a zone less than an hour behind UTC is
    // written -0030 and not +0030.
    const qint64 offset = -qint64(biasMinutes); // minutes east of UTC
    const qint64 magnitude = offset < 0 ? -offset : offset;
    return QString(offset < 0 ? u'-' : u'+')
        + QStringLiteral("%1%2")
              .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
              .arg(magnitude % 60, 2, 10, QLatin1Char('0'));
}

QString SystemTimeZoneSuffix(const QDateTime &at)
{
    const qint32 offsetSeconds = QTimeZone::systemTimeZone().offsetFromUtc(at);
    return TimeZoneSuffix(-(offsetSeconds / 60));
}

QString clsEnviarCorreu::DayName(int index)
{
    static const std::array<QString, 8> names = {
        QString(),
        QStringLiteral("Sun"),
        QStringLiteral("Mon"),
        QStringLiteral("Tue"),
        QStringLiteral("Wed"),
        QStringLiteral("Thu"),
        QStringLiteral("Fri"),
        QStringLiteral("Sat"),
    };
    return index >= 0 && index < int(names.size()) ? names[std::size_t(index)] : QString();
}

QString clsEnviarCorreu::MonthName(int index)
{
    static const std::array<QString, 13> names = {
        QString(),
        QStringLiteral("Jan"),
        QStringLiteral("Feb"),
        QStringLiteral("Mar"),
        QStringLiteral("Apr"),
        QStringLiteral("May"),
        QStringLiteral("Jun"),
        QStringLiteral("Jul"),
        QStringLiteral("Aug"),
        QStringLiteral("Sep"),
        QStringLiteral("Oct"),
        QStringLiteral("Nov"),
        QStringLiteral("Dec"),
    };
    return index >= 0 && index < int(names.size()) ? names[std::size_t(index)] : QString();
}

} // namespace vessamo::mail
