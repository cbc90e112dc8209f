// vessamo-send's arguments, configuration and the one Send it makes. Options follow mail(1)
// and msmtp: long options with short forms where those tools have them, recipients also as
// plain arguments, the body from a file or standard input.
#include "sendtool/sendcommand.h"

#include "config/configuracio.h"
#include "config/layout.h"
#include "mail/clsenviarcorreu.h"
#include "platform/blanks.h"
#include "platform/socketcontrol.h"
#include "platform/tls.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTextStream>

namespace vessamo::sendtool {

namespace {

// Joins and splits the object's lists: a character no address, name or path holds.
const QString kDelimiter = QStringLiteral("\x1f");
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
     "Log in as this user (AUTH LOGIN); an empty name turns the login off.",
     "name"},
    {{QStringLiteral("password-file")},
     "Read the password from the first line of this file (else $VESSAMO_SMTP_PASSWORD, else the "
     "configured one).",
     "file"},
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

// A body that is UTF-8 text goes out as ISO-8859-1, the character set its header names
// (characters beyond it become "?"); any other bytes pass as they are.
QByteArray bodyBytes(const QByteArray &raw)
{
    bool ascii = true;
    for (const char c : raw)
        ascii = ascii && static_cast<unsigned char>(c) < 128;
    if (ascii)
        return raw;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(raw);
    if (utf8.hasError())
        return raw;
    return text.toLatin1(); // "?" for what Latin-1 lacks
}

QString configPath(const SendOptions &options)
{
    if (!options.configFile.isEmpty())
        return options.configFile;
    // The file of the vessamo beside this program: /etc/vessamo/vessamo.vsm when installed.
    return config::configurationFilePath(config::programLayout(
        QCoreApplication::applicationDirPath() + QStringLiteral("/vessamo")));
}

void addMailboxes(const QStringList &given, QStringList &addresses, QStringList &names)
{
    for (const QString &text : given) {
        const auto [name, address] = splitMailbox(text);
        addresses << address;
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
    const QString path = configPath(o);
    // The administrator's extra CA file, found as for the router (TLS by port: 465, 587).
    platform::setExtraCaFile(platform::extraCaFilePath(path));
    if (QFileInfo::exists(path)) {
        if (!config::LlegirConfiguracio(path))
            return fail(QStringLiteral("cannot read the configuration file ") + path, 1);
        const config::ConfiguracioRecord &c = config::Configuracio;
        if (host.isEmpty())
            host = c.ServidorSMTP;
        port = quint16(c.PortSMTP);
        login = c.AutentificacioSMTP != 0;
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
    QString error;
    const QString given = readPassword(o, error);
    if (!error.isEmpty())
        return fail(error, 2);
    if (!given.isEmpty() || !o.passwordFile.isEmpty())
        password = given;

    QByteArray body;
    if (o.bodyFile.isEmpty() || o.bodyFile == u"-") {
        body = input.readAll();
    } else {
        QFile file(o.bodyFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the body file ") + o.bodyFile
                            + QStringLiteral(": ") + file.errorString(),
                        2);
        body = file.readAll();
    }

    platform::SocketControl socket;
    mail::clsEnviarCorreu m(socket);
    bool sent = false;
    QString failure, lastStatus;
    QObject::connect(&m, &mail::clsEnviarCorreu::Status, [&](const QString &text) {
        lastStatus = text;
        err << text << Qt::endl;
    });
    QObject::connect(&m, &mail::clsEnviarCorreu::SendFailed,
                     [&](const QString &text) { failure += text; });
    QObject::connect(&m, &mail::clsEnviarCorreu::SendSuccesful, [&] { sent = true; });

    // In this order: each check uses the settings in force when its value is assigned.
    m.SetSMTPHostValidation(0);
    m.SetEmailAddressValidation(1);
    m.SetDelimiter(kDelimiter);
    m.SetSMTPHost(host);
    m.SetSMTPPort(port);
    m.SetUseAuthentication(login);
    m.SetUserName(login ? user : QString());
    m.SetPassword(login ? password : QString());
    m.SetUsePopAuthentication(false);
    m.SetFrom(o.from);
    m.SetFromDisplayName(o.fromName);
    QStringList to, toNames, cc, ccNames, bcc, bccNames;
    addMailboxes(o.to, to, toNames);
    addMailboxes(o.cc, cc, ccNames);
    addMailboxes(o.bcc, bcc, bccNames);
    m.SetRecipient(to.join(kDelimiter));
    m.SetRecipientDisplayName(toNames.join(kDelimiter));
    m.SetCcRecipient(cc.join(kDelimiter));
    m.SetCcDisplayName(ccNames.join(kDelimiter));
    m.SetBccRecipient(bcc.join(kDelimiter));
    m.SetReplyToAddress(o.replyTo);
    m.SetSubject(o.subject);
    m.SetAsHTML(o.html);
    m.SetEncodeType(o.uuencode ? 1 : 0);
    m.SetPriority(o.priority);
    m.SetReceipt(o.receipt);
    m.SetContentBase(QString());
    m.SetMessage(bodyBytes(body));
    m.SetAttachment(o.attachments.join(kDelimiter));
    m.Send();
    if (sent)
        return 0;
    if (!failure.isEmpty()) {
        for (const QString &line : failure.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            fail(line, 1);
        return 1;
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
