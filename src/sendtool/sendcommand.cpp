// vessamo-send's arguments, configuration and the one Send it makes. Options follow mail(1)
// and msmtp: long options with short forms where those tools have them, recipients also as
// plain arguments, the body from a file or standard input.
#include "sendtool/sendcommand.h"

#include "config/configuracio.h"
#include "config/layout.h"
#include "config/loginsettings.h"
#include "config/tokenfolder.h"
#include "mail/addressvalidation.h"
#include "mail/clsenviarcorreu.h"
#include "mail/mailsetup.h"
#include "platform/blanks.h"
#include "platform/socketcontrol.h"
#include "platform/tls.h"
#include "routing/tokensource.h"
#include "sendtool/bodyfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QUrl>

namespace vessamo::sendtool {

namespace {

constexpr const char *kPasswordVariable = "VESSAMO_SMTP_PASSWORD";

struct OptionEntry
{
    QStringList names;
    const char *description;
    const char *valueName; // null for a flag
};

const OptionEntry kOptions[] = {
    {{QStringLiteral("f"), QStringLiteral("from")}, "Sender address (required).", "address"},
    {{QStringLiteral("F"), QStringLiteral("from-name")}, "Sender's display name.", "name"},
    {{QStringLiteral("t"), QStringLiteral("to")},
     "Recipient, \"Name <address>\" or an address; repeatable. Plain arguments are recipients "
     "too.",
     "recipient"},
    {{QStringLiteral("c"), QStringLiteral("cc")}, "Copy recipient; repeatable.", "recipient"},
    {{QStringLiteral("b"), QStringLiteral("bcc")}, "Blind copy recipient; repeatable.", "address"},
    {{QStringLiteral("s"), QStringLiteral("subject")}, "Subject.", "text"},
    {{QStringLiteral("body")}, "Body file; \"-\" or none: standard input.", "file"},
    {{QStringLiteral("html")}, "The body is HTML (pictures it names are embedded).", nullptr},
    {{QStringLiteral("a"), QStringLiteral("attach")}, "Attach a file; repeatable.", "file"},
    {{QStringLiteral("priority")}, "1 (high) to 5 (low); 3 writes no priority header.", "n"},
    {{QStringLiteral("receipt")}, "Ask for a read receipt.", nullptr},
    {{QStringLiteral("reply-to")}, "Reply-to address.", "address"},
    {{QStringLiteral("uuencode")}, "Attach files UU-encoded, without MIME.", nullptr},
    {{QStringLiteral("config")},
     "Vessamo's configuration file (default: $VESSAMO_CONFIG, else Vessamo's own: "
     "/etc/vessamo/vessamo.vsm when installed, else vessamo.vsm beside this program).",
     "file"},
    {{QStringLiteral("server")}, "SMTP server, instead of the configured one.", "host"},
    {{QStringLiteral("port")},
     "SMTP port (465: TLS, 587: STARTTLS), instead of the configured one.",
     "port"},
    {{QStringLiteral("user")},
     "Log in as this user (by the login method; classic: AUTH LOGIN); an empty name turns "
     "the login off.",
     "name"},
    {{QStringLiteral("password-file")},
     "Read the password from the first line of this file (else $VESSAMO_SMTP_PASSWORD, else the "
     "configured one).",
     "file"},
    {{QStringLiteral("login")},
     "Login method: classic (AUTH LOGIN), auto (the strongest the server offers) or a SASL "
     "mechanism (PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1, SCRAM-SHA-256, XOAUTH2, OAUTHBEARER), "
     "instead of the configured one.",
     "method"},
    {{QStringLiteral("token-account")},
     "Log in with an access token of this vessamo-token account.",
     "name"},
    {{QStringLiteral("token-command")},
     "Log in with the access token this command prints (absolute path of the program).",
     "command"},
};

QCommandLineOption makeOption(const OptionEntry &entry)
{
    QCommandLineOption option(entry.names, QString::fromUtf8(entry.description));
    if (entry.valueName)
        option.setValueName(QString::fromUtf8(entry.valueName));
    return option;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setApplicationDescription(
        QStringLiteral("Composes one message and sends it through the SMTP server of Vessamo's "
                       "configuration.\nExit status: 0 sent, 1 not sent (the reason on standard "
                       "error), 2 bad arguments."));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const OptionEntry &entry : kOptions)
        parser.addOption(makeOption(entry));
    parser.addPositionalArgument(QStringLiteral("recipient"), QStringLiteral("Recipients."),
                                 QStringLiteral("[recipient...]"));
}

std::optional<qint32> number(const QString &text, qint32 low, qint32 high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

QString readPassword(const SendOptions &options, QString &error)
{
    if (!options.passwordFile.isEmpty()) {
        QFile file(options.passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read the password file ") + options.passwordFile
                + QStringLiteral(": ") + file.errorString();
            return {};
        }
        QByteArray line = file.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        return QString::fromUtf8(line);
    }
    return qEnvironmentVariable(kPasswordVariable);
}

bool controlCharacter(QChar c)
{
    return c.unicode() < 32 || (c.unicode() >= 127 && c.unicode() < 160);
}

// An address as it goes into the envelope and the headers, or an empty text with `error`
// set. A domain outside ASCII is written in its IDNA form (RFC 5890); a local part outside
// ASCII has no such form here (SMTPUTF8 is not spoken) and is refused, as is any control
// character or anything that could break out of the command line.
QString wireAddress(const QString &given, const char *what, QString &error)
{
    const QString address = platform::trimBlanks(given);
    const auto refuse = [&](const QString &why) {
        // Shown with its control characters spelled out: an escape sequence in a message
        // would act on the terminal that shows it.
        QString shown;
        for (const QChar c : given) {
            shown += controlCharacter(c)
                ? QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'))
                : QString(c);
        }
        error = QString::fromLatin1(what) + QStringLiteral(" \"") + shown + QStringLiteral("\": ")
            + why;
        return QString();
    };
    for (const QChar c : given) {
        if (controlCharacter(c))
            return refuse(QStringLiteral("holds a control character"));
        if (c == u'<' || c == u'>')
            return refuse(QStringLiteral("holds an angle bracket"));
    }
    if (!mail::IsValidEmailAddress(address))
        return refuse(QStringLiteral("not an e-mail address"));
    const qsizetype at = address.indexOf(u'@');
    const QString local = address.left(at);
    for (const QChar c : local) {
        if (c.unicode() > 126)
            return refuse(QStringLiteral("the part before \"@\" must be ASCII"));
    }
    const QString domain = address.mid(at + 1);
    bool ascii = true;
    for (const QChar c : domain)
        ascii = ascii && c.unicode() <= 126;
    if (ascii)
        return address;
    const QByteArray ace = QUrl::toAce(domain);
    if (ace.isEmpty())
        return refuse(QStringLiteral("the domain is not a valid international name"));
    return local + u'@' + QString::fromLatin1(ace);
}

// The wire form of an address that checkAddresses has passed.
QString aceAddress(const QString &address)
{
    QString error;
    return wireAddress(address, "", error);
}

// Every address of the options checked, and the count of recipients: the reason for the
// first refusal, or an empty text.
QString checkAddresses(const SendOptions &o)
{
    QString error;
    wireAddress(o.from, "sender", error);
    if (error.isEmpty() && !o.replyTo.isEmpty())
        wireAddress(o.replyTo, "reply-to address", error);
    for (const QStringList *list : {&o.to, &o.cc, &o.bcc}) {
        for (const QString &text : *list) {
            if (error.isEmpty())
                wireAddress(splitMailbox(text).second, "recipient", error);
        }
    }
    const qsizetype count = o.to.size() + o.cc.size() + o.bcc.size();
    // The mail object's limit, refused here before anything is read or sent.
    if (error.isEmpty() && count > mail::kMaxRecipients)
        error = QStringLiteral("too many recipients: %1, at most %2")
                    .arg(count)
                    .arg(mail::kMaxRecipients);
    return error;
}

// The layout of the vessamo beside this program.
config::Layout routerLayout()
{
    return config::programLayout(QCoreApplication::applicationDirPath()
                                 + QStringLiteral("/vessamo"));
}

QString configPath(const SendOptions &options)
{
    if (!options.configFile.isEmpty())
        return options.configFile;
    // The router's file: /etc/vessamo/vessamo.vsm when installed.
    return config::configurationFilePath(routerLayout());
}

void addMailboxes(const QStringList &given, QStringList &addresses, QStringList &names)
{
    for (const QString &text : given) {
        const auto [name, address] = splitMailbox(text);
        addresses << aceAddress(address);
        names << name;
    }
}

} // namespace

std::pair<QString, QString> splitMailbox(const QString &text)
{
    const QString trimmed = platform::trimBlanks(text);
    const qsizetype open = trimmed.lastIndexOf(u'<');
    if (open < 0 || !trimmed.endsWith(u'>'))
        return {QString(), trimmed};
    QString name = platform::trimBlanks(trimmed.left(open));
    if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"'))
        name = name.mid(1, name.size() - 2);
    return {name, trimmed.mid(open + 1, trimmed.size() - open - 2)};
}

QString usageText()
{
    QCommandLineParser parser;
    addOptions(parser);
    return parser.helpText();
}

ParsedArguments parseArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    addOptions(parser);
    ParsedArguments parsed;
    if (!parser.parse(QStringList {QStringLiteral("vessamo-send")} + arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    parsed.help = parser.isSet(QStringLiteral("help"));
    parsed.version = parser.isSet(QStringLiteral("version"));
    if (parsed.help || parsed.version)
        return parsed;
    SendOptions &o = parsed.options;
    const auto value = [&](const char *name) { return parser.value(QString::fromLatin1(name)); };
    const auto values = [&](const char *name) { return parser.values(QString::fromLatin1(name)); };
    o.from = value("from");
    o.fromName = value("from-name");
    o.to = values("to") + parser.positionalArguments();
    o.cc = values("cc");
    o.bcc = values("bcc");
    o.subject = value("subject");
    o.bodyFile = value("body");
    o.html = parser.isSet(QStringLiteral("html"));
    o.attachments = values("attach");
    o.receipt = parser.isSet(QStringLiteral("receipt"));
    o.replyTo = value("reply-to");
    o.uuencode = parser.isSet(QStringLiteral("uuencode"));
    o.configFile = value("config");
    o.server = value("server");
    o.passwordFile = value("password-file");
    if (parser.isSet(QStringLiteral("user")))
        o.user = value("user");
    if (parser.isSet(QStringLiteral("login"))) {
        o.login = config::normalisedMethod(value("login"));
        if (!o.login || *o.login == u"APOP")
            parsed.error = QStringLiteral("--login wants classic, auto or a SASL mechanism "
                                          "(PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1, SCRAM-SHA-256, "
                                          "XOAUTH2, OAUTHBEARER), not \"")
                + value("login") + u'"';
    }
    if (parser.isSet(QStringLiteral("token-account")))
        o.tokenAccount = value("token-account");
    if (parser.isSet(QStringLiteral("token-command")))
        o.tokenCommand = value("token-command");
    if (parser.isSet(QStringLiteral("priority"))) {
        const auto priority = number(value("priority"), 1, 5);
        if (!priority)
            parsed.error = QStringLiteral("--priority wants a number from 1 to 5, not \"")
                + value("priority") + u'"';
        else
            o.priority = *priority;
    }
    if (parser.isSet(QStringLiteral("port"))) {
        o.port = number(value("port"), 1, 65535);
        if (!o.port)
            parsed.error = QStringLiteral("--port wants a number from 1 to 65535, not \"")
                + value("port") + u'"';
    }
    if (parsed.error.isEmpty() && o.from.isEmpty())
        parsed.error = QStringLiteral("no sender: give --from ADDRESS");
    if (parsed.error.isEmpty() && o.to.isEmpty() && o.cc.isEmpty() && o.bcc.isEmpty())
        parsed.error = QStringLiteral("no recipient: give --to, --cc, --bcc or an address");
    if (parsed.error.isEmpty() && o.html && o.uuencode)
        parsed.error = QStringLiteral("--html needs MIME: leave out --uuencode");
    if (parsed.error.isEmpty())
        parsed.error = checkAddresses(o);
    for (const QString &path : std::as_const(o.attachments)) {
        if (parsed.error.isEmpty() && !QFileInfo(path).isFile())
            parsed.error = QStringLiteral("no such file to attach: ") + path;
    }
    return parsed;
}

int runSend(const SendOptions &o, QIODevice &input, QTextStream &err)
{
    const auto fail = [&](const QString &text, int status) {
        err << "vessamo-send: " << text << Qt::endl;
        return status;
    };

    // The SMTP settings: the configuration's, then the options'.
    QString host = o.server;
    qint32 port = 25;
    bool login = false;
    QString user, password;
    config::LoginSettings loginSettings;
    const QString path = configPath(o);
    // The administrator's extra CA file, found as for the router (TLS by port: 465, 587).
    platform::setExtraCaFile(platform::extraCaFilePath(path));
    if (QFileInfo::exists(path)) {
        const config::ConfigurationLoad load = config::LlegirConfiguracio(path);
        if (!load.loaded())
            return fail(QStringLiteral("cannot read the configuration file ") + path, 1);
        const config::ConfiguracioRecord &c = load.configuration.Configuracio;
        // The configured login method belongs to the configured server.
        if (host.isEmpty()) {
            host = c.ServidorSMTP;
            loginSettings = load.configuration.smtpLogin;
        }
        port = c.smtpPort();
        login = c.smtpAuthentication();
        user = c.UsuariSMTP;
        password = c.ContrassenyaSMTP;
    } else if (o.server.isEmpty()) {
        return fail(QStringLiteral("no configuration file ") + path
                        + QStringLiteral(" and no --server"),
                    2);
    }
    if (o.port)
        port = *o.port;
    if (o.user) {
        user = *o.user;
        login = !user.isEmpty();
    }
    if (o.login)
        loginSettings.method = *o.login;
    if (o.tokenAccount || o.tokenCommand) {
        loginSettings.tokenAccount = o.tokenAccount.value_or(QString());
        loginSettings.tokenCommand = o.tokenCommand.value_or(QString());
    }
    // The configuration's own rules for a login, on what the options made of it. A token
    // command of the configuration is checked as at its load: a program removed since is
    // the login's failure, not a bad argument.
    if (const auto refusal = config::checkLogin(loginSettings, config::LoginUse::Smtp,
                                                o.tokenCommand.has_value()))
        return fail(refusal->message, 2);
    // A method named on the command line is a login even without a configured one.
    if (o.login && !o.login->isEmpty())
        login = true;
    QString error;
    const QString given = readPassword(o, error);
    if (!error.isEmpty())
        return fail(error, 2);
    if (!given.isEmpty() || !o.passwordFile.isEmpty())
        password = given;

    BodyFile body;
    if (!openBody(o.bodyFile, input, body, error))
        return fail(error, 2);

    platform::SocketControl socket;
    mail::clsEnviarCorreu m(socket);
    bool sent = false;
    // A refusal before the first status is a refusal before any traffic: bad arguments.
    bool traffic = false, refusedBefore = false;
    QString failure, lastStatus;
    QObject::connect(&m, &mail::clsEnviarCorreu::Status, [&](const QString &text) {
        traffic = true;
        lastStatus = text;
        err << text << Qt::endl;
    });
    QObject::connect(&m, &mail::clsEnviarCorreu::SendFailed, [&](const QString &text) {
        failure += text;
        refusedBefore = refusedBefore || !traffic;
    });
    QObject::connect(&m, &mail::clsEnviarCorreu::SendSuccesful, [&] { sent = true; });

    mail::SendSettings settings;
    settings.server = {host, port, login, user, password};
    settings.from = aceAddress(o.from);
    settings.fromName = o.fromName;
    addMailboxes(o.to, settings.to, settings.toNames);
    addMailboxes(o.cc, settings.cc, settings.ccNames);
    QStringList bccNames;
    addMailboxes(o.bcc, settings.bcc, bccNames);
    settings.replyTo = o.replyTo.isEmpty() ? QString() : aceAddress(o.replyTo);
    settings.subject = o.subject;
    settings.html = o.html;
    settings.encodeType = o.uuencode ? 1 : 0;
    settings.priority = o.priority;
    settings.receipt = o.receipt;
    settings.body = body.file.get();
    settings.charset = body.charset;
    settings.attachments = o.attachments;
    mail::setUpForSend(m, settings);
    // The token source reports its failure once, on standard error; the session's own
    // failure says the same again, so it is left out.
    bool tokenFailed = false;
    routing::TokenSources tokens(config::tokenFolder(routerLayout(), path), nullptr,
                                 [&](const QString &text) {
                                     tokenFailed = true;
                                     err << "vessamo-send: " << text << Qt::endl;
                                 });
    if (login) {
        m.setLoginMethod(loginSettings.method);
        m.setAccessTokenSource(tokens.accessTokenFor(QStringLiteral("SMTP login: "),
                                                     loginSettings.tokenAccount,
                                                     loginSettings.tokenCommand));
    }
    m.Send();
    if (sent)
        return 0;
    if (tokenFailed)
        return 1;
    if (!failure.isEmpty()) {
        for (const QString &line : failure.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            fail(line, 1);
        return refusedBefore ? 2 : 1;
    }
    // No report: the session could not be opened (no server found, login refused).
    return fail(QStringLiteral("not sent")
                    + (lastStatus.isEmpty() ? QString() : QStringLiteral(": ") + lastStatus)
                    + (m.ErrorList().isEmpty()
                           ? QString()
                           : QStringLiteral(" (") + m.ErrorList().join(u"; ") + u')'),
                1);
}

} // namespace vessamo::sendtool
