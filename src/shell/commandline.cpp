#include "shell/commandline.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vessamo::shell {

namespace {

bool isOption(const QString &argument)
{
    // A lone "-" is standard input for /C --apply, never an option.
    return argument.size() > 1 && argument.startsWith(u'-');
}

} // namespace

Switch parseSwitch(const QStringList &arguments)
{
    static const std::array<std::pair<const char16_t *, Switch>, 5> order = {{
        {u"/I", Switch::Install},
        {u"/D", Switch::Remove},
        {u"/A", Switch::Toggle},
        {u"/C", Switch::Configure},
        {u"/E", Switch::Standalone},
    }};
    const QString line = arguments.join(u' ').toUpper();
    for (const auto &[text, value] : order) {
        if (line.contains(QString::fromUtf16(text)))
            return value;
    }
    return Switch::Service;
}

namespace {

// --requeue, --delete, --flush and what goes with them; a usage error names the first word
// that does not fit.
CommandLine parseQueueAction(const QStringList &arguments)
{
    CommandLine line;
    const QStringList folders {QStringLiteral("--queue"), QStringLiteral("--failed"),
                               QStringLiteral("--spam")};
    QString action;
    const auto refuse = [&line](const QString &word) {
        line.request = Request::UsageError;
        line.unknown = word;
        return line;
    };
    for (const QString &argument : arguments) {
        if ((argument == u"--requeue" || argument == u"--delete" || argument == u"--flush")
            && action.isEmpty()) {
            action = argument;
        } else if (folders.contains(argument) && line.listing.isEmpty()) {
            line.listing = argument;
        } else if (argument == u"--all" && !line.all) {
            line.all = true;
        } else if (argument == u"--yes" && !line.yes) {
            line.yes = true;
        } else if (!argument.startsWith(u'-') && !argument.startsWith(u'/')) {
            line.stems << argument;
        } else {
            return refuse(argument);
        }
    }
    if (action == u"--flush") {
        if (arguments.size() != 1)
            return refuse(arguments.first() == action ? arguments[1] : arguments.first());
        line.request = Request::Flush;
        return line;
    }
    // Some pairs or all of them, never both and never none.
    if (line.all == !line.stems.isEmpty())
        return refuse(line.all ? line.stems.first() : action);
    if (action == u"--requeue") {
        if (line.listing == u"--queue" || line.yes)
            return refuse(line.yes ? QStringLiteral("--yes") : line.listing);
        if (line.listing.isEmpty())
            line.listing = QStringLiteral("--failed");
        line.request = Request::Requeue;
        return line;
    }
    // Deleting is not undone: the folder is always said.
    if (line.listing.isEmpty())
        return refuse(action);
    line.request = Request::Delete;
    return line;
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    // The listings stand alone: one of them, and --json at most once. A request for help or
    // the version is answered as everywhere else.
    const QStringList listings {QStringLiteral("--queue"), QStringLiteral("--failed"),
                                QStringLiteral("--spam")};
    const QStringList answers {QStringLiteral("-h"), QStringLiteral("--help"), QStringLiteral("-V"),
                               QStringLiteral("--version")};
    const auto among = [&](const QStringList &words) {
        return std::ranges::any_of(arguments, [&](const QString &a) { return words.contains(a); });
    };
    const QStringList actions {QStringLiteral("--requeue"), QStringLiteral("--delete"),
                               QStringLiteral("--flush")};
    if (among(actions) && !among(answers))
        return parseQueueAction(arguments);
    if (among(listings) && !among(answers)) {
        for (const QString &argument : arguments) {
            if (listings.contains(argument) && line.listing.isEmpty()) {
                line.listing = argument;
            } else if (argument == u"--json" && !line.json) {
                line.json = true;
            } else {
                line.request = Request::UsageError;
                line.unknown = argument;
                return line;
            }
        }
        line.request = Request::ListPairs;
        return line;
    }
    qsizetype first = 0;
    while (first < arguments.size() && !arguments[first].startsWith(QStringLiteral("--")))
        ++first;
    line.sw = parseSwitch(arguments.first(first));
    line.options = arguments.sliced(first);

    // The options to judge, in order: single-dash words among the switches, then the first
    // "--" word. What follows that word belongs to it (a file name, KEY=VALUE), and after
    // /C the first word too is /C's own unless it asks for help or the version.
    QStringList candidates;
    for (const QString &argument : arguments.first(first)) {
        if (isOption(argument))
            candidates << argument;
    }
    if (!line.options.isEmpty())
        candidates << line.options.first();
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const QString &option = candidates[i];
        if (option == u"-h" || option == u"--help") {
            line.request = Request::Help;
            return line;
        }
        if (option == u"-V" || option == u"--version") {
            line.request = Request::Version;
            return line;
        }
        // What follows --check is its thresholds, checked by --check itself.
        if (i == candidates.size() - 1 && line.sw == Switch::Service
            && (option == u"--status" || option == u"--check")) {
            line.request = option == u"--status" ? Request::Status : Request::Check;
            return line;
        }
        const bool configureOption
            = line.sw == Switch::Configure && !line.options.isEmpty() && i == candidates.size() - 1;
        if (!configureOption) {
            line.request = Request::UsageError;
            line.unknown = option;
            return line;
        }
    }
    return line;
}

QString helpText()
{
    return QStringLiteral(
        "Ús: vessamo [/E | /C [OPCIONS] | /I | /D | /A]\n"
        "Encaminador de correu: llegeix bústies POP3 i en reenvia els missatges per SMTP.\n"
        "\n"
        "  (cap)      mode servei, com l'arrenca systemd\n"
        "  /E         executa l'encaminador sense servei (icona a la safata si hi ha "
        "pantalla)\n"
        "  /C         la configuració: el diàleg, o sense pantalla com a text:\n"
        "               vessamo /C [--print]\n"
        "               vessamo /C --apply [FITXER|-]\n"
        "               vessamo /C --set CLAU=VALOR...\n"
        "  /I         instal·la i activa el servei systemd vessamo.service\n"
        "  /D         desactiva i esborra el servei\n"
        "  /A         arrenca el servei instal·lat si està aturat, l'atura si funciona\n"
        "  --queue    llista la cua: una línia per missatge amb l'estat i l'últim error\n"
        "  --failed   llista els no enviats; --spam, l'arxiu de correu brossa\n"
        "  --json     amb --queue, --failed o --spam: la llista en JSON\n"
        "  --requeue STEM... | --requeue --all [--failed | --spam]\n"
        "             torna a la cua parelles dels no enviats (per defecte) o de l'spam\n"
        "  --delete STEM... | --delete --all  --queue | --failed | --spam  [--yes]\n"
        "             esborra parelles (ho pregunta si no hi ha --yes)\n"
        "  --flush    desperta l'encaminador en marxa: llegeix i reenvia ara\n"
        "  --status   el resum de la darrera execució i l'estat del servei\n"
        "  --check [--warn-age MIN] [--crit-intervals N] [--crit-failing MIN]\n"
        "             el veredicte per a la monitorització (0 OK, 1 WARNING, 2 CRITICAL,\n"
        "             3 UNKNOWN)\n"
        "  -h, --help     mostra aquesta ajuda\n"
        "  -V, --version  mostra la versió\n"
        "\n"
        "Senyals: SIGUSR1 llegeix les bústies ara, SIGTERM atura. Vegeu vessamo(8).\n");
}

QString versionText()
{
    return QStringLiteral("vessamo " VESSAMO_VERSION "\n");
}

QString usageText(const QString &unknown)
{
    return QStringLiteral("vessamo: opció desconeguda: %1\n"
                          "Ús: vessamo [/E | /C [OPCIONS] | /I | /D | /A] [-h | --help] "
                          "[-V | --version]\n"
                          "       vessamo --queue | --failed | --spam [--json]\n"
                          "       vessamo --requeue STEM... | --all [--failed | --spam]\n"
                          "       vessamo --delete STEM... | --all --queue | --failed | --spam "
                          "[--yes]\n"
                          "       vessamo --flush\n")
        .arg(unknown);
}

} // namespace vessamo::shell
