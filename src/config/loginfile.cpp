#include "config/loginfile.h"

#include "config/keyvalue.h"

#include <QStringDecoder>
#include <QStringList>
#include <array>
#include <set>

namespace vessamo::config {

namespace {

// The three settings of a login, by their key's last word.
constexpr std::array<const char *, 3> kFields = {"login", "token-account", "token-command"};

QString &field(LoginSettings &login, int i)
{
    return i == 0 ? login.method : i == 1 ? login.tokenAccount : login.tokenCommand;
}

const QString &field(const LoginSettings &login, int i)
{
    return i == 0 ? login.method : i == 1 ? login.tokenAccount : login.tokenCommand;
}

QString escaped(const QString &text, bool server)
{
    QString out;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || u == u'%' || u == u'=' || u == u' ' || (server && u == u'@'))
            out += u'%' + QString::number(int(u), 16).rightJustified(2, u'0').toUpper();
        else
            out += c;
    }
    return out;
}

std::optional<QString> unescaped(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'%') {
            out += text[i];
            continue;
        }
        bool ok = false;
        const int code = text.mid(i + 1, 2).toInt(&ok, 16);
        if (!ok || i + 2 >= text.size())
            return std::nullopt;
        out += QChar(char16_t(code));
        i += 2;
    }
    return out;
}

QString mailboxKey(const MailboxIdentity &id)
{
    // Joined, not arg(): an escaped text holds "%3D" and the like.
    return QStringLiteral("pop3.") + escaped(id.user, false) + u'@' + escaped(id.server, true)
        + u':' + QString::number(id.port);
}

// "user@server:port" back to the identity.
std::optional<MailboxIdentity> identityOf(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    const qsizetype at = text.lastIndexOf(u'@', colon);
    if (colon < 0 || at < 0)
        return std::nullopt;
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    const std::optional<QString> user = unescaped(text.first(at));
    const std::optional<QString> server = unescaped(text.mid(at + 1, colon - at - 1));
    if (!ok || port > 65535 || !user || !server)
        return std::nullopt;
    return MailboxIdentity {*server, quint16(port), *user};
}

void write(QString &out, const QString &prefix, const LoginSettings &login)
{
    for (int i = 0; i < int(kFields.size()); ++i) {
        if (!field(login, i).isEmpty())
            out += prefix + u'.' + QLatin1String(kFields[size_t(i)]) + QStringLiteral(" = ")
                + quoteValue(field(login, i)) + u'\n';
    }
}

} // namespace

QString loginFilePath(const QString &configurationPath)
{
    return configurationPath + QStringLiteral(".login");
}

bool hasLoginSettings(const Configuration &configuration)
{
    if (!configuration.postmaster.isEmpty())
        return true;
    if (!configuration.smtpLogin.classic() || configuration.smtpLogin.hasTokenSource())
        return true;
    for (const Bustia &mailbox : configuration.mailboxes()) {
        const LoginSettings &login = configuration.loginFor(mailbox);
        if (!login.classic() || login.hasTokenSource())
            return true;
    }
    return false;
}

QByteArray encodeLoginFile(const Configuration &configuration, const QString &configurationPath)
{
    QString out = QStringLiteral("# Vessamo: how the logins of %1 are made. Change them with "
                                 "vessamo /C or the dialogs.\n")
                      .arg(configurationPath);
    write(out, QStringLiteral("smtp"), configuration.smtpLogin);
    if (!configuration.postmaster.isEmpty())
        out += QStringLiteral("postmaster = ") + quoteValue(configuration.postmaster) + u'\n';
    std::set<MailboxIdentity> done;
    for (const Bustia &mailbox : configuration.mailboxes()) {
        const MailboxIdentity id = MailboxIdentity::of(mailbox);
        if (done.insert(id).second)
            write(out, mailboxKey(id), configuration.loginFor(mailbox));
    }
    return out.toUtf8();
}

LoginFileRead parseLoginFile(const QByteArray &bytes)
{
    LoginFileRead read;
    QStringDecoder decoder(QStringConverter::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        read.error = QStringLiteral("no és text UTF-8");
        return read;
    }
    std::set<QString> seen;
    const KeyValueText parsed = readKeyValueText(text);
    for (const KeyValueLine &line : parsed.lines) {
        const auto wrong = [&](const QString &what) {
            read.error = lineError(line.number, what);
            return read;
        };
        const QString &key = line.key;
        const QString *value = &line.value;
        if (key == u"postmaster") {
            if (!seen.insert(key).second)
                return wrong(QStringLiteral("clau desconeguda o repetida: ") + key);
            read.postmaster = *value;
            continue;
        }
        const qsizetype dot = key.lastIndexOf(u'.');
        const QString name = key.mid(dot + 1);
        int which = -1;
        for (int i = 0; i < int(kFields.size()); ++i) {
            if (name == QLatin1String(kFields[size_t(i)]))
                which = i;
        }
        const QString owner = dot < 0 ? QString() : key.first(dot);
        LoginSettings *login = nullptr;
        if (owner == u"smtp") {
            login = &read.smtp;
        } else if (owner.startsWith(u"pop3.")) {
            if (const std::optional<MailboxIdentity> id = identityOf(owner.mid(5)))
                login = &read.mailboxes[*id];
        }
        if (!login || which < 0 || !seen.insert(key).second)
            return wrong(QStringLiteral("clau desconeguda o repetida: ") + key);
        if (which == 0) {
            const std::optional<QString> method = normalisedMethod(*value);
            field(*login, which) = method.value_or(*value);
        } else {
            field(*login, which) = *value;
        }
    }
    if (!parsed.error.isEmpty()) {
        read.error = parsed.error;
        return read;
    }
    if (const std::optional<LoginRefusal> why = checkLogin(read.smtp, LoginUse::Smtp, false))
        read.error = why->message;
    else if (const std::optional<QString> wrongPostmaster = checkPostmaster(read.postmaster))
        read.error = *wrongPostmaster;
    for (const auto &[id, login] : read.mailboxes) {
        if (!read.error.isEmpty())
            break;
        if (const std::optional<LoginRefusal> why = checkLogin(login, LoginUse::Pop3, false))
            read.error = mailboxKey(id) + QStringLiteral(": ") + why->message;
    }
    return read;
}

} // namespace vessamo::config
