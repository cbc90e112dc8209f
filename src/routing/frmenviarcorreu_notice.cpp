// The postmaster's notices: once the queue pass is over, one notice for each pair the run
// filed as failed, up to kNoticesPerRun, the last naming the pairs beyond. Each goes through
// the configured server on a fresh mail object, as a forwarding attempt does, once: a notice
// that fails is logged and never holds up anything else.
//
// At most one notice per failure: the pair's attempts record is marked before its notice
// goes out, and a record already marked is not told of again. A crash between the two loses
// that notice rather than sending it twice. The notices only ever go to the postmaster
// address and never touch the queue, so nothing can forward or archive one.
#include "mail/clsenviarcorreu.h"
#include "platform/eventlog.h"
#include "routing/frmenviarcorreu.h"
#include "routing/postmasternotice.h"
#include "routing/remitent.h"

#include <QBuffer>
#include <QFile>
#include <QHostInfo>

namespace vessamo::routing {

namespace {

// More than any real header section; the notice carries what fits.
constexpr qsizetype kHeaderLimit = 64 * 1024;

QByteArray readStart(const QString &path, qsizetype limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(limit);
}

} // namespace

void frmEnviarCorreu::sendNotices()
{
    const QString postmaster = ctx_.configuration.postmaster;
    std::vector<DueNotice> due = std::move(noticesDue_);
    noticesDue_.clear();
    if (postmaster.isEmpty() || due.empty())
        return;
    const QString failed = record().CarpetaNoEnviats.endsWith(u'/')
        ? record().CarpetaNoEnviats
        : record().CarpetaNoEnviats + u'/';

    // What each notice tells, read back from the failed archive.
    const auto describe = [&](const DueNotice &notice) {
        const QueuePair pair = QueuePair::fromStem(notice.stem);
        FailedPair about;
        about.stem = notice.stem;
        about.forwardTo = firstTextField(readStart(failed + pair.forwardToName(), 4096));
        about.headers
            = headerSection(readStart(failed + pair.messageName(), kHeaderLimit + 1), kHeaderLimit);
        if (const std::optional<Remitent> sender = ExtreureRemitent(about.headers))
            about.sender = sender->address;
        const std::optional<AttemptRecord> attempts = readAttemptRecord(failed, pair);
        about.attempts = attempts ? attempts->count : 0;
        about.reason = attempts ? attempts->lastError : QString();
        if (!notice.reason.isEmpty())
            about.reason = about.reason.isEmpty()
                ? notice.reason
                : notice.reason + QStringLiteral("; darrer error: ") + about.reason;
        return about;
    };

    const qsizetype told = std::min<qsizetype>(qsizetype(due.size()), kNoticesPerRun);
    QStringList beyond;
    for (qsizetype i = told; i < qsizetype(due.size()); ++i) {
        const FailedPair about = describe(due[size_t(i)]);
        beyond << about.stem + QStringLiteral(": ") + about.reason;
    }
    if (!beyond.isEmpty()) {
        QStringList stems;
        for (qsizetype i = told; i < qsizetype(due.size()); ++i)
            stems << due[size_t(i)].stem;
        platform::logError(QStringLiteral("Avís al postmaster: %1 missatges més als no enviats "
                                          "sense avís propi (com a màxim %2 per execució; "
                                          "l'últim avís els anomena): %3")
                               .arg(beyond.size())
                               .arg(kNoticesPerRun)
                               .arg(stems.join(u' ')));
    }

    for (qsizetype i = 0; i < told; ++i) {
        const DueNotice &notice = due[size_t(i)];
        // The run made its one entry for a login whose token cannot be had: every notice
        // would fail the same way.
        if (smtpTokenFailed()) {
            platform::logError(QStringLiteral("Avís al postmaster: sense testimoni per a "
                                              "l'SMTP; no s'ha enviat l'avís de %1")
                                   .arg(notice.stem));
            continue;
        }
        if (ctx_.abort.requested()) {
            platform::logError(QStringLiteral("Avís al postmaster: l'execució s'ha aturat; no "
                                              "s'ha enviat l'avís de %1")
                                   .arg(notice.stem));
            continue;
        }
        ctx_.progressed();
        const QueuePair pair = QueuePair::fromStem(notice.stem);
        const std::optional<AttemptRecord> attempts = readAttemptRecord(failed, pair);
        if (attempts && attempts->noticeSent)
            continue;
        // Marked first: a crash from here on loses this notice, never doubles it. A record
        // that cannot be marked could be told of again, so its notice is not sent.
        if (attempts && !recordNoticeSent(failed, pair)) {
            platform::logError(QStringLiteral("Avís al postmaster: no s'ha pogut anotar l'avís "
                                              "de %1 a %2; no s'envia")
                                   .arg(notice.stem, failed + pair.attemptsName()));
            continue;
        }
        const QByteArray text
            = composeNotice(postmaster, describe(notice), i + 1 == told ? beyond : QStringList(),
                            QDateTime::currentDateTime(), QHostInfo::localHostName());
        if (const std::optional<QString> why = sendNotice(postmaster, text))
            platform::logError(QStringLiteral("Avís al postmaster: no s'ha pogut enviar l'avís "
                                              "de %1 a %2: %3")
                                   .arg(notice.stem, postmaster, *why));
    }
}

std::optional<QString> frmEnviarCorreu::sendNotice(const QString &postmaster,
                                                   const QByteArray &notice)
{
    poSendMail = std::make_unique<mail::clsEnviarCorreu>(Winsck);
    mail::clsEnviarCorreu *object = poSendMail.get();
    bool sent = false;
    QString failure;
    connect(object, &mail::clsEnviarCorreu::SendSuccesful, this, [&sent] { sent = true; });
    connect(object, &mail::clsEnviarCorreu::SendFailed, this,
            [&failure](const QString &explanation) { failure = explanation; });
    // The envelope's sender is the postmaster too: a notice that bounces goes back there,
    // never to the failed message's sender.
    QBuffer source;
    source.setData(notice);
    source.open(QIODevice::ReadOnly);
    setUp(*object, postmaster, postmaster, QString(), source);
    object->Enruta();
    poSendMail.reset();
    if (sent)
        return std::nullopt;
    return failure.isEmpty() ? QStringLiteral("no s'ha enviat") : failure;
}

} // namespace vessamo::routing
