// The spam filter. The output file lives in a private temporary folder made for the call:
// the program creates it itself (so "no output file" still means it wrote none), no other
// user can plant a file or link under its name, and whatever the program leaves there is
// removed with the folder.
#include "routing/spamfilter.h"

#include "config/configuracio.h"
#include "config/filetrust.h"
#include "platform/ansi.h"
#include "platform/eventlog.h"
#include "routing/queue.h"
#include "routing/runcontext.h"
#include "routing/processgroup.h"
#include "routing/syncshell.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace vessamo::routing {

namespace {

constexpr qint64 kReadChunk = 64 * 1024;

QString quoted(QString path)
{
    // Inside a quoted group a literal quote is written as three.
    path.replace(QLatin1Char('"'), QStringLiteral("\"\"\""));
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// Runs the program with the message's copy standing by; false when it did not run.
bool runGuarded(RunContext &ctx, const QString &program, const QStringList &arguments,
                const QString &messagePath)
{
    const QString name = QFileInfo(messagePath).fileName();
    SafetyCopy copy(messagePath);
    if (!copy.valid()) {
        // Without a copy the program could lose the message for good: it is not run.
        platform::logError(QStringLiteral("Comprovant: no s'ha pogut copiar %1 abans de passar-lo "
                                          "pel programa antispam: %2; no es comprova")
                               .arg(name, copy.errorString()));
        return false;
    }
    const SyncShellResult result
        = SyncShellProgram(program, arguments, kSpamFilterLimitSeconds, &ctx.abort);
    if (result.outcome == SyncShellResult::Outcome::TimedOut) {
        platform::logError(QStringLiteral("Comprovant: el programa antispam no ha acabat en %1 "
                                          "segons amb %2; s'ha aturat i el missatge no es tracta "
                                          "com a spam")
                               .arg(kSpamFilterLimitSeconds)
                               .arg(name));
    } else if (result.outcome == SyncShellResult::Outcome::Stopped) {
        platform::logError(QStringLiteral("Comprovant: s'ha aturat el programa antispam amb %1 "
                                          "perquè l'enrutament s'atura")
                               .arg(name));
    }
    if (copy.restoreIfLost()) {
        platform::logError(QStringLiteral("Comprovant: el programa antispam ha esborrat o buidat "
                                          "%1; s'ha restituït el missatge")
                               .arg(name));
    }
    return result.outcome != SyncShellResult::Outcome::TimedOut
        && result.outcome != SyncShellResult::Outcome::Stopped;
}

} // namespace

QString buildSpamCommand(const QString &templateText, const QString &messagePath,
                         const QString &outputPath)
{
    const QString output = quoted(outputPath);
    const QString message = quoted(messagePath);
    QString command;
    command.reserve(templateText.size() + output.size() + message.size());
    for (qsizetype i = 0; i < templateText.size(); ++i) {
        const QChar c = templateText.at(i);
        if (c == QLatin1Char('%') && i + 1 < templateText.size()) {
            const QChar next = templateText.at(i + 1);
            if (next == QLatin1Char('o') || next == QLatin1Char('i')) {
                command += next == QLatin1Char('o') ? output : message;
                ++i;
                continue;
            }
        }
        command += c;
    }
    return command;
}

bool outputHoldsMark(const QString &outputPath, const QString &mark)
{
    const QByteArray needle = platform::toAnsi(mark);
    if (needle.isEmpty() || platform::fromAnsi(needle) != mark)
        return false;
    QFile file(outputPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Keep the last needle-1 bytes of each piece, so a mark split between two pieces is found.
    QByteArray window;
    for (;;) {
        const QByteArray piece = file.read(kReadChunk);
        if (piece.isEmpty())
            return false;
        window += piece;
        if (window.contains(needle))
            return true;
        window = window.right(needle.size() - 1);
    }
}

bool ComprovarSpam(RunContext &ctx, const QString &messagePath)
{
    const config::ConfiguracioRecord &cfg = ctx.configuration.Configuracio;
    if (!cfg.spamFilter())
        return false;
    ctx.view.setLabel(QStringLiteral("Comprovant si és spam"));
    QCoreApplication::processEvents();

    QTemporaryDir folder;
    if (!folder.isValid() || ctx.abort.requested())
        return false;
    const QString outputPath = folder.filePath(QStringLiteral("sortida.txt"));
    QStringList arguments
        = QProcess::splitCommand(buildSpamCommand(cfg.ProgramaSpam, messagePath, outputPath));
    // The file checked is the file run: looked up once, then named by its full path, so that
    // nothing put on PATH or in the folder in between is run instead.
    const QString program = programFile(arguments.isEmpty() ? QString() : arguments.takeFirst());
    if (program.isEmpty())
        return false; // nothing to start
    // Run as root, a program others could change would run their choice of code.
    if (const std::optional<QString> why = config::writableByOthers(program, true)) {
        platform::logError(QStringLiteral("Comprovant: no s'executa el programa antispam perquè "
                                          "altres usuaris el poden canviar (%1); %2 no es "
                                          "tracta com a spam")
                               .arg(*why, QFileInfo(messagePath).fileName()));
        return false;
    }
    // A program that was ended may have left half an output: not a verdict.
    if (!runGuarded(ctx, program, arguments, messagePath) || !QFile::exists(outputPath))
        return false;
    const bool spam = outputHoldsMark(outputPath, cfg.MarcaSpam);
    QFile::remove(outputPath);
    return spam;
}

} // namespace vessamo::routing
