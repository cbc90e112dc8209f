// The token command: the program checked like the anti-spam program, run through the
// process-group runner with its standard output kept, and its first line judged.
#include "routing/tokencommand.h"

#include "config/filetrust.h"
#include "routing/processgroup.h"

#include <QProcess>

namespace vessamo::routing {

namespace {

bool tokenCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
}

} // namespace

bool validBearerToken(QByteArrayView token)
{
    qsizetype body = 0;
    while (body < token.size() && tokenCharacter(token[body]))
        ++body;
    if (body == 0)
        return false;
    for (qsizetype i = body; i < token.size(); ++i) {
        if (token[i] != '=')
            return false;
    }
    return true;
}

QString tokenFromOutput(const QByteArray &output, bool outputCut, QString &why)
{
    const qsizetype end = output.indexOf('\n');
    const QByteArray line = (end < 0 ? output : output.left(end)).trimmed();
    // A first line that runs past what was read is longer than any token taken.
    if ((end < 0 && outputCut) || line.size() > kMaxAccessTokenBytes) {
        why = QStringLiteral("ha escrit una primera línia de més de %1 octets")
                  .arg(kMaxAccessTokenBytes);
        return {};
    }
    if (line.isEmpty()) {
        why = QStringLiteral("no ha escrit cap testimoni");
        return {};
    }
    if (!validBearerToken(line)) {
        why = QStringLiteral("ha escrit una primera línia que no és un testimoni vàlid");
        return {};
    }
    return QString::fromLatin1(line);
}

std::optional<QString> runTokenCommand(const QString &commandLine, QString &error,
                                       const platform::StopSource *stop, int limitSeconds)
{
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString word = arguments.isEmpty() ? QString() : arguments.takeFirst();
    // The file checked is the file run: looked up once, then named by its full path.
    const QString program = programFile(word);
    if (program.isEmpty()) {
        error = word.isEmpty()
            ? QStringLiteral("l'ordre del testimoni d'accés és buida")
            : QStringLiteral("no es troba el programa %1 de l'ordre del testimoni d'accés")
                  .arg(word);
        return std::nullopt;
    }
    // Run as root, a program others could change would run their choice of code, and
    // hand them the mailbox besides.
    if (const std::optional<QString> why = config::writableByOthers(program, true)) {
        error = QStringLiteral("no s'executa l'ordre del testimoni d'accés perquè altres "
                               "usuaris la poden canviar (%1)")
                    .arg(*why);
        return std::nullopt;
    }
    ProgramOutput output;
    const SyncShellResult result
        = runInOwnGroup(program, arguments, limitSeconds, stop, &output, kMaxTokenOutputBytes);
    const QString head = QStringLiteral("l'ordre del testimoni d'accés %1 ").arg(program);
    switch (result.outcome) {
    case SyncShellResult::Outcome::FailedToStart:
        error
            = QStringLiteral("no s'ha pogut iniciar l'ordre del testimoni d'accés %1").arg(program);
        return std::nullopt;
    case SyncShellResult::Outcome::TimedOut:
        error = head + QStringLiteral("no ha acabat en %1 segons; s'ha aturat").arg(limitSeconds);
        return std::nullopt;
    case SyncShellResult::Outcome::Stopped:
        error = head + QStringLiteral("s'ha aturat perquè l'enrutament s'atura");
        return std::nullopt;
    case SyncShellResult::Outcome::Crashed:
        error = head + QStringLiteral("ha acabat per un senyal");
        return std::nullopt;
    case SyncShellResult::Outcome::Finished:
        break;
    }
    // A helper that failed may still have printed an old token: not used.
    if (result.exitCode != 0) {
        error = head + QStringLiteral("ha acabat amb el codi %1").arg(result.exitCode);
        return std::nullopt;
    }
    QString why;
    QString token = tokenFromOutput(output.bytes, output.cut, why);
    if (token.isEmpty()) {
        error = head + why;
        return std::nullopt;
    }
    return token;
}

} // namespace vessamo::routing
