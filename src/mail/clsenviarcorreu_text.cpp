// Texts the mail object prepares for the wire: the message body made fit for the DATA phase
// (folding of long lines, RFC 5321 section 4.5.3.1.6), the Date header's zone text and the
// day and month names. Pure functions over their inputs; the folding and the dot-stuffing of
// the data section each live in one place for everything written there (datasection.cpp).
#include "mail/clsenviarcorreu.h"
#include "mail/datasection.h"

#include <array>

namespace vessamo::mail {

namespace {

// Longest line content that SMTP allows (1000 octets with CR LF).
constexpr qsizetype kMaxLine = 998;

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

// `headers`: the lines before the first empty one are a header section. The same folding
// as a message relayed block by block (LineFolder), here over the whole text.
QByteArray prepare(const QByteArray &text, bool headers)
{
    if (!hasLongLine(text))
        return text;
    // CR LF, a bare LF and a bare CR each end a line and are kept as they are: a server
    // that reads line ends loosely would otherwise see an unstuffed "." line after a bare
    // one. Folding uses CR when the text's only line ends are bare CRs, else CR LF.
    const bool hasLf = text.contains('\n');
    LineFolder folder(headers, !hasLf && text.contains('\r') ? "\r" : "\r\n");
    QByteArray out = folder.feed(text);
    return out + folder.finish();
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
    // The offset the C library's local time gives, which the date and time beside it come
    // from too; asking QTimeZone for the system's zone looks for its name on disk each time.
    const qint32 offsetSeconds = at.toLocalTime().offsetFromUtc();
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
