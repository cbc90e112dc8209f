// The configuration file: loads and saves of hand-built files, refusal of damaged files
// (every truncation, counts at their bounds), and the safety of saves.
#include "config/configform.h"
#include "config/configuracio.h"
#include "config/filetrust.h"
#include "config/layout.h"
#include "support/mailfolders.h"
#include "support/tempenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::config {
namespace {

using namespace Qt::StringLiterals;
using test::ScopedEnv;

const QString kMissing = QStringLiteral("Configurant: Fitxer de configuració inexistent");
const QString kFormat = QStringLiteral("Configurant: Format de fitxer de configuració incorrecte");

// The format's fields: integers little-endian, texts with a 16-bit count.
QByteArray le16(int v)
{
    return QByteArray(1, char(v)) + char(quint16(v) >> 8);
}

QByteArray text(const QByteArray &ansi)
{
    return le16(int(ansi.size())) + ansi;
}

// The file up to the mailbox count ("ç" E7, "ú" FA, "€" 80 in Windows-1252).
QByteArray sampleHead(qint32 version, int count)
{
    return le16(version) + le16(version >> 16) + le16(15) + text("/srv/cu\xe7/") + text("/srv/no/")
        + text("/srv/si/") + le16(30) + text("smtp.example.cat") + le16(587) + le16(-1)
        + text("jord\xfa") + text("pa\x80ss") + le16(count);
}

// The spam fields for version 2, then `records` mailboxes (as many as the count says).
QByteArray sampleFile(qint32 version, int count, int records = -1)
{
    QByteArray f = sampleHead(version, count);
    if (version == 2)
        f += le16(-1) + text("spamc %i %o") + text("/srv/spam/") + text("X-Spam: S\xed");
    for (int i = 0; i < (records < 0 ? count : records); ++i) {
        const QByteArray n = QByteArray::number(i);
        f += text("pop" + n) + le16(110 + i) + text("usuari\xe7" + n) + text("secret\x80" + n)
            + text("a" + n);
    }
    return f;
}

ConfiguracioRecord sampleRecord(int count, bool spam)
{
    // clang-format off
    return {15, u"/srv/cuç/"_s, u"/srv/no/"_s, u"/srv/si/"_s, 30, u"smtp.example.cat"_s, 587, -1,
            u"jordú"_s, u"pa€ss"_s, qint16(count), qint16(spam ? -1 : 0),
            spam ? u"spamc %i %o"_s : QString(), spam ? u"/srv/spam/"_s : QString(),
            spam ? u"X-Spam: Sí"_s : QString()};
    // clang-format on
}

std::vector<Bustia> sampleMailboxes(int n)
{
    std::vector<Bustia> out;
    for (int i = 0; i < n; ++i) {
        const QString s = QString::number(i);
        out.push_back(
            {u"pop"_s + s, qint16(110 + i), u"usuariç"_s + s, u"secret€"_s + s, u"a"_s + s});
    }
    return out;
}

// The routing tests' temporary folder, event log and file helpers.
class ConfigStore : public ::testing::Test, protected test::MailFolders
{
protected:
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    // A refused load keeps every field but the count (nothing half-read replaces them),
    // leaves one empty mailbox entry and logs `text` once.
    void expectRefused(const QString &p, const QString &text)
    {
        ConfiguracioRecord before = sampleRecord(2, false);
        before.Interval = 99;
        QFile::remove(logPath);
        const ConfigurationLoad load = LlegirConfiguracio(p, {before, sampleMailboxes(2)});
        EXPECT_FALSE(load.loaded());
        before.NumBusties = 0;
        EXPECT_EQ(load.configuration.Configuracio, before);
        EXPECT_EQ(load.configuration.Busties, std::vector<Bustia>(1));
        EXPECT_EQ(test::eventLogTexts(logPath), QStringList {text});
    }
};

// The editors tell a new configuration (no file) from one that is there but cannot be
// used, which they must not replace with defaults.
TEST_F(ConfigStore, LoadTellsMissingFromUnusable)
{
    using S = ConfigurationLoad::Status;
    writeFile(path("good.vsm"), sampleFile(2, 1));
    writeFile(path("cut.vsm"), sampleFile(2, 1).chopped(1));
    ASSERT_TRUE(QDir(dir.path()).mkpath(u"dir.vsm"_s));
    const std::pair<const char *, S> rows[] = {
        {"good.vsm", S::Loaded},
        {"absent.vsm", S::Missing},
        {"cut.vsm", S::Damaged},
        {"dir.vsm", S::Unreadable},
        {"good.vsm/x.vsm", S::Unreadable}, // a file where a folder should be
    };
    for (const auto &[name, status] : rows) {
        const ConfigurationLoad load = loadConfiguration(path(name));
        EXPECT_EQ(load.status, status) << name;
        EXPECT_EQ(load.failed(), status == S::Damaged || status == S::Unreadable) << name;
        EXPECT_EQ(load.error.isEmpty(), !load.failed()) << name;
    }
}

TEST_F(ConfigStore, DamagedFilesAreRefused)
{
    std::vector<std::pair<std::string, QByteArray>> files;
    for (const qint32 version : {0, 3, -1, 0x02000000}) // the last: 2 written big-endian
        files.emplace_back("version " + std::to_string(version),
                           le16(version) + le16(version >> 16) + sampleFile(2, 1).mid(4));
    for (const qint32 version : {1, 2}) {
        const QByteArray full = sampleFile(version, 2);
        for (qsizetype n = 0; n < full.size(); ++n)
            files.emplace_back("v" + std::to_string(version) + " cut at " + std::to_string(n),
                               full.left(n));
    }
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        writeFile(path("d.vsm"), bytes);
        expectRefused(path("d.vsm"), kFormat);
        if (HasFailure())
            return;
    }
}

// A FIFO at the path must not hang the load.
TEST_F(ConfigStore, NoRegularFileAtThePathCountsAsMissing)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("dir.vsm")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo.vsm")).constData(), 0600), 0);
    for (const QString &p : {path("absent.vsm"), path("dir.vsm"), path("fifo.vsm"), QString()}) {
        SCOPED_TRACE(p.toStdString());
        expectRefused(p, kMissing);
    }
}

// Both versions load (version 1 with the spam filter off, whatever was set before) and
// save as version 2; the mailbox count, at its bounds, decides what is read.
TEST_F(ConfigStore, LoadAndSave)
{
    struct Row
    {
        int version, count, recordsInFile, loaded; // loaded -1: refused
    };
    for (const Row row :
         {Row {1, 2, 2, 2}, Row {2, 2, 2, 2}, Row {2, 0, 0, 0}, Row {2, -1, 0, 0},
          Row {2, -32768, 1, 0}, Row {2, 1, 3, 1}, Row {2, 3, 2, -1}, Row {2, 32767, 1, -1}}) {
        SCOPED_TRACE(testing::Message() << "version " << row.version << ", count " << row.count);
        writeFile(path("c.vsm"), sampleFile(row.version, row.count, row.recordsInFile));
        if (row.loaded < 0) {
            expectRefused(path("c.vsm"), kFormat);
            continue;
        }
        ConfigurationLoad load = LlegirConfiguracio(path("c.vsm"), {sampleRecord(0, true), {}});
        ASSERT_TRUE(load.loaded());
        Configuration &loaded = load.configuration;
        EXPECT_EQ(loaded.Configuracio, sampleRecord(row.loaded, row.version == 2));
        EXPECT_EQ(loaded.Busties,
                  row.loaded ? sampleMailboxes(row.loaded) : std::vector<Bustia>(1));
        loaded.Configuracio = sampleRecord(row.loaded, true);
        ASSERT_TRUE(GravarConfiguracio(path("c.vsm"), loaded));
        EXPECT_EQ(bytesOf(path("c.vsm")), sampleFile(2, row.loaded));
    }
}

// 40,000 does not fit a signed 16-bit count: read as negative, it would misread the rest.
TEST_F(ConfigStore, TextCountsAboveSignedRangeAreReadAsUnsigned)
{
    const QByteArray longText(40000, 'a');
    writeFile(path("l.vsm"), sampleHead(2, 0) + le16(0) + text(longText) + text("/s/") + text("m"));
    const ConfigurationLoad load = LlegirConfiguracio(path("l.vsm"));
    ASSERT_TRUE(load.loaded());
    const ConfiguracioRecord &loaded = load.configuration.Configuracio;
    EXPECT_EQ(loaded.ProgramaSpam, QString::fromLatin1(longText));
    EXPECT_EQ(loaded.CarpetaSpam, QStringLiteral("/s/"));
    EXPECT_EQ(loaded.MarcaSpam, QStringLiteral("m"));
}

// Older readers take the count as signed: 32,767 bytes is the most a save may write. The
// count saved is never more than the mailboxes there.
TEST_F(ConfigStore, SaveLimits)
{
    const QString p = path("big.vsm");
    Configuration big {sampleRecord(5, true), sampleMailboxes(1)};
    big.Configuracio.ProgramaSpam = QString(32767, u'x');
    ASSERT_TRUE(GravarConfiguracio(p, big));
    const ConfigurationLoad load = LlegirConfiguracio(p);
    ASSERT_TRUE(load.loaded());
    EXPECT_EQ(load.configuration.Configuracio.ProgramaSpam.size(), 32767);
    EXPECT_EQ(load.configuration.Busties, sampleMailboxes(1));
    const QByteArray atLimit = bytesOf(p);
    big.Busties[0].Contrassenya = QString(32768, u'y');
    EXPECT_FALSE(GravarConfiguracio(p, big));
    EXPECT_EQ(bytesOf(p), atLimit);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList {QStringLiteral("big.vsm")});
}

// The file holds passwords: a new one is private whatever the umask, an existing one keeps
// its mode (and its owner, when running as root). A symbolic link at the name is replaced
// by the file, never followed: root's save must not overwrite whatever a link names.
TEST_F(ConfigStore, FileModes)
{
    const auto statOf = [](const QString &p) {
        struct stat st = {};
        EXPECT_EQ(::lstat(QFile::encodeName(p).constData(), &st), 0);
        return st;
    };
    const mode_t old = ::umask(0);
    const bool saved = GravarConfiguracio(path("new.vsm"), Configuration {});
    ::umask(old);
    ASSERT_TRUE(saved);
    EXPECT_EQ(statOf(path("new.vsm")).st_mode & 07777, 0600u);

    const bool root = ::geteuid() == 0;
    const QByteArray real = QFile::encodeName(path("real.vsm"));
    for (const mode_t mode : {0640, 0400}) {
        SCOPED_TRACE(mode);
        writeFile(path("real.vsm"), sampleFile(2, 3));
        ASSERT_EQ(::chmod(real.constData(), mode), 0);
        ASSERT_TRUE(!root || ::chown(real.constData(), 4242, 4343) == 0);
        ASSERT_TRUE(GravarConfiguracio(path("real.vsm"), Configuration {}));
        EXPECT_EQ(bytesOf(path("real.vsm")).size(), 34); // the empty record, no mailbox
        const struct stat st = statOf(path("real.vsm"));
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_TRUE(!root || (st.st_uid == 4242 && st.st_gid == 4343));
    }

    // A link planted at the name, to a file of another mode (and owner, as root).
    writeFile(path("target"), "someone else's file");
    ASSERT_EQ(::chmod(QFile::encodeName(path("target")).constData(), 0644), 0);
    ASSERT_TRUE(!root || ::chown(QFile::encodeName(path("target")).constData(), 4242, 4343) == 0);
    ASSERT_TRUE(QFile::link(path("target"), path("link.vsm")));
    ASSERT_TRUE(GravarConfiguracio(path("link.vsm"), Configuration {}));
    EXPECT_EQ(bytesOf(path("target")), "someone else's file");
    const struct stat st = statOf(path("link.vsm"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(bytesOf(path("link.vsm")).size(), 34);
}

// Root saving for the service: the file is root's with the service's group, mode 0640,
// whoever owned the name before; a folder the save creates is the service's, mode 0700.
TEST_F(ConfigStore, RootSavesForTheServiceAccount)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files away";
    const struct passwd *nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    setServiceAccount(u"nobody"_s);
    const auto statOf = [](const QString &p) {
        struct stat st = {};
        EXPECT_EQ(::lstat(QFile::encodeName(p).constData(), &st), 0);
        return st;
    };
    writeFile(path("old.vsm"), sampleFile(2, 1));
    ASSERT_EQ(::chown(QFile::encodeName(path("old.vsm")).constData(), nobody->pw_uid, 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(path("old.vsm")).constData(), 0666), 0);
    for (const char *name : {"new.vsm", "old.vsm"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(GravarConfiguracio(path(name), Configuration {}));
        const struct stat st = statOf(path(name));
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, nobody->pw_gid);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    Configuration fresh;
    ConfigForm form = ConfigForm::fromRecord(fresh.Configuracio, dir.path());
    form.text[kServidorSMTP] = u"smtp.example.org"_s;
    form.text[kPortSMTP] = u"25"_s;
    form.text[kCarpetaCua] = path("NovaCua");
    form.text[kCarpetaSiEnviats] = path("NousEnviats");
    form.text[kCarpetaNoEnviats] = path("NousErrors");
    const bool refused = saveConfigForm(fresh, form, path("new.vsm")).has_value();
    setServiceAccount({});
    ASSERT_FALSE(refused);
    for (const char *folder : {"NovaCua", "NousEnviats", "NousErrors"}) {
        const struct stat st = statOf(path(folder));
        EXPECT_EQ(st.st_uid, nobody->pw_uid) << folder;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
    }
}

// A failed save is reported and leaves nothing behind.
TEST_F(ConfigStore, UnwritablePathsMakeTheSaveFail)
{
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("dir.vsm/inside")));
    const Configuration one {sampleRecord(1, true), sampleMailboxes(1)};
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
    for (const QString &p : {path("absent/c.vsm"), path("dir.vsm"), u"/proc/vessamo.vsm"_s})
        EXPECT_FALSE(GravarConfiguracio(p, one)) << p.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), before);
}

// ---- the login file beside the configuration ----

LoginSettings login(const char *method, const char *account = "", const char *command = "")
{
    return {QString::fromUtf8(method), QString::fromUtf8(account), QString::fromUtf8(command)};
}

// Every setting comes back as saved, for users and servers with the characters a key
// escapes; a configuration without login settings leaves no login file, and a missing one
// reads as classic logins everywhere.
TEST_F(ConfigStore, LoginSettingsRoundTrip)
{
    const QString p = path("c.vsm");
    Configuration c {sampleRecord(4, false), sampleMailboxes(4)};
    ASSERT_TRUE(GravarConfiguracio(p, c));
    EXPECT_FALSE(QFile::exists(p + u".login"_s));
    ConfigurationLoad load = loadConfiguration(p);
    ASSERT_TRUE(load.loaded());
    EXPECT_EQ(load.configuration, c);
    for (const Bustia &b : load.configuration.mailboxes())
        EXPECT_EQ(load.configuration.loginFor(b), LoginSettings {});

    c.Busties[1].Usuari = u"ana b=c%d@empresa.cat"_s;
    c.Busties[2].Servidor = u"[::1]"_s;
    c.Busties[3].Servidor = u"pop@odd host"_s;
    c.smtpLogin = login("XOAUTH2", "relay@empresa.cat");
    c.setLoginFor(c.Busties[0], login("APOP"));
    c.setLoginFor(c.Busties[1], login("SCRAM-SHA-256"));
    c.setLoginFor(c.Busties[2], login("auto", "", "/usr/bin/token \"a b\" -x"));
    c.setLoginFor(c.Busties[3], login("OAUTHBEARER", "ana"));
    ASSERT_TRUE(GravarConfiguracio(p, c));
    load = loadConfiguration(p);
    ASSERT_TRUE(load.loaded()) << load.error.toStdString();
    EXPECT_EQ(load.configuration, c);
    EXPECT_EQ(load.configuration.loginFor(c.Busties[1]), login("SCRAM-SHA-256"))
        << bytesOf(p + u".login"_s).toStdString();
    EXPECT_EQ(load.configuration.smtpLogin, login("XOAUTH2", "relay@empresa.cat"));

    // Back to classic everywhere: the file stays, saying so.
    c.smtpLogin = {};
    c.mailboxLogins.clear();
    ASSERT_TRUE(GravarConfiguracio(p, c));
    ASSERT_TRUE(QFile::exists(p + u".login"_s));
    EXPECT_EQ(loadConfiguration(p).configuration, c);
    ASSERT_TRUE(QFile::remove(p + u".login"_s));
    EXPECT_EQ(loadConfiguration(p).configuration, c);
}

// A login file that cannot be read as written is refused like a damaged configuration:
// the reason names the file and the line, and the start's load logs it.
TEST_F(ConfigStore, DamagedLoginFilesAreRefused)
{
    const QString p = path("c.vsm");
    writeFile(p, sampleFile(2, 1));
    const QByteArray rows[] = {
        "smtp.login = FOO\n",
        "smtp.login = APOP\n",
        "smtp.login = XOAUTH2\n",
        "smtp.login = XOAUTH2\nsmtp.token-account = a\nsmtp.token-command = /bin/true\n",
        "smtp.login = PLAIN\nsmtp.token-account = a\n",
        "smtp.token-account = ../escape\n",
        "smtp.token-command = relative/program\n",
        "smtp.login = auto\nsmtp.login = auto\n",
        "smtp.login\n",
        "smtp.login = \"auto\n",
        "smtp.method = auto\n",
        "mailbox.1.login = PLAIN\n",
        "pop3.ana@pop:99999.login = PLAIN\n",
        "pop3.ana@pop:110.login = BOGUS\n",
        "pop3.ana@pop:110.login = XOAUTH2\n",
        "smtp.login = \xff\n",
        "postmaster = Admin <admin@example.org>\n",
        "postmaster = a@example.org\npostmaster = a@example.org\n",
    };
    for (const QByteArray &bytes : rows) {
        SCOPED_TRACE(bytes.toStdString());
        writeFile(p + u".login"_s, bytes);
        QFile::remove(logPath);
        const ConfigurationLoad load = LlegirConfiguracio(p);
        EXPECT_EQ(load.status, ConfigurationLoad::Status::Damaged);
        EXPECT_TRUE(load.error.contains(p + u".login"_s)) << load.error.toStdString();
        EXPECT_EQ(load.file, p + u".login"_s);
        EXPECT_EQ(test::eventLogTexts(logPath), QStringList {load.error});
        EXPECT_EQ(load.configuration.Configuracio.NumBusties, 0);
    }
    // Comments, blank lines, CR LF ends and any case of a method are fine.
    writeFile(p + u".login"_s, "# x\r\n\r\n  smtp.login = scram-sha-1 \r\n");
    const ConfigurationLoad load = loadConfiguration(p);
    ASSERT_TRUE(load.loaded()) << load.error.toStdString();
    EXPECT_EQ(load.configuration.smtpLogin, login("SCRAM-SHA-1"));
}

// A mailbox's login is found by the mailbox's server, port and user: deleting, reordering
// or changing mailboxes never gives one mailbox another's login. An entry whose mailbox is
// gone is dropped with the next save.
TEST_F(ConfigStore, LoginsFollowTheirMailboxNotItsPosition)
{
    const QString p = path("c.vsm");
    const std::vector<Bustia> four = sampleMailboxes(4);
    const LoginSettings logins[] = {login("PLAIN"), {}, login("CRAM-MD5"), login("APOP")};
    struct Row
    {
        const char *name;
        std::vector<int> table; // indexes into `four`, in the new order
    };
    const Row rows[] = {
        {"unchanged", {0, 1, 2, 3}}, {"first deleted", {1, 2, 3}}, {"middle deleted", {0, 1, 3}},
        {"reversed", {3, 2, 1, 0}},  {"all but one deleted", {2}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Configuration c {sampleRecord(4, false), four};
        for (int i = 0; i < 4; ++i)
            c.setLoginFor(four[size_t(i)], logins[i]);
        ASSERT_TRUE(GravarConfiguracio(p, c));
        // What another editor (or an older one, which knows nothing of logins) leaves.
        Configuration edited {sampleRecord(int(row.table.size()), false), {}};
        for (int i : row.table)
            edited.Busties.push_back(four[size_t(i)]);
        ASSERT_TRUE(GravarConfiguracio(p + u".other"_s, edited));
        ASSERT_TRUE(QFile::remove(p));
        ASSERT_TRUE(QFile::rename(p + u".other"_s, p));
        const ConfigurationLoad load = loadConfiguration(p);
        ASSERT_TRUE(load.loaded()) << load.error.toStdString();
        for (int i : row.table)
            EXPECT_EQ(load.configuration.loginFor(four[size_t(i)]), logins[i]) << i;
        // Saved again: only the logins of the mailboxes there are left.
        ASSERT_TRUE(GravarConfiguracio(p, load.configuration));
        const QByteArray text = bytesOf(p + u".login"_s);
        for (int i = 0; i < 4; ++i) {
            const bool there = std::count(row.table.begin(), row.table.end(), i) > 0;
            const QByteArray key = "pop3." + four[size_t(i)].Usuari.toUtf8() + "@pop"
                + QByteArray::number(i) + ":" + QByteArray::number(110 + i) + ".login";
            EXPECT_EQ(text.contains(key), there && i != 1) << key.constData();
        }
    }
    // The same server and user on another port is another mailbox.
    Configuration c {sampleRecord(2, false), {four[0], four[0]}};
    c.Busties[1].Port = 995;
    c.setLoginFor(c.Busties[1], login("SCRAM-SHA-1"));
    EXPECT_EQ(c.loginFor(c.Busties[0]), LoginSettings {});
}

// The login file gets the configuration's care: private when new, its mode kept, never
// written through a link planted at its name.
TEST_F(ConfigStore, LoginFileModes)
{
    const auto statOf = [](const QString &p) {
        struct stat st = {};
        EXPECT_EQ(::lstat(QFile::encodeName(p).constData(), &st), 0);
        return st;
    };
    Configuration c {sampleRecord(1, false), sampleMailboxes(1)};
    c.smtpLogin = login("auto");
    const QString p = path("c.vsm");
    const mode_t old = ::umask(0);
    const bool saved = GravarConfiguracio(p, c);
    ::umask(old);
    ASSERT_TRUE(saved);
    EXPECT_EQ(statOf(p + u".login"_s).st_mode & 07777, 0600u);
    ASSERT_EQ(::chmod(QFile::encodeName(p + u".login"_s).constData(), 0640), 0);
    ASSERT_TRUE(GravarConfiguracio(p, c));
    EXPECT_EQ(statOf(p + u".login"_s).st_mode & 07777, 0640u);

    writeFile(path("target"), "someone else's file");
    ASSERT_TRUE(QFile::remove(p + u".login"_s));
    ASSERT_TRUE(QFile::link(path("target"), p + u".login"_s));
    ASSERT_TRUE(GravarConfiguracio(p, c));
    EXPECT_EQ(bytesOf(path("target")), "someone else's file");
    EXPECT_TRUE(S_ISREG(statOf(p + u".login"_s).st_mode));
    EXPECT_EQ(statOf(p + u".login"_s).st_mode & 07777, 0600u);
    EXPECT_EQ(loadConfiguration(p).configuration.smtpLogin, login("auto"));

    if (::geteuid() != 0)
        return;
    const struct passwd *nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    setServiceAccount(u"nobody"_s);
    const bool serviceSaved = GravarConfiguracio(p, c);
    setServiceAccount({});
    ASSERT_TRUE(serviceSaved);
    const struct stat st = statOf(p + u".login"_s);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ConfigurationFilePath, BesideTheExecutableUnlessOverridden)
{
    const QString beside = QCoreApplication::applicationDirPath() + u"/config_test.vsm"_s;
    for (const QByteArray &env : {QByteArray(), QByteArray(""), QByteArray("/etc/v/altra.conf")}) {
        ScopedEnv scoped("VESSAMO_CONFIG", env);
        EXPECT_EQ(configurationFilePath(), env.isEmpty() ? beside : QString::fromLatin1(env));
    }
}

// Installed means: this executable is the one at the compiled-in path, and no older
// configuration lies beside it. Anything else keeps its files beside the executable. A user
// other than root and the service user running the installed program keeps their own.
TEST(Layout, InstalledOnlyAtTheInstalledPath)
{
    const Layout installed {true, false, u"/etc/vessamo/vessamo.vsm"_s, u"/var/spool/vessamo"_s};
    const Layout ana {true, true, u"/home/ana/.config/vessamo/vessamo.vsm"_s,
                      u"/home/ana/.local/share/vessamo"_s};
    const Layout besideBin {false, false, u"/usr/bin/vessamo.vsm"_s, u"/usr/bin"_s};
    const std::tuple<const char *, const char *, bool, bool, Layout> rows[] = {
        {"/usr/bin/vessamo", "/usr/bin/vessamo", false, false, installed},
        {"/usr/bin/vessamo", "/usr/bin/vessamo", false, true, ana},
        {"/usr/bin/vessamo", "/usr/bin/vessamo", true, false, besideBin},
        {"/usr/bin/vessamo", "/usr/bin/vessamo", true, true, besideBin},
        {"/home/ana/src/build/vessamo",
         "/usr/bin/vessamo",
         false,
         true,
         {false, false, u"/home/ana/src/build/vessamo.vsm"_s, u"/home/ana/src/build"_s}},
        {"/usr/local/bin/vessamo",
         "/usr/bin/vessamo",
         false,
         false,
         {false, false, u"/usr/local/bin/vessamo.vsm"_s, u"/usr/local/bin"_s}},
        {"/usr/bin/vessamo-old",
         "/usr/bin/vessamo",
         false,
         false,
         {false, false, u"/usr/bin/vessamo-old.vsm"_s, u"/usr/bin"_s}},
        {"/usr/bin/vessamo", "", false, false, besideBin},
    };
    for (const auto &[exe, installedAt, beside, user, expected] : rows) {
        const Layout got = layoutFor(QString::fromLatin1(exe), QString::fromLatin1(installedAt),
                                     beside, user ? u"/home/ana/.config/vessamo"_s : QString(),
                                     user ? u"/home/ana/.local/share/vessamo"_s : QString());
        EXPECT_EQ(got, expected) << exe << " beside " << beside << " user " << user << ": "
                                 << got.configurationFile.toStdString();
    }
    // A user's folders are made owner-only before the first save.
    QTemporaryDir home;
    const Layout own
        = layoutFor(u"/usr/bin/vessamo"_s, u"/usr/bin/vessamo"_s, false,
                    home.filePath(u"config/vessamo"_s), home.filePath(u"share/vessamo"_s));
    ASSERT_TRUE(prepareUserFolders(own));
    for (const QString &folder : {home.filePath(u"config/vessamo"_s), own.folderBase})
        EXPECT_EQ(QFileInfo(folder).permissions() & 0x0077, 0) << folder.toStdString();
    // A test binary in the build tree is never the installed program.
    EXPECT_FALSE(programLayout().installed);
}

} // namespace
} // namespace vessamo::config
