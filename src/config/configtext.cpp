#include "config/configtext.h"

#include "config/configform.h"
#include "config/keyvalue.h"

#include <QStringList>
#include <array>
#include <map>
#include <set>

namespace vessamo::config {

namespace {

struct ConfigKey
{
    const char *name;
    int box; // a ConfigBox, or one of the two check boxes below
};
constexpr int kAuthKey = -1;
constexpr int kFilterKey = -2;
constexpr int kLoginKey = -3;
constexpr int kPostmasterKey = -4;

// In the order of the dialog.
constexpr std::array<ConfigKey, 18> kConfigKeys = {{
    {"smtp.server", kServidorSMTP},
    {"smtp.port", kPortSMTP},
    {"smtp.auth", kAuthKey},
    {"smtp.user", kUsuariSMTP},
    {"smtp.password", kContrassenyaSMTP},
    {"smtp.login", kLoginKey},
    {"smtp.token-account", kCompteTestimoniSMTP},
    {"smtp.token-command", kOrdreTestimoniSMTP},
    {"interval", kInterval},
    {"folder.queue", kCarpetaCua},
    {"folder.sent", kCarpetaSiEnviats},
    {"folder.failed", kCarpetaNoEnviats},
    {"archive.days", kDiesArxiu},
    {"spam.filter", kFilterKey},
    {"spam.program", kProgramaSpam},
    {"spam.folder", kCarpetaSpam},
    {"spam.mark", kMarcaSpam},
    {"postmaster", kPostmasterKey},
}};

// The login's method is not a box of the form.
constexpr MailboxBox kMailboxLoginKey = kMailboxBoxCount;

constexpr std::array<std::pair<const char *, MailboxBox>, 8> kMailboxKeys = {{
    {"server", kServidor},
    {"port", kPort},
    {"user", kUsuari},
    {"password", kContrassenya},
    {"login", kMailboxLoginKey},
    {"token-account", kCompteTestimoni},
    {"token-command", kOrdreTestimoni},
    {"forward-to", kEnviarA},
}};

std::optional<bool> yesNo(const QString &value)
{
    const QString v = value.toLower();
    if (v == u"yes" || v == u"true" || v == u"on" || v == u"1" || v == u"sí" || v == u"si")
        return true;
    if (v == u"no" || v == u"false" || v == u"off" || v == u"0")
        return false;
    return std::nullopt;
}

void line(QString &out, const QString &key, const QString &value)
{
    out += key + QStringLiteral(" = ") + quoteValue(value) + u'\n';
}

void passwordLine(QString &out, const QString &key, const QString &password)
{
    out += QStringLiteral("# %1 is %2\n").arg(key, password.isEmpty() ? u"empty" : u"set");
}

// What one mailbox of the text asks for.
struct MailboxEdit
{
    std::map<MailboxBox, QString> boxes;
    std::optional<QString> login;
    bool remove = false;
};

} // namespace

bool isPasswordKey(const QString &key)
{
    if (key == u"smtp.password")
        return true;
    const QStringList parts = key.split(u'.');
    return parts.size() == 3 && parts[0] == u"mailbox" && parts[2] == u"password";
}

QString configurationText(const Configuration &configuration, const QString &path,
                          const QString &programFolder)
{
    const ConfigForm form = ConfigForm::fromConfiguration(configuration, programFolder);
    QString out = QStringLiteral("# Vessamo configuration: %1\n"
                                 "# Passwords are never printed; a password line given to "
                                 "--apply replaces the stored one.\n"
                                 "# TLS by port: SMTP 465 from the first byte, 587 with "
                                 "STARTTLS; POP3 995; any other port in clear text.\n")
                      .arg(path);
    for (const ConfigKey &key : kConfigKeys) {
        const QString name = QString::fromLatin1(key.name);
        if (key.box == kAuthKey || key.box == kFilterKey) {
            const bool on = key.box == kAuthKey ? form.autentificacio : form.filtreSpam;
            line(out, name, on ? QStringLiteral("yes") : QStringLiteral("no"));
        } else if (key.box == kContrassenyaSMTP) {
            passwordLine(out, name, form.text[kContrassenyaSMTP]);
        } else if (key.box == kLoginKey) {
            line(out, name, methodText(form.login));
        } else if (key.box == kPostmasterKey) {
            line(out, name, form.postmaster);
        } else {
            line(out, name, form.text[size_t(key.box)]);
        }
    }
    const std::span<const Bustia> table = configuration.mailboxes();
    for (int i = 0; i < int(table.size()); ++i) {
        const MailboxForm mailbox
            = MailboxForm::fromEntry(table[size_t(i)], configuration.loginFor(table[size_t(i)]));
        for (const auto &[name, box] : kMailboxKeys) {
            const QString key = QStringLiteral("mailbox.%1.%2").arg(i + 1).arg(QLatin1String(name));
            if (box == kContrassenya)
                passwordLine(out, key, mailbox.text[kContrassenya]);
            else if (box == kMailboxLoginKey)
                line(out, key, methodText(mailbox.login));
            else
                line(out, key, mailbox.text[box]);
        }
    }
    return out;
}

std::optional<QString> applyConfigurationText(Configuration &configuration, const QString &text,
                                              const QString &path, const QString &programFolder)
{
    ConfigForm form = ConfigForm::fromConfiguration(configuration, programFolder);
    const std::span<const Bustia> before = configuration.mailboxes();
    const int count = int(before.size());
    std::map<int, MailboxEdit> mailboxes;

    const KeyValueText parsed = readKeyValueText(text);
    for (const KeyValueLine &line : parsed.lines) {
        const auto wrong = [&](const QString &what) { return lineError(line.number, what); };
        const QString &key = line.key;
        const QString *value = &line.value;

        if (key.startsWith(QStringLiteral("mailbox."))) {
            const QStringList parts = key.split(u'.');
            bool numbered = false;
            const int position = parts.value(1).toInt(&numbered);
            if (!numbered || position < 1 || parts.size() > 3)
                return wrong(QStringLiteral("clau desconeguda: ") + key);
            MailboxEdit &edit = mailboxes[position];
            if (parts.size() == 2) {
                if (*value != u"delete" || position > count)
                    return wrong(QStringLiteral("només es pot esborrar una bústia que existeix: "
                                                "%1 = delete")
                                     .arg(key));
                edit.remove = true;
                continue;
            }
            bool known = false;
            for (const auto &[name, box] : kMailboxKeys) {
                if (parts[2] == QLatin1String(name)) {
                    if (box == kMailboxLoginKey)
                        edit.login = *value;
                    else
                        edit.boxes[box] = *value;
                    known = true;
                }
            }
            if (!known)
                return wrong(QStringLiteral("clau desconeguda: ") + key);
            continue;
        }

        const ConfigKey *found = nullptr;
        for (const ConfigKey &k : kConfigKeys) {
            if (key == QLatin1String(k.name))
                found = &k;
        }
        if (!found)
            return wrong(QStringLiteral("clau desconeguda: ") + key);
        if (found->box == kLoginKey) {
            form.login = *value;
            continue;
        }
        if (found->box == kPostmasterKey) {
            form.postmaster = *value;
            continue;
        }
        if (found->box == kAuthKey || found->box == kFilterKey) {
            const std::optional<bool> on = yesNo(*value);
            if (!on)
                return wrong(QStringLiteral("%1 ha de ser yes o no").arg(key));
            (found->box == kAuthKey ? form.autentificacio : form.filtreSpam) = *on;
            continue;
        }
        form.text[size_t(found->box)] = *value;
        if (found->box == kContrassenyaSMTP)
            form.text[kConfirmacioSMTP] = *value;
    }
    if (!parsed.error.isEmpty())
        return parsed.error;

    // The mailboxes, checked as the mailbox dialog checks them.
    std::vector<Bustia> table(before.begin(), before.end());
    // Each mailbox's login goes with it, by position while the text is applied.
    std::vector<LoginSettings> logins;
    for (const Bustia &mailbox : before)
        logins.push_back(configuration.loginFor(mailbox));
    std::set<int, std::greater<int>> removals;
    int next = count + 1;
    for (const auto &[position, edit] : mailboxes) {
        const QString name = QStringLiteral("mailbox.%1").arg(position);
        if (edit.remove) {
            if (!edit.boxes.empty() || edit.login)
                return name + QStringLiteral(": una bústia esborrada no es pot canviar");
            removals.insert(position);
            continue;
        }
        if (position > count && position != next)
            return name + QStringLiteral(": la bústia nova ha de ser la %1").arg(next);
        MailboxForm mailbox = position <= count
            ? MailboxForm::fromEntry(table[size_t(position - 1)], logins[size_t(position - 1)])
            : MailboxForm::fresh();
        if (edit.login)
            mailbox.login = *edit.login;
        for (const auto &[box, value] : edit.boxes) {
            mailbox.text[box] = value;
            if (box == kContrassenya)
                mailbox.text[kConfirmacio] = value;
        }
        if (const std::optional<Refusal> refusal = checkMailboxForm(mailbox))
            return name + QStringLiteral(": ") + refusal->message;
        if (position <= count) {
            table[size_t(position - 1)] = mailboxFromForm(mailbox);
            logins[size_t(position - 1)] = mailboxLoginFromForm(mailbox);
        } else {
            table.push_back(mailboxFromForm(mailbox));
            logins.push_back(mailboxLoginFromForm(mailbox));
            ++next;
        }
    }
    for (int position : removals) {
        table.erase(table.begin() + (position - 1));
        logins.erase(logins.begin() + (position - 1));
    }
    if (table.size() > 32767)
        return QStringLiteral("No hi caben més bústies");

    // Saved with the new table, which the configuration takes only with the save. A
    // deleted mailbox's login goes with it; mailboxes that share server, port and user
    // share one login, so they must agree.
    Configuration edited = configuration;
    edited.mailboxLogins.clear();
    for (size_t i = 0; i < table.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (MailboxIdentity::of(table[j]) == MailboxIdentity::of(table[i])
                && logins[j] != logins[i])
                return QStringLiteral("les bústies %1 i %2 (de la taula resultant) tenen el mateix "
                                      "servidor, port i usuari, i per tant una sola "
                                      "autentificació: doneu-los la mateixa")
                    .arg(j + 1)
                    .arg(i + 1);
        }
        edited.setLoginFor(table[i], logins[i]);
    }
    edited.Busties = std::move(table);
    edited.Configuracio.NumBusties = static_cast<qint16>(edited.Busties.size());
    if (const std::optional<Refusal> refusal = saveConfigForm(edited, form, path))
        return refusal->message;
    configuration = std::move(edited);
    return std::nullopt;
}

} // namespace vessamo::config
