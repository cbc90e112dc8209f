// The spam filter. The output file lives in a private temporary folder made for the call:
// the program creates it itself (so "no output file" still means it wrote none), no other
// user can plant a file or link under its name, and whatever the program leaves there is
// removed with the folder.
#include "routing/spamfilter.h"

#include "config/configuracio.h"
#include "platform/ansi.h"
#include "routing/runcontext.h"
#include "routing/syncshell.h"

#include <QCoreApplication>
#include <QFile>
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
    const config::ConfiguracioRecord &cfg = config::Configuracio;
    if (cfg.FiltreSpam == 0)
        return false;
    ctx.view.setLabel(QStringLiteral("Comprovant si és spam"));
    QCoreApplication::processEvents();

    QTemporaryDir folder;
    if (!folder.isValid())
        return false;
    const QString outputPath = folder.filePath(QStringLiteral("sortida.txt"));
    SyncShell(buildSpamCommand(cfg.ProgramaSpam, messagePath, outputPath), 0);
    if (!QFile::exists(outputPath))
        return false;
    const bool spam = outputHoldsMark(outputPath, cfg.MarcaSpam);
    QFile::remove(outputPath);
    return spam;
}

} // namespace vessamo::routing
