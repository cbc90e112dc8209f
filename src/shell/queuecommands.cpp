#include "shell/queuecommands.h"

#include "config/configuracio.h"
#include "platform/routerpid.h"
#include "routing/queue.h"
#include "routing/queueactions.h"
#include "routing/queuefiles.h"
#include "routing/queuelisting.h"
#include "shell/console.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unistd.h>

namespace vessamo::shell {

namespace {

void printError(const QString &text)
{
    print(stderr, QStringLiteral("Vessamo: ") + text + u'\n');
}

std::optional<config::ConfiguracioRecord> loadRecord(const QString &configurationFile)
{
    const config::ConfigurationLoad load = config::loadConfiguration(configurationFile);
    if (load.failed() || load.status == config::ConfigurationLoad::Status::Missing) {
        printError(QStringLiteral("no s'ha pogut llegir la configuració %1%2")
                       .arg(configurationFile,
                            load.error.isEmpty() ? QString() : QStringLiteral(": ") + load.error));
        return std::nullopt;
    }
    return load.configuration.Configuracio;
}

// "y/N" in Catalan: only a yes typed on the terminal goes on.
bool confirmed(const QString &question)
{
    if (!::isatty(STDIN_FILENO)) {
        printError(QStringLiteral("no hi ha cap terminal per preguntar-ho: feu servir --yes"));
        return false;
    }
    print(stderr, question + QStringLiteral(" [s/N] "));
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    const QString text = QString::fromLocal8Bit(answer).trimmed().toLower();
    return text == u"s" || text == u"si" || text == u"sí" || text == u"y" || text == u"yes";
}

} // namespace

int listQueue(const CommandLine &line, const QString &configurationFile)
{
    const std::optional<config::ConfiguracioRecord> record = loadRecord(configurationFile);
    if (!record)
        return 1;
    const config::ConfiguracioRecord &c = *record;
    routing::ListedFolder kind = routing::ListedFolder::Queue;
    QString folder = c.CarpetaCua;
    if (line.listing == u"--failed") {
        kind = routing::ListedFolder::Failed;
        folder = c.CarpetaNoEnviats;
    } else if (line.listing == u"--spam") {
        kind = routing::ListedFolder::Spam;
        folder = c.CarpetaSpam;
    }
    if (folder.isEmpty()) {
        printError(QStringLiteral("la configuració no té cap carpeta per a %1").arg(line.listing));
        return 1;
    }
    const routing::QueueListing listing = routing::listPairs(
        folder, kind, QDateTime::currentDateTimeUtc(), routing::AttemptClock::current());
    if (!listing.ok) {
        printError(listing.error);
        return 1;
    }
    if (line.json) {
        const QByteArray json = routing::listingJson(folder, listing.pairs);
        std::fwrite(json.constData(), 1, static_cast<std::size_t>(json.size()), stdout);
        std::fflush(stdout);
    } else {
        print(stdout, routing::listingText(listing.pairs));
    }
    return 0;
}

int runQueueAction(const CommandLine &line, const QString &configurationFile)
{
    const std::optional<config::ConfiguracioRecord> c = loadRecord(configurationFile);
    if (!c)
        return 1;
    QString folder = c->CarpetaNoEnviats;
    if (line.listing == u"--spam")
        folder = c->CarpetaSpam;
    else if (line.listing == u"--queue")
        folder = c->CarpetaCua;
    if (folder.trimmed().isEmpty() || c->CarpetaCua.trimmed().isEmpty()) {
        printError(QStringLiteral("la configuració no té cap carpeta per a %1").arg(line.listing));
        return 1;
    }
    const bool requeue = line.request == Request::Requeue;
    for (const QString &f : {c->CarpetaCua, folder}) {
        if (const QString refusal = routing::spoolRefusal(f); !refusal.isEmpty()) {
            printError(refusal);
            return 1;
        }
    }
    if (!requeue && !line.yes) {
        const QString what = line.all ? QStringLiteral("totes les parelles (%1 ara)")
                                            .arg(routing::deleteCandidates(folder).size())
                                      : QStringLiteral("%1 parella(es): %2")
                                            .arg(line.stems.size())
                                            .arg(line.stems.join(u' '));
        if (!confirmed(
                QStringLiteral("S'esborraran de %1 %2. Voleu continuar?").arg(folder, what))) {
            printError(QStringLiteral("no s'ha esborrat res"));
            return 1;
        }
    }
    // A run moves pairs for its whole length: nothing moves under it.
    QString error;
    const std::unique_ptr<routing::QueueLock> lock = routing::waitForQueueLock(
        c->CarpetaCua, kQueueActionWaitMs,
        [] {
            printError(QStringLiteral("una execució de l'encaminador té la cua; s'espera que "
                                      "acabi (com a molt %1 minuts)")
                           .arg(kQueueActionWaitMs / 60000));
        },
        &error);
    if (!lock) {
        printError(error);
        return 1;
    }
    QStringList stems = line.stems;
    if (line.all)
        stems = requeue ? routing::requeueCandidates(c->CarpetaCua, folder)
                        : routing::deleteCandidates(folder);
    if (stems.isEmpty()) {
        print(stdout, QStringLiteral("No hi ha cap parella a %1\n").arg(folder));
        return 0;
    }
    const routing::QueueActionReport report = requeue
        ? routing::requeuePairs(c->CarpetaCua, folder, stems, line.listing == u"--spam")
        : routing::deletePairs(folder, stems);
    if (!report.error.isEmpty()) {
        printError(report.error);
        return 1;
    }
    for (const routing::PairActionOutcome &pair : report.pairs) {
        if (pair.ok)
            print(stdout, pair.stem + QStringLiteral(": ") + pair.text + u'\n');
        else
            printError(pair.stem + QStringLiteral(": ") + pair.text);
    }
    return report.ok() ? 0 : 1;
}

int flushRouter(const QString &configurationFile, const QString &stateFolder)
{
    const std::optional<config::ConfiguracioRecord> c = loadRecord(configurationFile);
    if (!c)
        return 1;
    const QString pidFile = routing::queuefiles::asFolder(stateFolder)
        + QString::fromUtf16(platform::kRouterPidFileName);
    const platform::RouterProcess router = platform::findRouter(pidFile);
    switch (router.state) {
    case platform::RouterProcess::State::None:
        printError(QStringLiteral("no hi ha cap encaminador en marxa amb la configuració %1")
                       .arg(configurationFile));
        return 1;
    case platform::RouterProcess::State::Refused:
        printError(router.error);
        return 1;
    case platform::RouterProcess::State::Found:
        break;
    }
    // The router ignores the signal during a run: say so rather than claim it woke.
    if (!c->CarpetaCua.trimmed().isEmpty()
        && platform::flockHeld(routing::queuefiles::asFolder(c->CarpetaCua)
                               + routing::kQueueLockName)) {
        printError(QStringLiteral("l'encaminador (procés %1) ja fa una execució ara mateix; "
                                  "no s'ha despertat: torneu-ho a provar quan acabi")
                       .arg(router.pid));
        return 1;
    }
    if (const int err = platform::sendSignal(router, SIGUSR1)) {
        printError(QStringLiteral("no s'ha pogut despertar el procés %1: %2")
                       .arg(router.pid)
                       .arg(QString::fromLocal8Bit(std::strerror(err))));
        return 1;
    }
    print(stdout,
          QStringLiteral("S'ha despertat l'encaminador (procés %1): llegeix les bústies "
                         "i reenvia la cua ara\n")
              .arg(router.pid));
    return 0;
}

} // namespace vessamo::shell
