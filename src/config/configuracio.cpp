// The configuration record and the mailbox table, and their binary file.
//
// Loading streams the file through a bounded reader: every count is checked against the
// bytes really there before anything is kept, and the parsed values replace the record
// only when the whole file was read. Saving encodes everything in memory first, then
// writes a temporary file beside the old one with the old file's owner and mode (0600 for
// a new file, since it holds passwords; root:service group 0640 when root saves for the
// service), syncs it, renames it over the name and syncs the folder.
#include "config/configuracio.h"

#include "config/filetrust.h"
#include "config/layout.h"
#include "config/loginfile.h"
#include "platform/ansi.h"
#include "platform/eventlog.h"
#include "platform/posixfd.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <set>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::config {

namespace {

Q_LOGGING_CATEGORY(lcConfig, "vessamo.config")

// Older readers take the 16-bit count as signed: never write more than they can read.
constexpr qsizetype kMaxTextEscrit = 32767;

QString textInexistent()
{
    return QStringLiteral("Configurant: Fitxer de configuració inexistent");
}

QString textFormat()
{
    return QStringLiteral("Configurant: Format de fitxer de configuració incorrecte");
}

QString textLoginFormat()
{
    return QStringLiteral("Configurant: Format de fitxer d'autentificació incorrecte");
}

// More than any real site's logins: a bigger file is not one of ours.
constexpr qint64 kMaxLoginFile = 1 << 20;

// Reads little-endian fields from the file. The first short read makes it fail for good,
// so a caller can read a whole record and check once at the end.
class Lector
{
public:
    explicit Lector(QFile &file)
        : file_(file)
    {
    }

    bool ok() const { return ok_; }

    qint32 int32()
    {
        const QByteArray b = bytes(4);
        if (!ok_)
            return 0;
        return static_cast<qint32>(byte(b, 0) | (byte(b, 1) << 8) | (byte(b, 2) << 16)
                                   | (byte(b, 3) << 24));
    }

    qint16 int16()
    {
        const QByteArray b = bytes(2);
        if (!ok_)
            return 0;
        return static_cast<qint16>(byte(b, 0) | (byte(b, 1) << 8));
    }

    // The count is taken as unsigned: a file written by a reader that allowed up to 65,535
    // bytes still loads, and no count can be negative.
    QString text()
    {
        const auto count = static_cast<quint16>(int16());
        if (!ok_ || count == 0)
            return {};
        return platform::fromAnsi(bytes(count));
    }

private:
    static quint32 byte(const QByteArray &b, qsizetype i) { return static_cast<quint8>(b.at(i)); }

    QByteArray bytes(qint64 n)
    {
        if (!ok_)
            return {};
        QByteArray b = file_.read(n);
        if (b.size() != n)
            ok_ = false;
        return b;
    }

    QFile &file_;
    bool ok_ = true;
};

// Fields 1 to 11, and 12 to 15 when the file has them; a version-1 file has the spam
// filter off and its texts empty.
void llegirRegistre(Lector &in, ConfiguracioRecord &r, bool ambSpam)
{
    r.Interval = in.int16();
    r.CarpetaCua = in.text();
    r.CarpetaNoEnviats = in.text();
    r.CarpetaSiEnviats = in.text();
    r.DiesArxiu = in.int16();
    r.ServidorSMTP = in.text();
    r.PortSMTP = in.int16();
    r.AutentificacioSMTP = in.int16();
    r.UsuariSMTP = in.text();
    r.ContrassenyaSMTP = in.text();
    r.NumBusties = in.int16();
    if (ambSpam) {
        r.FiltreSpam = in.int16();
        r.ProgramaSpam = in.text();
        r.CarpetaSpam = in.text();
        r.MarcaSpam = in.text();
    } else {
        r.FiltreSpam = 0;
        r.ProgramaSpam.clear();
        r.CarpetaSpam.clear();
        r.MarcaSpam.clear();
    }
}

Bustia llegirBustia(Lector &in)
{
    Bustia b;
    b.Servidor = in.text();
    b.Port = in.int16();
    b.Usuari = in.text();
    b.Contrassenya = in.text();
    b.EnviarA = in.text();
    return b;
}

// Why a file cannot be read at all.
struct NoFile
{
    ConfigurationLoad::Status status;
    QString error;
};

// Opened non-blocking so that a FIFO at the path cannot hang the start. Only a regular
// file is a configuration; anything else at the path is unreadable.
std::optional<NoFile> obrirFitxerNormal(const QString &path, QFile &file)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return NoFile {ConfigurationLoad::Status::Missing, QString()};
        return NoFile {ConfigurationLoad::Status::Unreadable,
                       QStringLiteral("no es pot llegir %1: %2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(error)))};
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return NoFile {ConfigurationLoad::Status::Unreadable,
                       QStringLiteral("%1 no és un fitxer normal").arg(path)};
    }
    return std::nullopt;
}

// Encoding of the file: everything little-endian, texts with a 16-bit byte count.
class Escriptor
{
public:
    bool ok() const { return ok_; }
    const QByteArray &dades() const { return dades_; }

    void int32(qint32 v)
    {
        const auto u = static_cast<quint32>(v);
        for (int shift = 0; shift < 32; shift += 8)
            dades_.append(static_cast<char>((u >> shift) & 0xFF));
    }

    void int16(qint16 v)
    {
        const auto u = static_cast<quint16>(v);
        dades_.append(static_cast<char>(u & 0xFF));
        dades_.append(static_cast<char>(u >> 8));
    }

    void text(const QString &t)
    {
        const QByteArray bytes = platform::toAnsi(t);
        if (bytes.size() > kMaxTextEscrit) {
            ok_ = false;
            return;
        }
        int16(static_cast<qint16>(bytes.size()));
        dades_.append(bytes);
    }

private:
    QByteArray dades_;
    bool ok_ = true;
};

// The whole file, or nothing when a text is too long for its count.
std::optional<QByteArray> codificar(const Configuration &configuration)
{
    const ConfiguracioRecord &r = configuration.Configuracio;
    // Never more records than the table really holds, and the count says what follows.
    const std::span<const Bustia> taula = configuration.mailboxes();
    Escriptor out;
    out.int32(VersioConfiguracio);
    out.int16(r.Interval);
    out.text(r.CarpetaCua);
    out.text(r.CarpetaNoEnviats);
    out.text(r.CarpetaSiEnviats);
    out.int16(r.DiesArxiu);
    out.text(r.ServidorSMTP);
    out.int16(r.PortSMTP);
    out.int16(r.AutentificacioSMTP);
    out.text(r.UsuariSMTP);
    out.text(r.ContrassenyaSMTP);
    out.int16(static_cast<qint16>(taula.size()));
    out.int16(r.FiltreSpam);
    out.text(r.ProgramaSpam);
    out.text(r.CarpetaSpam);
    out.text(r.MarcaSpam);
    for (const Bustia &b : taula) {
        out.text(b.Servidor);
        out.int16(b.Port);
        out.text(b.Usuari);
        out.text(b.Contrassenya);
        out.text(b.EnviarA);
    }
    if (!out.ok())
        return std::nullopt;
    return out.dades();
}

// Removes the temporary file unless it was renamed into place.
class EsborrarTemporal
{
public:
    explicit EsborrarTemporal(QByteArray path)
        : path_(std::move(path))
    {
    }
    ~EsborrarTemporal()
    {
        if (!path_.isEmpty())
            ::unlink(path_.constData());
    }
    EsborrarTemporal(const EsborrarTemporal &) = delete;
    EsborrarTemporal &operator=(const EsborrarTemporal &) = delete;
    void conservar() { path_.clear(); }

private:
    QByteArray path_;
};

bool escriureTot(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// The new file gets the old one's owner and mode. Where the owner cannot be kept (not
// root), the mode loses its group and other bits: the passwords must not become readable
// by a group that could not read them before.
bool copiarPropietari(int fd, const struct stat &old)
{
    mode_t mode = old.st_mode & 07777;
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
        mode &= 0700;
    return ::fchmod(fd, mode) == 0;
}

// Root saving for the service: root's file, which the service may read but not change
// (it would otherwise choose the program root runs). Whatever owned the name before.
bool propietariServei(int fd, const ServiceAccount &account)
{
    return ::fchown(fd, 0, account.gid) == 0 && ::fchmod(fd, 0640) == 0;
}

// Some file systems cannot sync a directory (EINVAL): the rename is then as safe as they
// make it.
bool sincronitzarCarpeta(const QByteArray &dir)
{
    platform::UniqueFd fd(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    return ::fsync(fd.get()) == 0 || errno == EINVAL;
}

QString g_lastSaveError;

// The file the record was last read from or written to, as it was then: a save by another
// editor since replaces it (a new file renamed over the name) or changes it.
struct Basis
{
    QString path;
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};

    bool operator==(const Basis &o) const
    {
        return path == o.path && present == o.present && device == o.device && inode == o.inode
            && size == o.size && modified.tv_sec == o.modified.tv_sec
            && modified.tv_nsec == o.modified.tv_nsec;
    }
};
std::optional<Basis> g_basis;

Basis basisOf(const QString &path)
{
    Basis b;
    b.path = path;
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        b.present = true;
        b.device = st.st_dev;
        b.inode = st.st_ino;
        b.size = st.st_size;
        b.modified = st.st_mtim;
    }
    return b;
}

// `error` is the errno of the failing call, taken before anything else could change it.
bool fallada(const char *what, const QString &path, int error)
{
    g_lastSaveError = QStringLiteral("%1: %2").arg(QString::fromUtf8(what),
                                                   QString::fromLocal8Bit(std::strerror(error)));
    qCWarning(lcConfig, "cannot save %s: %s", qUtf8Printable(path),
              qUtf8Printable(g_lastSaveError));
    return false;
}

// The name itself is replaced: a symbolic link planted there is overwritten by the
// rename, never followed to the file it names.
bool escriureSegur(const QString &path, const QByteArray &data)
{
    const QByteArray native = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());

    QByteArray tmpl = native + QByteArrayLiteral(".XXXXXX");
    // mkostemp creates with O_EXCL: a name planted in the meantime is never opened.
    platform::UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return fallada("fitxer temporal", path, errno);
    EsborrarTemporal guard(tmpl);

    struct stat old
    {
    };
    const bool existeix = ::lstat(native.constData(), &old) == 0 && S_ISREG(old.st_mode);
    const ServiceAccount account = serviceAccount();
    const bool permisos = ::geteuid() == 0 && account.set ? propietariServei(fd.get(), account)
        : existeix                                         ? copiarPropietari(fd.get(), old)
                                                           : ::fchmod(fd.get(), 0600) == 0;
    if (!permisos)
        return fallada("permisos", path, errno);
    if (!escriureTot(fd.get(), data) || ::fsync(fd.get()) != 0 || !fd.close())
        return fallada("escriptura", path, errno);
    if (::rename(tmpl.constData(), native.constData()) != 0)
        return fallada("canvi de nom", path, errno);
    guard.conservar();
    if (!sincronitzarCarpeta(dir))
        return fallada("sincronització de la carpeta", path, errno);
    return true;
}

} // namespace

std::span<const Bustia> Configuration::mailboxes() const
{
    const auto count
        = std::clamp<qsizetype>(Configuracio.NumBusties, 0, static_cast<qsizetype>(Busties.size()));
    return std::span<const Bustia>(Busties).first(static_cast<std::size_t>(count));
}

const LoginSettings &Configuration::loginFor(const Bustia &mailbox) const
{
    static const LoginSettings classic;
    const auto found = mailboxLogins.find(MailboxIdentity::of(mailbox));
    return found == mailboxLogins.end() ? classic : found->second;
}

void Configuration::setLoginFor(const Bustia &mailbox, const LoginSettings &login)
{
    if (login == LoginSettings {})
        mailboxLogins.erase(MailboxIdentity::of(mailbox));
    else
        mailboxLogins[MailboxIdentity::of(mailbox)] = login;
}

void Configuration::dropUnusedLogins()
{
    std::set<MailboxIdentity> used;
    for (const Bustia &mailbox : mailboxes())
        used.insert(MailboxIdentity::of(mailbox));
    std::erase_if(mailboxLogins, [&](const auto &entry) { return !used.contains(entry.first); });
}

namespace {

// The login file beside `path`: nothing when it is missing; otherwise its settings, or the
// refusal (with the text for the event log).
std::optional<NoFile> llegirAutentificacio(const QString &path, LoginFileRead &read)
{
    const QString loginPath = loginFilePath(path);
    QFile file;
    if (path.isEmpty())
        return std::nullopt;
    if (std::optional<NoFile> none = obrirFitxerNormal(loginPath, file)) {
        if (none->status == ConfigurationLoad::Status::Missing)
            return std::nullopt;
        return none;
    }
    const QByteArray bytes = file.read(kMaxLoginFile + 1);
    read = bytes.size() > kMaxLoginFile ? LoginFileRead {{}, {}, {}, QStringLiteral("massa llarg")}
                                        : parseLoginFile(bytes);
    if (read.error.isEmpty())
        return std::nullopt;
    return NoFile {ConfigurationLoad::Status::Damaged,
                   textLoginFormat() + QStringLiteral(": %1: %2").arg(loginPath, read.error)};
}

} // namespace

ConfigurationLoad loadConfiguration(const QString &path, Configuration start)
{
    ConfigurationLoad load;
    load.configuration = std::move(start);
    load.configuration.Configuracio.NumBusties = 0;
    load.configuration.Busties.assign(1, Bustia {});
    g_basis = basisOf(path);
    const auto refused = [&load, &path](ConfigurationLoad::Status status, QString error,
                                        const QString &file = QString()) {
        load.status = status;
        load.error = std::move(error);
        load.file = file.isEmpty() ? path : file;
        return std::move(load);
    };

    QFile file;
    std::optional<NoFile> none = obrirFitxerNormal(path, file);
    if (none && none->status != ConfigurationLoad::Status::Missing)
        return refused(none->status, std::move(none->error));
    // Read also for a new configuration: a damaged one must not be replaced unawares.
    LoginFileRead logins;
    if (std::optional<NoFile> bad = llegirAutentificacio(path, logins))
        return refused(bad->status, std::move(bad->error), loginFilePath(path));
    if (none)
        return refused(none->status, std::move(none->error));
    const auto damaged = [&] {
        return refused(ConfigurationLoad::Status::Damaged,
                       textFormat() + QStringLiteral(": ") + path);
    };
    Lector in(file);
    const qint32 versio = in.int32();
    if (!in.ok() || (versio != 1 && versio != VersioConfiguracio))
        return damaged();

    // Parsed aside and kept only when the whole file was there: a truncated file leaves
    // the record as it was, with no mailbox.
    ConfiguracioRecord rec = load.configuration.Configuracio;
    llegirRegistre(in, rec, versio == VersioConfiguracio);
    std::vector<Bustia> taula;
    for (qint16 i = 0; in.ok() && i < rec.NumBusties; ++i) {
        Bustia b = llegirBustia(in);
        if (in.ok())
            taula.push_back(std::move(b));
    }
    if (!in.ok())
        return damaged();
    if (rec.NumBusties < 1) {
        // A negative count means no mailbox; keep the count honest for the dialogs.
        rec.NumBusties = 0;
        taula.assign(1, Bustia {});
    }
    load.status = ConfigurationLoad::Status::Loaded;
    load.configuration.Configuracio = std::move(rec);
    load.configuration.Busties = std::move(taula);
    load.configuration.smtpLogin = std::move(logins.smtp);
    load.configuration.mailboxLogins = std::move(logins.mailboxes);
    load.configuration.postmaster = std::move(logins.postmaster);
    load.configuration.dropUnusedLogins();
    return load;
}

ConfigurationLoad LlegirConfiguracio(const QString &path, Configuration start)
{
    ConfigurationLoad load = loadConfiguration(path, std::move(start));
    switch (load.status) {
    case ConfigurationLoad::Status::Loaded:
        return load;
    case ConfigurationLoad::Status::Damaged:
    case ConfigurationLoad::Status::Unreadable:
        // The login file's refusal names the file and why; the binary file's keeps its text.
        if (load.file != path) {
            platform::logError(load.error.startsWith(u"Configurant")
                                   ? load.error
                                   : QStringLiteral("Configurant: ") + load.error);
            return load;
        }
        if (load.status == ConfigurationLoad::Status::Damaged) {
            platform::logError(textFormat());
            return load;
        }
        break;
    case ConfigurationLoad::Status::Missing:
        break;
    }
    platform::logError(textInexistent());
    return load;
}

QString lastSaveError()
{
    return g_lastSaveError;
}

bool GravarConfiguracio(const QString &path, const Configuration &configuration)
{
    const std::optional<QByteArray> data = codificar(configuration);
    if (!data) {
        g_lastSaveError = QStringLiteral("un text passa de %1 bytes").arg(kMaxTextEscrit);
        qCWarning(lcConfig, "cannot save %s: a text is longer than %lld bytes",
                  qUtf8Printable(path), static_cast<long long>(kMaxTextEscrit));
        return false;
    }
    // The login file first: the binary file's replacement is what tells another editor that
    // this save happened (changedSinceRead), so it comes last. Between the two, a crash
    // leaves the new logins beside the old table, which is harmless: entries are found by
    // mailbox identity, never by position.
    const QString loginPath = loginFilePath(path);
    struct stat st
    {
    };
    const bool loginFileThere = ::lstat(QFile::encodeName(loginPath).constData(), &st) == 0;
    if ((loginFileThere || hasLoginSettings(configuration))
        && !escriureSegur(loginPath, encodeLoginFile(configuration, path))) {
        g_lastSaveError = loginPath + QStringLiteral(": ") + g_lastSaveError;
        return false;
    }
    if (!escriureSegur(path, *data))
        return false;
    g_basis = basisOf(path);
    return true;
}

bool changedSinceRead(const QString &path)
{
    return g_basis && g_basis->path == path && !(basisOf(path) == *g_basis);
}

QString configurationFilePath()
{
    return configurationFilePath(programLayout());
}

QString configurationFilePath(const Layout &layout)
{
    const QString fromEnv = qEnvironmentVariable("VESSAMO_CONFIG");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return layout.configurationFile;
}

} // namespace vessamo::config
