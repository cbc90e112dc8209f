#include "config/configform.h"

#include "config/filetrust.h"
#include "platform/ansi.h"
#include "platform/posixfd.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::config {

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

int digitValue(QChar c, int base)
{
    const char16_t u = c.toUpper().unicode();
    int value = -1;
    if (u >= u'0' && u <= u'9')
        value = u - u'0';
    else if (u >= u'A' && u <= u'F')
        value = u - u'A' + 10;
    return value < base ? value : -1;
}

// Boxes of folders end in "/" and the folder exists: a missing last level is created,
// readable by its owner only, since it will hold other people's mail. A relative path
// would depend on the folder the program happens to start in, so it is refused. Root
// saving for the service creates it for the service, which must write there.
bool prepareFolder(QString &box)
{
    if (!box.endsWith(u'/'))
        box += u'/';
    if (!QDir::isAbsolutePath(box))
        return false;
    if (QFileInfo(box).isDir())
        return true;
    // Made and handed over through descriptors: the service may own the folder above and
    // could put a link under the new name in between, and root must never give away what
    // a link names.
    const QFileInfo level(QDir::cleanPath(box));
    const platform::UniqueFd parent(
        ::open(QFile::encodeName(level.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const QByteArray name = QFile::encodeName(level.fileName());
    if (!parent.valid() || ::mkdirat(parent.get(), name.constData(), 0700) != 0)
        return false;
    const ServiceAccount account = serviceAccount();
    if (::geteuid() != 0 || !account.set)
        return true;
    const platform::UniqueFd made(
        ::openat(parent.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return made.valid() && ::fchown(made.get(), account.uid, account.gid) == 0;
}

// A stored text is written in Windows-1252 and read back as one value: a character the
// code page lacks would come back as "?", and a control character has no business in a
// name, a password or a path (a line break would split the text form's line).
bool storable(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return platform::fromAnsi(platform::toAnsi(text)) == text;
}

// The boxes whose texts are stored as typed, in the dialog's order, with their messages.
constexpr std::array<std::pair<ConfigBox, const char *>, 9> kStoredConfigBoxes = {{
    {kServidorSMTP, "Servidor SMTP incorrecte"},
    {kUsuariSMTP, "Usuari SMTP incorrecte"},
    {kContrassenyaSMTP, "Contrassenya SMTP incorrecte"},
    {kCarpetaCua, "Carpeta cua incorrecte"},
    {kCarpetaSiEnviats, "Carpeta arxiu incorrecte"},
    {kCarpetaNoEnviats, "Carpeta errors incorrecte"},
    {kProgramaSpam, "Programa de filtre anti-spam incorrecte"},
    {kCarpetaSpam, "Carpeta spam incorrecte"},
    {kMarcaSpam, "Marca de correu spam incorrecte"},
}};

constexpr std::array<std::pair<MailboxBox, const char *>, 4> kStoredMailboxBoxes = {{
    {kServidor, "Servidor POP3 incorrecte"},
    {kUsuari, "Usuari POP3 incorrecte"},
    {kContrassenya, "Contrassenya POP3 incorrecte"},
    {kEnviarA, "Enrutar a incorrecte"},
}};


constexpr int kMaxPort = 65535;
constexpr int kMaxShort = 32767;

} // namespace

NumericReading readNumber(QStringView text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n')
            s.append(c);
    }
    const qsizetype n = s.size();
    NumericReading reading;
    if (n >= 2 && s[0] == u'&' && (s[1].toUpper() == u'H' || s[1].toUpper() == u'O')) {
        const int base = s[1].toUpper() == u'H' ? 16 : 8;
        qsizetype i = 2;
        for (int d; i < n && (d = digitValue(s[i], base)) >= 0; ++i)
            reading.value = reading.value * base + d;
        reading.wholeText = i > 2 && i == n;
        return reading;
    }
    qsizetype i = 0;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        ++i;
    qsizetype digits = 0;
    for (; i < n && isAsciiDigit(s[i]); ++i)
        ++digits;
    if (i < n && s[i] == u'.') {
        for (++i; i < n && isAsciiDigit(s[i]); ++i)
            ++digits;
    }
    if (digits == 0)
        return reading;
    qsizetype end = i;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < n && (s[j] == u'+' || s[j] == u'-'))
            ++j;
        const qsizetype exponentStart = j;
        while (j < n && isAsciiDigit(s[j]))
            ++j;
        if (j > exponentStart)
            end = j;
    }
    // Only ASCII digits, signs, "." and "e" are left in the number: the C locale reads it.
    const QByteArray number = s.first(end).toLatin1();
    reading.value = std::strtod(number.constData(), nullptr);
    reading.wholeText = end == n;
    return reading;
}

std::optional<qint16> numberBoxValue(QStringView text, int minimum, int maximum)
{
    const NumericReading reading = readNumber(text);
    if (!reading.wholeText || !std::isfinite(reading.value)
        || reading.value != std::floor(reading.value) || reading.value < minimum
        || reading.value > maximum)
        return std::nullopt;
    return static_cast<qint16>(static_cast<quint16>(static_cast<int>(reading.value)));
}

bool isBlank(QStringView text)
{
    for (QChar c : text) {
        if (c != u' ')
            return false;
    }
    return true;
}

// ---- the configuration dialog ----

ConfigForm ConfigForm::fromRecord(const ConfiguracioRecord &r, const QString &programFolder)
{
    const auto folderOr = [&](const QString &stored, const char *name) {
        return isBlank(stored) ? programFolder + u'/' + QLatin1String(name) + u'/' : stored;
    };
    ConfigForm form;
    form.text[kServidorSMTP] = r.ServidorSMTP;
    form.text[kPortSMTP] = QString::number(r.smtpPort());
    form.text[kUsuariSMTP] = r.UsuariSMTP;
    form.text[kContrassenyaSMTP] = r.ContrassenyaSMTP;
    form.text[kConfirmacioSMTP] = r.ContrassenyaSMTP;
    form.text[kInterval] = r.Interval == 0 ? QStringLiteral("5") : QString::number(r.Interval);
    form.text[kCarpetaCua] = folderOr(r.CarpetaCua, "Cua");
    form.text[kCarpetaSiEnviats] = folderOr(r.CarpetaSiEnviats, "SiEnviats");
    form.text[kCarpetaNoEnviats] = folderOr(r.CarpetaNoEnviats, "NoEnviats");
    form.text[kDiesArxiu]
        = r.DiesArxiu == 0 ? QStringLiteral("90") : QString::number(r.DiesArxiu);
    form.text[kProgramaSpam] = r.ProgramaSpam;
    form.text[kCarpetaSpam] = folderOr(r.CarpetaSpam, "SPam");
    form.text[kMarcaSpam] = r.MarcaSpam;
    form.autentificacio = r.smtpAuthentication();
    form.filtreSpam = r.spamFilter();
    return form;
}

ConfigForm ConfigForm::fromConfiguration(const Configuration &configuration,
                                         const QString &programFolder)
{
    ConfigForm form = fromRecord(configuration.Configuracio, programFolder);
    form.login = configuration.smtpLogin.method;
    form.text[kCompteTestimoniSMTP] = configuration.smtpLogin.tokenAccount;
    form.text[kOrdreTestimoniSMTP] = configuration.smtpLogin.tokenCommand;
    form.postmaster = configuration.postmaster;
    return form;
}

LoginSettings smtpLoginFromForm(const ConfigForm &form)
{
    return {normalisedMethod(form.login).value_or(form.login), form.text[kCompteTestimoniSMTP],
            form.text[kOrdreTestimoniSMTP]};
}

std::optional<Refusal> checkConfigForm(ConfigForm &form)
{
    auto &t = form.text;
    const auto refuse = [](int box, const char *message) {
        return Refusal {box, QString::fromUtf8(message)};
    };
    for (const auto &[box, message] : kStoredConfigBoxes) {
        if (!storable(t[box]))
            return refuse(box, message);
    }
    if (isBlank(t[kServidorSMTP]))
        return refuse(kServidorSMTP, "Servidor SMTP incorrecte");
    if (!numberBoxValue(t[kPortSMTP], 1, kMaxPort))
        return refuse(kPortSMTP, "Port SMTP incorrecte");
    if (form.autentificacio && isBlank(t[kUsuariSMTP]))
        return refuse(kUsuariSMTP, "Usuari SMTP incorrecte");
    // A login with a token alone needs no password.
    const LoginSettings login = smtpLoginFromForm(form);
    if (form.autentificacio
        && ((isBlank(t[kContrassenyaSMTP]) && !usesTokenOnly(login))
            || t[kContrassenyaSMTP] != t[kConfirmacioSMTP]))
        return refuse(kContrassenyaSMTP, "Contrassenya SMTP incorrecte");
    if (const std::optional<LoginRefusal> wrong = checkLogin(login, LoginUse::Smtp))
        return Refusal {wrong->field == LoginRefusal::Account       ? kCompteTestimoniSMTP
                            : wrong->field == LoginRefusal::Command ? kOrdreTestimoniSMTP
                                                                    : -1,
                        wrong->message};
    if (std::optional<QString> wrong = checkPostmaster(form.postmaster.trimmed()))
        return Refusal {-1, std::move(*wrong)};
    if (!numberBoxValue(t[kInterval], 1, kMaxShort))
        return refuse(kInterval, "Interval de comprovació de bústies incorrecte");
    const std::array<std::pair<ConfigBox, const char *>, 3> folders = {{
        {kCarpetaCua, "Carpeta cua incorrecte"},
        {kCarpetaSiEnviats, "Carpeta arxiu incorrecte"},
        {kCarpetaNoEnviats, "Carpeta errors incorrecte"},
    }};
    for (const auto &[box, message] : folders) {
        if (isBlank(t[box]) || !prepareFolder(t[box]))
            return refuse(box, message);
    }
    if (!numberBoxValue(t[kDiesArxiu], 1, kMaxShort))
        return refuse(kDiesArxiu, "Número de dies a mantenir l'arxiu incorrecte");
    if (!form.filtreSpam)
        return std::nullopt;
    const QString &program = t[kProgramaSpam];
    const qsizetype blank = program.indexOf(u' ');
    // The program is the text before the first blank: the arguments follow it.
    if (isBlank(program) || blank < 0 || !program.contains(QStringLiteral("%o"))
        || !program.contains(QStringLiteral("%i")) || !QFileInfo(program.first(blank)).isFile())
        return refuse(kProgramaSpam, "Programa de filtre anti-spam incorrecte");
    if (isBlank(t[kCarpetaSpam]) || !prepareFolder(t[kCarpetaSpam]))
        return refuse(kCarpetaSpam, "Carpeta spam incorrecte");
    if (isBlank(t[kMarcaSpam]))
        return refuse(kMarcaSpam, "Marca de correu spam incorrecte");
    return std::nullopt;
}

ConfiguracioRecord recordFromForm(const ConfigForm &form, const ConfiguracioRecord &base)
{
    const auto &t = form.text;
    ConfiguracioRecord r = base;
    r.ServidorSMTP = t[kServidorSMTP];
    r.PortSMTP = numberBoxValue(t[kPortSMTP], 1, kMaxPort).value_or(0);
    r.AutentificacioSMTP = form.autentificacio ? -1 : 0;
    r.UsuariSMTP = t[kUsuariSMTP];
    r.ContrassenyaSMTP = t[kContrassenyaSMTP];
    r.Interval = numberBoxValue(t[kInterval], 1, kMaxShort).value_or(0);
    r.CarpetaCua = t[kCarpetaCua];
    r.CarpetaSiEnviats = t[kCarpetaSiEnviats];
    r.CarpetaNoEnviats = t[kCarpetaNoEnviats];
    r.DiesArxiu = numberBoxValue(t[kDiesArxiu], 1, kMaxShort).value_or(0);
    r.FiltreSpam = form.filtreSpam ? -1 : 0;
    r.ProgramaSpam = t[kProgramaSpam];
    r.CarpetaSpam = t[kCarpetaSpam];
    r.MarcaSpam = t[kMarcaSpam];
    return r;
}

std::optional<Refusal> saveConfigForm(Configuration &configuration, ConfigForm &form,
                                      const QString &path)
{
    // One save at a time: another editor's save lands before or after this one, whole.
    const ConfigurationLock lock(path);
    if (!lock.held())
        return Refusal {-1, QStringLiteral("No s'ha pogut gravar la configuració a %1: %2")
                                .arg(path, lock.error())};
    // What this editor shows was read before the lock: another editor's save since then
    // would be lost under this one.
    if (changedSinceRead(path))
        return Refusal {-1, QStringLiteral("Un altre editor ha gravat la configuració a %1 "
                                           "després que s'obrís aquesta; no s'ha gravat res. "
                                           "Torneu a obrir Vessamo i repetiu-hi els canvis.")
                                .arg(path)};
    if (std::optional<Refusal> refusal = checkConfigForm(form))
        return refusal;
    Configuration saved = configuration;
    saved.Configuracio = recordFromForm(form, configuration.Configuracio);
    saved.smtpLogin = smtpLoginFromForm(form);
    saved.postmaster = form.postmaster.trimmed();
    if (!GravarConfiguracio(path, saved))
        return Refusal {-1, QStringLiteral("No s'ha pogut gravar la configuració a %1: %2")
                                .arg(path, lastSaveError())};
    configuration = std::move(saved);
    return std::nullopt;
}

// ---- the mailbox dialog ----

MailboxForm MailboxForm::fresh()
{
    MailboxForm form;
    form.text[kPort] = QStringLiteral("110");
    return form;
}

MailboxForm MailboxForm::fromEntry(const Bustia &entry, const LoginSettings &login)
{
    MailboxForm form;
    form.text[kServidor] = entry.Servidor;
    form.text[kPort] = QString::number(entry.port());
    form.text[kUsuari] = entry.Usuari;
    form.text[kContrassenya] = entry.Contrassenya;
    form.text[kConfirmacio] = entry.Contrassenya;
    form.text[kEnviarA] = entry.EnviarA;
    form.login = login.method;
    form.text[kCompteTestimoni] = login.tokenAccount;
    form.text[kOrdreTestimoni] = login.tokenCommand;
    return form;
}

std::optional<Refusal> checkMailboxForm(const MailboxForm &form)
{
    const auto &t = form.text;
    for (const auto &[box, message] : kStoredMailboxBoxes) {
        if (!storable(t[box]))
            return Refusal {box, QString::fromUtf8(message)};
    }
    if (isBlank(t[kServidor]))
        return Refusal {kServidor, QStringLiteral("Servidor POP3 incorrecte")};
    if (!numberBoxValue(t[kPort], 1, kMaxPort))
        return Refusal {kPort, QStringLiteral("Port POP3 incorrecte")};
    if (isBlank(t[kUsuari]))
        return Refusal {kUsuari, QStringLiteral("Usuari POP3 incorrecte")};
    // A login with a token alone needs no password.
    const LoginSettings login = mailboxLoginFromForm(form);
    if ((isBlank(t[kContrassenya]) && !usesTokenOnly(login)) || t[kContrassenya] != t[kConfirmacio])
        return Refusal {kContrassenya, QStringLiteral("Contrassenya POP3 incorrecte")};
    if (const std::optional<LoginRefusal> wrong = checkLogin(login, LoginUse::Pop3))
        return Refusal {wrong->field == LoginRefusal::Account       ? kCompteTestimoni
                            : wrong->field == LoginRefusal::Command ? kOrdreTestimoni
                                                                    : -1,
                        wrong->message};
    return std::nullopt;
}

LoginSettings mailboxLoginFromForm(const MailboxForm &form)
{
    return {normalisedMethod(form.login).value_or(form.login), form.text[kCompteTestimoni],
            form.text[kOrdreTestimoni]};
}

Bustia mailboxFromForm(const MailboxForm &form)
{
    const auto &t = form.text;
    return Bustia {t[kServidor], numberBoxValue(t[kPort], 1, kMaxPort).value_or(0), t[kUsuari],
                   t[kContrassenya], t[kEnviarA]};
}

std::optional<Refusal> saveMailboxForm(Configuration &configuration, const MailboxForm &form,
                                       int &index)
{
    if (std::optional<Refusal> refusal = checkMailboxForm(form))
        return refusal;
    std::vector<Bustia> &table = configuration.Busties;
    qint16 &numBusties = configuration.Configuracio.NumBusties;
    const int count = qMax<int>(numBusties, 0);
    table.resize(size_t(count));
    if (index < 0 || index >= count) {
        if (count >= kMaxShort)
            return Refusal {-1, QStringLiteral("No hi caben més bústies")};
        table.push_back(mailboxFromForm(form));
        numBusties = static_cast<qint16>(count + 1);
        index = count;
    } else {
        table[size_t(index)] = mailboxFromForm(form);
    }
    configuration.dropUnusedLogins();
    configuration.setLoginFor(table[size_t(index)], mailboxLoginFromForm(form));
    return std::nullopt;
}

bool deleteMailbox(Configuration &configuration, int index)
{
    std::vector<Bustia> &table = configuration.Busties;
    qint16 &numBusties = configuration.Configuracio.NumBusties;
    const int count = qMax<int>(numBusties, 0);
    if (index < 0 || index >= count || size_t(index) >= table.size())
        return false;
    table.erase(table.begin() + index);
    table.resize(size_t(count - 1));
    numBusties = static_cast<qint16>(count - 1);
    configuration.dropUnusedLogins();
    return true;
}

} // namespace vessamo::config
