#include "shell/configcommand.h"

#include "config/configtext.h"

#include <QFile>
#include <cstdio>

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

} // namespace

bool wantsConfigurationText(const QStringList &options)
{
    return !options.isEmpty();
}

int configureAsText(const QStringList &options, const QString &path, const QString &programFolder)
{
    const QString option = options.value(0);
    if (options.isEmpty() || (option == u"--print" && options.size() == 1)) {
        write(stdout, config::configurationText(path, programFolder));
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
        text = options.sliced(1).join(u'\n');
    } else {
        write(stderr, usage());
        return 2;
    }
    if (const std::optional<QString> refusal
        = config::applyConfigurationText(text, path, programFolder))
        return refused(*refusal);
    return 0;
}

} // namespace vessamo::shell
