#include "routing/queuelisting.h"

#include "routing/queue.h"
#include "routing/queuebackend.h"
#include "routing/queuefiles.h"
#include "routing/remitent.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::routing {

using namespace queuefiles;

namespace {

constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;
// A forward-to file is one address; more is not read.
constexpr qsizetype kForwardToLimit = 4096;
// The Subject: is looked for in the message's first octets only.
constexpr qint64 kHeadLimit = 65536;

// The Subject: header of the message's head, unfolded; raw bytes read as UTF-8.
QString subjectOf(const QByteArray &message)
{
    const qsizetype headEnd = message.indexOf("\r\n\r\n");
    const QByteArray head = "\r\n" + (headEnd < 0 ? message : message.left(headEnd + 2));
    const QByteArray lower = head.toLower();
    const qsizetype at = lower.indexOf("\r\nsubject:");
    if (at < 0)
        return {};
    QByteArray value;
    qsizetype from = at + 10;
    for (;;) {
        qsizetype end = head.indexOf("\r\n", from);
        if (end < 0)
            end = head.size();
        value += head.mid(from, end - from);
        // A folded header goes on in a line that begins with a blank.
        if (end + 2 < head.size() && (head[end + 2] == ' ' || head[end + 2] == '\t')) {
            from = end + 2;
            continue;
        }
        break;
    }
    return QString::fromUtf8(value.trimmed());
}

QString stateOf(const QString &folder, const QueuePair &pair, ListedFolder kind,
                const AttemptClock &clock)
{
    switch (kind) {
    case ListedFolder::Failed:
        return QStringLiteral("failed");
    case ListedFolder::Spam:
        return QStringLiteral("spam");
    case ListedFolder::Queue:
        break;
    }
    if (pair.isSent())
        return QStringLiteral("accepted");
    const std::optional<qint64> waited = queueWaitedMs(folder, pair.listedName(), clock);
    if (waited && *waited > (kQueueLifetimeDays - 1) * kDayMs)
        return QStringLiteral("expiring");
    return QStringLiteral("waiting");
}

bool isControl(char32_t c)
{
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
        return true;
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Format || category == QChar::Separator_Line
        || category == QChar::Separator_Paragraph;
}

} // namespace

QueueListing listPairs(const QString &folderPath, ListedFolder kind, const QDateTime &now,
                       const AttemptClock &clock)
{
    QueueListing listing;
    const QString folder = asFolder(folderPath);
    QString bare = folder;
    while (bare.size() > 1 && bare.endsWith(u'/'))
        bare.chop(1);
    struct stat st
    {
    };
    if (::lstat(nativePath(bare).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        listing.ok = false;
        listing.error = QStringLiteral("la carpeta %1 no existeix o no és una carpeta").arg(bare);
        return listing;
    }
    // The spool is the service's: its mail is for root and for the account that owns it.
    if (::geteuid() != 0 && ::geteuid() != st.st_uid) {
        listing.ok = false;
        listing.error
            = QStringLiteral("només root o el propietari de %1 la poden llistar").arg(bare);
        return listing;
    }
    const QStringList names = kind == ListedFolder::Queue
        ? listQueue(folder)
        : filesEndingWith(folder, {kForwardToSuffix});
    for (const QString &name : names) {
        const QueuePair pair(name);
        struct stat messageStat
        {
        };
        const std::optional<QByteArray> forwardTo = readPlainFile(folder + name, kForwardToLimit);
        const platform::UniqueFd messageFd
            = openPlainFile(folder + pair.messageName(), messageStat);
        // Read as forwarding reads it, in blocks (From: may be anywhere), never held whole.
        QFile message;
        if (messageFd.valid())
            message.open(messageFd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
        // A forward-to file whose message is not beside it: a move or delete cut short
        // (the next run or the same command finishes it), or one going on now.
        struct stat gone
        {
        };
        if (forwardTo && !message.isOpen()
            && ::lstat(nativePath(folder + pair.messageName()).constData(), &gone) != 0
            && errno == ENOENT) {
            ListedPair entry;
            entry.stem = pair.stem();
            entry.forwardTo = firstTextField(*forwardTo);
            entry.state = QStringLiteral("incomplete");
            listing.pairs.append(entry);
            continue;
        }
        // Gone meanwhile (moved by a run), or not a plain file.
        if (!forwardTo || !message.isOpen())
            continue;
        ListedPair entry;
        entry.stem = pair.stem();
        entry.size = qint64(messageStat.st_size);
        entry.ageSeconds
            = qMax<qint64>(0, now.toSecsSinceEpoch() - qint64(messageStat.st_mtim.tv_sec));
        if (const std::optional<Remitent> sender = ExtreureRemitent(message))
            entry.sender = sender->address;
        entry.forwardTo = firstTextField(*forwardTo);
        if (message.seek(0))
            entry.subject = subjectOf(message.read(kHeadLimit));
        entry.state = stateOf(folder, pair, kind, clock);
        if (const std::optional<AttemptRecord> record = readAttemptRecord(folder, pair)) {
            entry.attempts = record->count;
            entry.lastFailure = record->lastFailure;
            entry.lastError = record->lastError;
        }
        listing.pairs.append(entry);
    }
    return listing;
}

QString escapeForTerminal(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == U'\\') {
            out += QStringLiteral("\\\\");
        } else if (isControl(c)) {
            out += c < 0x100 ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        } else {
            out += QString::fromUcs4(&c, 1);
        }
    }
    return out;
}

namespace {

QString ageText(qint64 seconds)
{
    if (seconds < 3600)
        return QStringLiteral("%1m").arg(seconds / 60);
    if (seconds < 86400)
        return QStringLiteral("%1h%2m")
            .arg(seconds / 3600)
            .arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1d%2h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}

} // namespace

QString listingText(const QList<ListedPair> &pairs)
{
    QString out = QStringLiteral(
        "STEM\tAGE\tSIZE\tSTATE\tATTEMPTS\tSENDER\tFORWARD-TO\tSUBJECT\tLAST FAILURE\n");
    for (const ListedPair &pair : pairs) {
        const QString failure = pair.lastFailure.isValid()
            ? pair.lastFailure.toLocalTime().toString(Qt::ISODate) + u' '
                + escapeForTerminal(pair.lastError)
            : QString();
        out += QStringList {escapeForTerminal(pair.stem),
                            ageText(pair.ageSeconds),
                            QString::number(pair.size),
                            pair.state,
                            QString::number(pair.attempts),
                            escapeForTerminal(pair.sender),
                            escapeForTerminal(pair.forwardTo),
                            escapeForTerminal(pair.subject),
                            failure}
                   .join(u'\t')
            + u'\n';
    }
    return out;
}

QByteArray listingJson(const QString &folder, const QList<ListedPair> &pairs)
{
    QJsonArray list;
    for (const ListedPair &pair : pairs) {
        QJsonObject entry {{u"stem"_qs, pair.stem},
                           {u"age_seconds"_qs, pair.ageSeconds},
                           {u"size"_qs, pair.size},
                           {u"state"_qs, pair.state},
                           {u"attempts"_qs, pair.attempts},
                           {u"sender"_qs, pair.sender},
                           {u"forward_to"_qs, pair.forwardTo},
                           {u"subject"_qs, pair.subject},
                           {u"last_error"_qs, pair.lastError}};
        entry.insert(u"last_failure"_qs,
                     pair.lastFailure.isValid() ? QJsonValue(pair.lastFailure.toString(Qt::ISODate))
                                                : QJsonValue());
        list.append(entry);
    }
    return QJsonDocument(QJsonObject {{u"folder"_qs, folder}, {u"pairs"_qs, list}})
        .toJson(QJsonDocument::Indented);
}

} // namespace vessamo::routing
