#include "tokentool/tokencommand.h"

#include "config/layout.h"
#include "config/tokenfolder.h"
#include "mail/oauth.h"
#include "mail/oauthstore.h"
#include "platform/privatefile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <sys/stat.h>

namespace vessamo::tokentool {

using mail::OAuthProvider;

QString usageText()
{
    return QStringLiteral(
        "Usage: vessamo-token enrol ACCOUNT --provider google|microsoft|custom --client-id ID\n"
        "                     [--client-secret-file FILE] [--device | --browser] [--tenant T]\n"
        "                     [--auth-url URL] [--device-url URL] [--token-url URL] [--scope S]\n"
        "                     [--timeout SECONDS] [--store DIR]\n"
        "       vessamo-token show ACCOUNT [--store DIR]\n"
        "       vessamo-token token ACCOUNT [--store DIR]\n"
        "       vessamo-token forget ACCOUNT [--store DIR]\n"
        "\n"
        "Enrols an OAuth 2.0 account once and then prints fresh access tokens for it.\n"
        "  enrol   sign in by a code entered on another device (--device, Microsoft's default)\n"
        "          or in a browser on this machine (--browser, Google's and a custom\n"
        "          provider's default); stores the refresh token\n"
        "  show    the account's provider, scope and access-token expiry (never a token)\n"
        "  token   a valid access token on standard output, refreshed when needed\n"
        "  forget  removes the account's file\n"
        "\n"
        "  --provider NAME         google, microsoft (--tenant T, default common) or custom\n"
        "  --client-id ID          the client id of your registration with the provider\n"
        "  --client-secret-file F  its secret, from the file's first line (never an option value)\n"
        "  --auth-url, --device-url, --token-url URL, --scope S\n"
        "                          a custom provider's endpoints and scope (--scope also\n"
        "                          replaces a preset's)\n"
        "  --timeout SECONDS       how long the browser sign-in may take (default 300)\n"
        "  --store DIR             the token folder (default: the one the router beside this\n"
        "                          program reads, /var/lib/vessamo/tokens when installed,\n"
        "                          else tokens/ beside its configuration file)\n"
        "Exit status: 0 success, 1 failure (the reason on standard error), 2 bad arguments.\n");
}

namespace {

// What the options of one command may be: enrol's own are refused elsewhere, and a
// provider's endpoints are either built in or all given.
QString checkCombination(const TokenOptions &o, const QString &command)
{
    const bool enrolling = o.command == TokenOptions::Command::Enrol;
    const bool enrolOptions = !o.provider.isEmpty() || !o.clientId.isEmpty()
        || !o.clientSecretFile.isEmpty() || !o.authUrl.isEmpty() || !o.deviceUrl.isEmpty()
        || !o.tokenUrl.isEmpty() || !o.scope.isEmpty() || !o.tenant.isEmpty()
        || o.flow != TokenOptions::Flow::Default;
    if (!enrolling) {
        if (enrolOptions)
            return QStringLiteral("'%1' takes only --store").arg(command);
        return QString();
    }
    if (o.provider != QLatin1String("google") && o.provider != QLatin1String("microsoft")
        && o.provider != QLatin1String("custom"))
        return QStringLiteral("--provider wants google, microsoft or custom");
    if (o.clientId.isEmpty())
        return QStringLiteral("enrol needs --client-id");
    if (!o.tenant.isEmpty() && o.provider != QLatin1String("microsoft"))
        return QStringLiteral("--tenant is for --provider microsoft");
    const bool custom = o.provider == QLatin1String("custom");
    if (!custom && (!o.authUrl.isEmpty() || !o.deviceUrl.isEmpty() || !o.tokenUrl.isEmpty()))
        return QStringLiteral("--auth-url, --device-url and --token-url are for --provider custom");
    if (custom) {
        if (o.tokenUrl.isEmpty() || o.scope.isEmpty())
            return QStringLiteral("--provider custom needs --token-url and --scope");
        if (o.flow == TokenOptions::Flow::Device && o.deviceUrl.isEmpty())
            return QStringLiteral("--device needs --device-url");
        if (o.flow != TokenOptions::Flow::Device && o.authUrl.isEmpty())
            return QStringLiteral("the browser sign-in needs --auth-url (or choose --device)");
    }
    return QString();
}

} // namespace

ParsedArguments parseArguments(const QStringList &arguments)
{
    ParsedArguments parsed;
    TokenOptions &o = parsed.options;
    QStringList plain;
    const auto fail = [&](const QString &why) {
        parsed.error = why;
        return parsed;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            parsed.help = true;
            return parsed;
        }
        if (argument == QLatin1String("--version")) {
            parsed.version = true;
            return parsed;
        }
        if (!argument.startsWith(QLatin1String("--"))) {
            plain.append(argument);
            continue;
        }
        QString name = argument.mid(2);
        std::optional<QString> value;
        if (const qsizetype equals = name.indexOf(u'='); equals >= 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        }
        if (name == QLatin1String("device") || name == QLatin1String("browser")) {
            if (value)
                return fail(QStringLiteral("'--%1' takes no value").arg(name));
            const auto flow = name == QLatin1String("device") ? TokenOptions::Flow::Device
                                                              : TokenOptions::Flow::Browser;
            if (o.flow != TokenOptions::Flow::Default && o.flow != flow)
                return fail(QStringLiteral("--device and --browser exclude each other"));
            o.flow = flow;
            continue;
        }
        const std::pair<const char *, QString *> valued[] = {
            {"provider", &o.provider},  {"tenant", &o.tenant},
            {"client-id", &o.clientId}, {"client-secret-file", &o.clientSecretFile},
            {"auth-url", &o.authUrl},   {"device-url", &o.deviceUrl},
            {"token-url", &o.tokenUrl}, {"scope", &o.scope},
            {"store", &o.store},
        };
        QString *target = nullptr;
        for (const auto &[known, field] : valued) {
            if (name == QLatin1String(known))
                target = field;
        }
        if (!target && name != QLatin1String("timeout"))
            return fail(QStringLiteral("Unknown option '%1'").arg(name));
        if (!value) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("Missing value after '--%1'").arg(name));
            value = arguments[++i];
        }
        if (target) {
            *target = *value;
        } else {
            bool ok = false;
            o.timeoutSeconds = value->toInt(&ok);
            if (!ok || o.timeoutSeconds < 1 || o.timeoutSeconds > 3600)
                return fail(QStringLiteral("--timeout wants 1 to 3600 seconds"));
        }
    }
    if (plain.size() != 2)
        return fail(plain.isEmpty() ? QStringLiteral("no command")
                                    : QStringLiteral("a command and one account, nothing more"));
    const QString &command = plain[0];
    if (command == QLatin1String("enrol") || command == QLatin1String("enroll"))
        o.command = TokenOptions::Command::Enrol;
    else if (command == QLatin1String("show"))
        o.command = TokenOptions::Command::Show;
    else if (command == QLatin1String("token"))
        o.command = TokenOptions::Command::Token;
    else if (command == QLatin1String("forget"))
        o.command = TokenOptions::Command::Forget;
    else
        return fail(QStringLiteral("Unknown command '%1'").arg(command));
    o.account = plain[1];
    if (!mail::validAccountName(o.account))
        return fail(QStringLiteral("'%1' is not an account name (letters, digits and . _ @ + -, "
                                   "not starting with '.')")
                        .arg(o.account));
    parsed.error = checkCombination(o, command);
    return parsed;
}

namespace {

// The folder the router beside this program reads its tokens from, unless --store names one.
QString storeFolder(const TokenOptions &options)
{
    if (!options.store.isEmpty())
        return options.store;
    return config::tokenFolder(
        config::programLayout(QCoreApplication::applicationDirPath() + QStringLiteral("/vessamo")));
}

// The secret's file: its first line. Never from the command line, where `ps` shows it.
std::optional<QString> readSecret(const QString &path, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the client secret file %1: %2")
                    .arg(path, file.errorString());
        return std::nullopt;
    }
    const QString secret = QString::fromUtf8(file.read(4096).split('\n').value(0)).trimmed();
    if (secret.isEmpty()) {
        error = QStringLiteral("the client secret file %1 is empty").arg(path);
        return std::nullopt;
    }
    return secret;
}

// The store's lock for a write, held by the caller while the result lives: empty (and said
// why) when another process kept it for a refresh's longest time. A store that cannot be
// locked at all is written unlocked, as it always was.
std::optional<mail::TokenStoreLock> lockedStore(const mail::TokenStore &store, QTextStream &err)
{
    constexpr int kWaitSeconds = 60;
    mail::TokenStoreLock lock = store.lock(QDeadlineTimer(kWaitSeconds * 1000));
    if (lock.state == mail::TokenStoreLock::State::Busy) {
        err << "vessamo-token: another process kept the token store locked for " << kWaitSeconds
            << " s; nothing was written" << Qt::endl;
        return std::nullopt;
    }
    return lock;
}

int enrol(const TokenOptions &o, QTextStream &out, QTextStream &err)
{
    OAuthProvider provider;
    if (o.provider == QLatin1String("custom")) {
        provider.name = o.provider;
        provider.authorizationUrl = QUrl(o.authUrl);
        provider.deviceAuthorizationUrl = QUrl(o.deviceUrl);
        provider.tokenUrl = QUrl(o.tokenUrl);
    } else {
        provider = *mail::providerPreset(o.provider, o.tenant);
    }
    if (!o.scope.isEmpty())
        provider.scope = o.scope;
    // Google's device flow does not grant access to mail: its default is the browser.
    const bool device = o.flow == TokenOptions::Flow::Device
        || (o.flow == TokenOptions::Flow::Default && o.provider == QLatin1String("microsoft"));
    for (const QUrl &url : {device ? provider.deviceAuthorizationUrl : provider.authorizationUrl,
                            provider.tokenUrl}) {
        if (const QString problem = mail::endpointProblem(url); !problem.isEmpty()) {
            err << "vessamo-token: " << problem << Qt::endl;
            return 1;
        }
    }
    mail::OAuthClient::Client client {o.clientId, QString()};
    if (!o.clientSecretFile.isEmpty()) {
        QString error;
        const auto secret = readSecret(o.clientSecretFile, error);
        if (!secret) {
            err << "vessamo-token: " << error << Qt::endl;
            return 1;
        }
        client.secret = *secret;
    }
    const mail::TokenStore store(storeFolder(o));
    // A missing folder is made, owner-only; the installed service's comes with the package,
    // owned by the service's account, which must go on rewriting the files root enrols.
    if (store.folder() != QString::fromUtf16(config::kSystemTokenFolder)
        && !QFileInfo::exists(store.folder()))
        ::mkdir(QFile::encodeName(store.folder()).constData(), 0700);
    if (const auto problem = platform::privateFolderProblem(store.folder())) {
        err << "vessamo-token: " << *problem << Qt::endl;
        return 1;
    }
    mail::OAuthClient oauth;
    oauth.setBrowserTimeoutMs(o.timeoutSeconds * 1000);
    const auto prompt = [&out](const QString &line) { out << line << Qt::endl; };
    const mail::OAuthEnrolment enrolment = device
        ? oauth.enrolByDevice(o.account, provider, client, prompt)
        : oauth.enrolByBrowser(o.account, provider, client, prompt);
    if (!enrolment.account) {
        err << "vessamo-token: " << enrolment.error << Qt::endl;
        return 1;
    }
    const auto locked = lockedStore(store, err);
    if (!locked)
        return 1;
    if (const QString error = store.save(*enrolment.account); !error.isEmpty()) {
        err << "vessamo-token: " << error << Qt::endl;
        return 1;
    }
    out << "Enrolled '" << o.account << "' in " << store.folder() << Qt::endl;
    return 0;
}

int show(const TokenOptions &o, QTextStream &out, QTextStream &err)
{
    const mail::StoredAccount stored = mail::TokenStore(storeFolder(o)).load(o.account);
    if (!stored.account) {
        err << "vessamo-token: " << stored.error << Qt::endl;
        return 1;
    }
    const mail::OAuthAccount &a = *stored.account;
    out << "account: " << a.name << '\n'
        << "provider: " << a.provider << '\n'
        << "scope: " << a.scope << '\n'
        << "token endpoint: " << a.tokenUrl << '\n'
        << "client id: " << a.clientId << '\n'
        << "client secret: " << (a.clientSecret.isEmpty() ? "none" : "stored") << '\n'
        << "refresh token: stored\n";
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (a.accessToken.isEmpty() || !a.accessTokenExpires.isValid())
        out << "access token: none cached\n";
    else if (a.accessTokenExpires <= now)
        out << "access token: expired " << a.accessTokenExpires.toString(Qt::ISODate) << '\n';
    else
        out << "access token: expires " << a.accessTokenExpires.toString(Qt::ISODate) << " (in "
            << (now.secsTo(a.accessTokenExpires) + 59) / 60 << " min)\n";
    out.flush();
    return 0;
}

} // namespace

int runToken(const TokenOptions &options, QTextStream &out, QTextStream &err)
{
    switch (options.command) {
    case TokenOptions::Command::Enrol:
        return enrol(options, out, err);
    case TokenOptions::Command::Show:
        return show(options, out, err);
    case TokenOptions::Command::Token: {
        mail::OAuthTokenSource source(storeFolder(options));
        const auto token = source.accessToken(options.account);
        if (!token.ok()) {
            err << "vessamo-token: " << token.error << Qt::endl;
            return 1;
        }
        out << token.accessToken << Qt::endl;
        return 0;
    }
    case TokenOptions::Command::Forget: {
        const mail::TokenStore store(storeFolder(options));
        if (!store.exists(options.account)) {
            err << "vessamo-token: no account '" << options.account << "' in " << store.folder()
                << Qt::endl;
            return 1;
        }
        const auto locked = lockedStore(store, err);
        if (!locked)
            return 1;
        if (const QString error = store.forget(options.account); !error.isEmpty()) {
            err << "vessamo-token: " << error << Qt::endl;
            return 1;
        }
        out << "Forgot '" << options.account << "'" << Qt::endl;
        return 0;
    }
    }
    return 1;
}

} // namespace vessamo::tokentool
