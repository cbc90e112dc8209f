#include "shell/configcommand.h"

#include "config/configtext.h"
#include "config/configuracio.h"
#include "config/filetrust.h"
#include "config/layout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <optional>

namespace vessamo::shell {

namespace {

void write(std::FILE *to, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
    std::fflush(to);
}

QString usage()
{
    return QStringLiteral("Ús: vessamo /C [--print]\n"
                          "    vessamo /C --apply [FITXER|-]\n"
                          "    vessamo /C --set CLAU=VALOR...\n");
}

int refused(const QString &message)
{
    write(stderr, message + u'\n');
    return 1;
}

int badArgument(const QString &message)
{
    write(stderr, message + u'\n');
    return 2;
}

// One argument of --set is one key and one value: a line break would start another line
// of the text (another key), and other control characters are never part of a value.
// Passwords are refused: every local user can read a command line.
std::optional<QString> wrongSetArgument(const QString &argument)
{
    for (QChar c : argument) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return QStringLiteral("--set: cada argument és una clau i un valor, sense salts de "
                                  "línia ni altres caràcters de control: %1")
                .arg(argument.section(u'=', 0, 0).trimmed());
    }
    const QString key = argument.section(u'=', 0, 0).trimmed();
    if (config::isPasswordKey(key))
        return QStringLiteral("--set: %1 no es dona a la línia d'ordres, que qualsevol usuari "
                              "pot llegir; doneu-la per l'entrada estàndard: "
                              "echo '%1 = ...' | vessamo /C --apply -")
            .arg(key);
    return std::nullopt;
}

QString loadFailure(const config::ConfigurationLoad &load)
{
    return load.error + QStringLiteral("; no s'ha canviat res");
}

void warnAboutFolders(const config::ConfiguracioRecord &record)
{
    for (const QString &folder : foldersOutsideServicePaths(record))
        write(stderr,
              QStringLiteral("Avís: el servei no pot escriure a %1 (només a %2/ i "
                             "/var/lib/vessamo/); afegiu-la amb ReadWritePaths= en un fitxer "
                             "/etc/systemd/system/vessamo.service.d/*.conf (vegeu el README).\n")
                  .arg(folder, QString::fromUtf16(config::kSpoolFolder)));
}

} // namespace

bool wantsConfigurationText(const QStringList &options)
{
    return !options.isEmpty();
}

QStringList foldersOutsideServicePaths(const config::ConfiguracioRecord &r)
{
    const QStringList writable
        = {QString::fromUtf16(config::kSpoolFolder), QStringLiteral("/var/lib/vessamo")};
    QStringList outside;
    for (const QString &folder : {r.CarpetaCua, r.CarpetaSiEnviats, r.CarpetaNoEnviats,
                                  r.spamFilter() ? r.CarpetaSpam : QString()}) {
        if (folder.isEmpty())
            continue;
        // Where a link leads is what the sandbox judges.
        const QString real = QFileInfo(folder).canonicalFilePath();
        const QString judged = (real.isEmpty() ? QDir::cleanPath(folder) : real) + u'/';
        if (std::none_of(writable.begin(), writable.end(),
                         [&](const QString &root) { return judged.startsWith(root + u'/'); }))
            outside << folder;
    }
    return outside;
}

int configureAsText(const QStringList &options, const ConfigurationPlace &place)
{
    const QString option = options.value(0);
    if (options.isEmpty() || (option == u"--print" && options.size() == 1)) {
        const config::ConfigurationLoad load = config::loadConfiguration(place.path);
        if (load.failed())
            return refused(loadFailure(load));
        write(stdout,
              config::configurationText(load.configuration, place.path, place.programFolder));
        if (options.isEmpty())
            write(stderr,
                  QStringLiteral("Vessamo: no hi ha pantalla; la configuració es canvia "
                                 "amb vessamo /C --apply FITXER o vessamo /C --set "
                                 "CLAU=VALOR (vegeu el README).\n"));
        return 0;
    }
    QString text;
    if (option == u"--apply" && options.size() <= 2) {
        const QString name = options.value(1, QStringLiteral("-"));
        QFile file(name);
        const bool opened
            = name == u"-" ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
        if (!opened)
            return refused(QStringLiteral("no es pot llegir %1: %2").arg(name, file.errorString()));
        text = QString::fromUtf8(file.readAll());
    } else if (option == u"--set" && options.size() >= 2) {
        for (const QString &argument : options.sliced(1)) {
            if (const std::optional<QString> wrong = wrongSetArgument(argument))
                return badArgument(*wrong);
        }
        text = options.sliced(1).join(u'\n');
    } else {
        write(stderr, usage());
        return 2;
    }
    // Read, checked and written under the lock: a save in between would be lost.
    const config::ConfigurationLock lock(place.path);
    if (!lock.held())
        return refused(QStringLiteral("No s'ha pogut gravar la configuració a %1: %2")
                           .arg(place.path, lock.error()));
    config::ConfigurationLoad load = config::loadConfiguration(place.path);
    if (load.failed())
        return refused(loadFailure(load));
    config::Configuration &configuration = load.configuration;
    if (const std::optional<QString> refusal
        = config::applyConfigurationText(configuration, text, place.path, place.programFolder))
        return refused(*refusal);
    if (place.forService)
        warnAboutFolders(configuration.Configuracio);
    return 0;
}

} // namespace vessamo::shell
