#include "routing/frmenviarcorreu.h"

#include "config/tokenfolder.h"
#include "mail/clsenviarcorreu.h"
#include "platform/eventlog.h"
#include "routing/connection.h"
#include "routing/pop3session.h"
#include "routing/queue.h"
#include "routing/queuelock.h"
#include "routing/spamfilter.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace vessamo::routing {

namespace {

constexpr int kSafetyTickMs = 1000;
constexpr int kIdleTicksAllowed = 120;
// How long a stop waits for the reply to a message whose end of data has gone out: 30
// ticks, 30 s, well inside the 90 s systemd gives a service to stop.
constexpr int kStopGraceTicks = 30;

QStringList serversOfTheRun(const config::Configuration &configuration)
{
    QStringList servers;
    for (const config::Bustia &bustia : configuration.mailboxes())
        servers << bustia.Servidor;
    servers << configuration.Configuracio.ServidorSMTP;
    return servers;
}

QString withSlash(const QString &folder)
{
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

void logIfFailed(const StoreResult &result)
{
    if (!result)
        platform::logError(result.error);
}

// Whether a run left out for a queue that could not be locked has been logged: once, until
// a run of this program holds the queue again, not at every interval while it lasts.
bool lockedOutLogged = false;

void reportLockedOut(RunContext &ctx, const QueueLock &lock)
{
    const QString text = lock.state() == QueueLock::State::Busy
        ? QStringLiteral("Enrutant: la cua %1 la fa servir un altre procés de Vessamo; "
                         "s'espera a la propera execució")
              .arg(withSlash(ctx.configuration.Configuracio.CarpetaCua))
        : QStringLiteral("Enrutant: no s'ha pogut bloquejar la cua (%1: %2); s'espera a la "
                         "propera execució")
              .arg(lock.path(), lock.errorString());
    ctx.AfegirEstat(text);
    if (!lockedOutLogged)
        platform::logError(text);
    lockedOutLogged = true;
}

// The queue's size and the age of its oldest pair (by its forward-to file's time) as the
// run leaves it.
void measureQueue(const QString &folder, RunSummary &summary)
{
    const QStringList names = listQueue(folder);
    summary.queueSize = int(names.size());
    summary.oldestAgeSeconds = 0;
    for (const QString &name : names) {
        const QFileInfo info(QDir(folder).filePath(name));
        if (info.exists())
            summary.oldestAgeSeconds = std::max(
                summary.oldestAgeSeconds, info.lastModified().secsTo(summary.ended));
    }
}

} // namespace

frmEnviarCorreu::frmEnviarCorreu(RoutingView &view, const config::Configuration &configuration,
                                 QObject *parent)
    : QObject(parent)
    , connectionCheck(machineConnected)
    , view_(view)
    , ctx_(view, configuration)
    // The sessions report a login whose token cannot be had, naming the mailbox or the
    // message; the sources need not report it again.
    , tokens_(config::tokenFolder(config::programLayout()), &ctx_.abort, [](const QString &) {})
{
    pop3_ = std::make_unique<Pop3Session>(wsckRebre, ctx_);
    timerSeguretat.setInterval(kSafetyTickMs);
    connect(&timerSeguretat, &QTimer::timeout, this, &frmEnviarCorreu::timerSeguretat_Timer);
}

frmEnviarCorreu::~frmEnviarCorreu()
{
    // The mail object and the POP3 session go before the sockets they use.
    poSendMail.reset();
    pop3_.reset();
}

void frmEnviarCorreu::run()
{
    view_.open();
    timerSeguretat.start();
    summary_.started = QDateTime::currentDateTime();
    EnrutarCorreu();
    summary_.ended = QDateTime::currentDateTime();
    if (summary_.ran)
        measureQueue(record().CarpetaCua, summary_);
    unload();
}

void frmEnviarCorreu::unload()
{
    timerSeguretat.stop();
    if (unloaded_)
        return;
    unloaded_ = true;
    wsckRebre.Close();
    view_.close();
}

void frmEnviarCorreu::timerSeguretat_Timer()
{
    ++ctx_.idleTicks;
    if (!ctx_.abort.requested() && ctx_.idleTicks <= kIdleTicksAllowed)
        return;
    platform::logError(QStringLiteral("Tanquem pantalla per timeout"));
    ctx_.abort.request();
    unload();
}

void frmEnviarCorreu::EnrutarCorreu()
{
    // For want of a network the run is skipped in silence as far as the event log goes;
    // the status line (and the debug log) say why nothing happened.
    if (!connectionCheck(serversOfTheRun(ctx_.configuration))) {
        ctx_.AfegirEstat(noNetworkStatus());
        return;
    }
    ctx_.runCounter = 0;
    ctx_.abort.reset();
    ctx_.abort.setGraceMs(kStopGraceTicks * timerSeguretat.interval());
    // Without a queue folder the downloads would have nowhere to go (an empty path would
    // name the current folder): no mailbox is read, and the administrator is told.
    if (record().CarpetaCua.trimmed().isEmpty()) {
        platform::logError(QStringLiteral("Rebent: no s'ha configurat la carpeta de la cua"));
        return;
    }
    // One router at a time on a queue, for the whole run: a second one would forward the
    // same pairs, and its clean-up below would remove the downloads in progress.
    const QueueLock lock(record().CarpetaCua);
    if (!lock.held()) {
        reportLockedOut(ctx_, lock);
        return;
    }
    lockedOutLogged = false;
    summary_.ran = true;
    // Whatever an interrupted run left half-written is fetched again from the server; an
    // interrupted copy into an archive on another file system is made again.
    for (const QString &folder : {record().CarpetaCua, record().CarpetaSiEnviats,
                                  record().CarpetaNoEnviats, record().CarpetaSpam}) {
        if (!folder.trimmed().isEmpty())
            removeLeftoverParts(folder);
    }

    // A mailbox that fails ends its own session only; the others and the queue pass go
    // on. Only a stop request (safety timer, SIGTERM, "Tancar") ends the run here. The
    // session's limits are derived from the safety timer's tick, so that a silent server
    // ends its session before the safety timer ends the run.
    pop3_->setSafetyTickMs(timerSeguretat.interval());
    for (const config::Bustia &bustia : ctx_.configuration.mailboxes()) {
        ctx_.progressed();
        const platform::LogScope mailbox("VESSAMO_MAILBOX", bustia.Usuari + u'@' + bustia.Servidor);
        const config::LoginSettings &login = ctx_.configuration.loginFor(bustia);
        const int before = ctx_.runCounter;
        const platform::LastEntryCapture error;
        pop3_->LlegirBustia(bustia, {login.method,
                                     tokens_.accessTokenFor(QStringLiteral("Rebent: "),
                                                            login.tokenAccount,
                                                            login.tokenCommand)});
        summary_.mailboxes.push_back(
            {bustia.Usuari + u'@' + bustia.Servidor, ctx_.runCounter - before, error.last()});
        if (ctx_.abort.requested())
            return;
    }
    queuePass();
    sendNotices();
    purge();
}

void frmEnviarCorreu::queuePass()
{
    const QString queue = withSlash(record().CarpetaCua);
    QueuePass pass(queue);
    FolderSyncs syncs;
    while (!ctx_.abort.requested()) {
        const std::optional<QString> name = pass.next();
        if (!name)
            break;
        ctx_.progressed();
        if (checkQueuedPair(
                queue, *name,
                {record().CarpetaSiEnviats, record().CarpetaNoEnviats, record().CarpetaSpam},
                &syncs)
            != PairCheck::Usable)
            continue;
        const QueuePair pair(*name);
        const platform::LogScope message("VESSAMO_MESSAGE", pair.stem());
        // Accepted by a server in an earlier run: only its move is left.
        if (pair.isSent()) {
            moveOrLog(pair, record().CarpetaSiEnviats, syncs);
            continue;
        }
        ctx_.progressed();
        if (!releasedFromSpam(queue, pair) && ComprovarSpam(ctx_, queue + pair.messageName())) {
            ++summary_.spam;
            moveOrLog(pair, record().CarpetaSpam, syncs);
            continue;
        }
        // A stop during the spam check leaves the pair queued, not forwarded.
        if (ctx_.abort.requested())
            break;
        ctx_.progressed();
        // The acceptance is recorded the moment the server's reply arrives, so only a crash
        // between that reply and this rename can make the message go out twice.
        std::optional<StoreResult> marked;
        onAccepted_ = [&] { marked = markSent(queue, pair.listedName(), &syncs); };
        const ForwardOutcome outcome
            = ReenviarMissatge(queue + pair.listedName(), queue + pair.messageName());
        onAccepted_ = nullptr;
        // What cannot be recorded as sent goes out again on the next run: stop here, so
        // that at most this one message is sent twice.
        if (!fileForwarded(pair, outcome, syncs, marked))
            break;
        logIfFailed(syncs.flushIfDue());
    }
    logIfFailed(syncs.flush());
}

bool frmEnviarCorreu::fileForwarded(const QueuePair &pair, ForwardOutcome outcome,
                                    FolderSyncs &syncs, std::optional<StoreResult> marked)
{
    const QString queue = withSlash(record().CarpetaCua);
    // Why the pair is filed as failed, when its attempts record cannot say it all.
    QString why;
    // Once the acceptance is recorded the pair is sent, whatever the goodbye brought.
    if (marked && *marked)
        outcome = ForwardOutcome::Sent;
    // Counted beside the pair before it may move, so that the record follows it.
    if (outcome != ForwardOutcome::Sent && !lastFailure_.isEmpty() && !ctx_.abort.requested())
        recordFailedAttempt(queue, pair, lastFailure_, failedAttempts_);
    switch (outcome) {
    case ForwardOutcome::Sent: {
        // Recorded in the queue first, so a failed move never makes it go out again.
        if (!marked)
            marked = markSent(queue, pair.listedName(), &syncs);
        ++summary_.forwarded;
        if (*marked) {
            moveOrLog(QueuePair(pair.sentMarkName()), record().CarpetaSiEnviats, syncs);
            return true;
        }
        // The sent archive records it as well as the mark would.
        if (record().CarpetaSiEnviats.isEmpty()
            || !MoureParella(pair.listedName(), pair.messageName(), queue,
                             record().CarpetaSiEnviats, &syncs)) {
            platform::logError(marked->error
                               + QStringLiteral("; no es reenvia res més fins a la propera "
                                                "execució"));
            return false;
        }
        logIfFailed(*marked);
        return true;
    }
    case ForwardOutcome::Deferred:
        // A stopped run says nothing about the message: it waits for the next run.
        if (ctx_.abort.requested() || !queueLifetimeOver(queue, pair.listedName()))
            return true;
        platform::logError(QStringLiteral("Enviant: %1 porta més de %2 dies a la cua sense "
                                          "poder-se enviar; es deixa als no enviats")
                               .arg(pair.stem())
                               .arg(kQueueLifetimeDays));
        why = QStringLiteral("Enviant: porta més de %1 dies a la cua sense poder-se enviar")
                  .arg(kQueueLifetimeDays);
        break;
    case ForwardOutcome::Refused:
        if (lastFailure_.isEmpty())
            why = refusalReason_;
        break;
    }
    ++summary_.failed;
    // Only a pair that is in the failed archive now is told of.
    if (moveOrLog(pair, record().CarpetaNoEnviats, syncs)
        && !ctx_.configuration.postmaster.isEmpty())
        noticesDue_.push_back({pair.stem(), why});
    return true;
}

bool frmEnviarCorreu::moveOrLog(const QueuePair &pair, const QString &target, FolderSyncs &syncs)
{
    // A pair that cannot be moved stays in the queue for the next run; the pass never
    // hands it out twice, so its failure is logged once per run.
    if (target.isEmpty()) {
        platform::logError(
            QStringLiteral("Arxivant: no hi ha cap carpeta d'arxiu configurada per a ")
            + pair.listedName());
        return false;
    }
    const StoreResult moved
        = MoureParella(pair.listedName(), pair.messageName(), record().CarpetaCua, target, &syncs);
    logIfFailed(moved);
    return bool(moved);
}

void frmEnviarCorreu::purge()
{
    if (record().DiesArxiu == 0)
        return;
    for (const QString &folder : {record().CarpetaSiEnviats, record().CarpetaSpam}) {
        // An unset folder is not the current folder.
        if (!folder.isEmpty())
            PurgarArxiu(ctx_, folder);
    }
}

} // namespace vessamo::routing
