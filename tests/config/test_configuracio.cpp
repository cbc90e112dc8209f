// Tests of the configuration file: byte-exact loads and saves of hand-built files, the
// version 1 upgrade, refusal of damaged files at every truncation point, and the safety of
// saves (permissions, atomic replacement, failures reported).
#include "config/configuracio.h"
#include "support/tempenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

void PrintTo(const QByteArray &b, std::ostream *os)
{
    *os << b.size() << " bytes: " << b.toHex(' ').toStdString();
}

namespace vessamo::config {

void PrintTo(const Bustia &b, std::ostream *os)
{
    *os << '{' << b.Servidor.toStdString() << ' ' << b.Port << ' ' << b.Usuari.toStdString()
        << " <pw> " << b.EnviarA.toStdString() << '}';
}

namespace {

using vessamo::test::ScopedEnv;

const QString kMissing = QStringLiteral("Configurant: Fitxer de configuració inexistent");
const QString kFormat = QStringLiteral("Configurant: Format de fitxer de configuració incorrecte");

// Builds file contents field by field, the way the format lays them out.
struct Bytes
{
    QByteArray b;
    Bytes &i32(qint32 v)
    {
        for (int shift = 0; shift < 32; shift += 8)
            b.append(char((quint32(v) >> shift) & 0xFF));
        return *this;
    }
    Bytes &i16(qint16 v)
    {
        b.append(char(quint16(v) & 0xFF)).append(char(quint16(v) >> 8));
        return *this;
    }
    Bytes &text(const QByteArray &ansi)
    {
        i16(qint16(ansi.size()));
        b.append(ansi);
        return *this;
    }
};

// Fields 1 to 11. "ç" is E7, "ú" FA and "€" 80 in Windows-1252.
Bytes baseFields(Bytes f, qint16 count)
{
    return f.i16(15)
        .text("/srv/cu\xe7"
              "a/")
        .text("/srv/noenviats/")
        .text("/srv/sienviats/")
        .i16(30)
        .text("smtp.example.cat")
        .i16(587)
        .i16(-1)
        .text("jord\xfa")
        .text("pa\x80ss")
        .i16(count);
}

Bytes spamFields(Bytes f)
{
    return f.i16(-1).text("spamc -i %i -o %o").text("/srv/spam/").text("X-Spam: S\xed");
}

Bytes mailboxRecord(Bytes f, int i)
{
    const QByteArray n = QByteArray::number(i);
    return f.text("pop" + n + ".example.cat")
        .i16(qint16(110 + i))
        .text("usuari" + n + "\xe7")
        .text("secret\x80" + n)
        .text("desti" + n + "@example.cat");
}

QByteArray sampleFile(qint32 version, int mailboxes)
{
    Bytes f = baseFields(Bytes().i32(version), qint16(mailboxes));
    if (version == 2)
        f = spamFields(f);
    for (int i = 0; i < mailboxes; ++i)
        f = mailboxRecord(f, i);
    return f.b;
}

ConfiguracioRecord sampleRecord(int mailboxes, bool withSpam)
{
    ConfiguracioRecord r;
    r.Interval = 15;
    r.CarpetaCua = QStringLiteral("/srv/cuça/");
    r.CarpetaNoEnviats = QStringLiteral("/srv/noenviats/");
    r.CarpetaSiEnviats = QStringLiteral("/srv/sienviats/");
    r.DiesArxiu = 30;
    r.ServidorSMTP = QStringLiteral("smtp.example.cat");
    r.PortSMTP = 587;
    r.AutentificacioSMTP = -1;
    r.UsuariSMTP = QStringLiteral("jordú");
    r.ContrassenyaSMTP = QStringLiteral("pa€ss");
    r.NumBusties = qint16(mailboxes);
    if (withSpam) {
        r.FiltreSpam = -1;
        r.ProgramaSpam = QStringLiteral("spamc -i %i -o %o");
        r.CarpetaSpam = QStringLiteral("/srv/spam/");
        r.MarcaSpam = QStringLiteral("X-Spam: Sí");
    }
    return r;
}

std::vector<Bustia> sampleMailboxes(int n)
{
    std::vector<Bustia> out;
    for (int i = 0; i < n; ++i) {
        const QString s = QString::number(i);
        out.push_back({QStringLiteral("pop") + s + QStringLiteral(".example.cat"), qint16(110 + i),
                       QStringLiteral("usuari") + s + QStringLiteral("ç"),
                       QStringLiteral("secret€") + s,
                       QStringLiteral("desti") + s + QStringLiteral("@example.cat")});
    }
    return out;
}

// Values that no file in these tests holds, to see what a failed load leaves behind.
ConfiguracioRecord sentinelRecord()
{
    ConfiguracioRecord r;
    r.Interval = 99;
    r.CarpetaCua = QStringLiteral("/abans/");
    r.ServidorSMTP = QStringLiteral("abans.example");
    r.NumBusties = 2;
    r.FiltreSpam = -1;
    r.MarcaSpam = QStringLiteral("abans");
    return r;
}

class ConfigStore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        resetConfiguration();
        VersioConfiguracio = 2;
    }
    void TearDown() override { resetConfiguration(); }

    QString path(const QString &name) const { return dir.filePath(name); }

    static void writeFile(const QString &p, const QByteArray &data)
    {
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(data), data.size());
    }

    static QByteArray readFile(const QString &p)
    {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // The texts of the event-log entries so far; each line must have the entry's layout.
    QStringList logTexts() const
    {
        static const QRegularExpression line(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\t1\\t109\\t(.*)$"));
        QStringList texts;
        const QString all = QString::fromUtf8(readFile(logPath));
        for (const QString &l : all.split(u'\n', Qt::SkipEmptyParts)) {
            const auto m = line.match(l);
            EXPECT_TRUE(m.hasMatch()) << l.toStdString();
            texts << m.captured(1);
        }
        return texts;
    }

    void clearLog() const { QFile::remove(logPath); }

    void loadSentinel()
    {
        Configuracio = sentinelRecord();
        Busties = sampleMailboxes(2);
    }

    // A refused load keeps every field but the count, and leaves one empty mailbox entry.
    void expectRefusedWith(const QString &text)
    {
        ConfiguracioRecord expected = sentinelRecord();
        expected.NumBusties = 0;
        EXPECT_EQ(Configuracio, expected);
        EXPECT_EQ(Busties, std::vector<Bustia>(1));
        EXPECT_EQ(logTexts(), QStringList {text});
    }

    QTemporaryDir dir;
    QString logPath = dir.filePath(QStringLiteral("events.log"));
    ScopedEnv logEnv {"VESSAMO_EVENTLOG", QFile::encodeName(logPath)};
};

TEST_F(ConfigStore, Version2FileRoundTripsByteForByte)
{
    const QByteArray original = sampleFile(2, 2);
    writeFile(path(QStringLiteral("in.vsm")), original);
    ASSERT_TRUE(LlegirConfiguracio(path(QStringLiteral("in.vsm"))));
    EXPECT_EQ(Configuracio, sampleRecord(2, true));
    EXPECT_EQ(Busties, sampleMailboxes(2));

    ASSERT_TRUE(GravarConfiguracio(path(QStringLiteral("out.vsm"))));
    EXPECT_EQ(readFile(path(QStringLiteral("out.vsm"))), original);
    EXPECT_TRUE(logTexts().isEmpty());
}

TEST_F(ConfigStore, MailboxRecordIsTheNineteenByteExample)
{
    Configuracio.NumBusties = 1;
    Busties = {{QStringLiteral("pop"), 110, QStringLiteral("ana"), {}, QStringLiteral("ana")}};
    const QString p = path(QStringLiteral("c.vsm"));
    ASSERT_TRUE(GravarConfiguracio(p));

    const QByteArray example
        = QByteArray::fromHex("03 00 70 6F 70, 6E 00, 03 00 61 6E 61, 00 00, 03 00 61 6E 61");
    ASSERT_EQ(example.size(), 19);
    const QByteArray file = readFile(p);
    EXPECT_EQ(file.size(), 34 + 19);
    EXPECT_EQ(file.right(19), example);

    Busties.clear();
    ASSERT_TRUE(LlegirConfiguracio(p));
    EXPECT_EQ(Busties,
              (std::vector<Bustia> {
                  {QStringLiteral("pop"), 110, QStringLiteral("ana"), {}, QStringLiteral("ana")}}));
}

TEST_F(ConfigStore, Version1LoadsWithSpamOffAndSavesAsVersion2)
{
    writeFile(path(QStringLiteral("v1.vsm")), sampleFile(1, 2));
    Configuracio = sampleRecord(0, true); // spam settings from before must not survive
    ASSERT_TRUE(LlegirConfiguracio(path(QStringLiteral("v1.vsm"))));
    EXPECT_EQ(Configuracio, sampleRecord(2, false));
    EXPECT_EQ(Busties, sampleMailboxes(2));

    ASSERT_TRUE(GravarConfiguracio(path(QStringLiteral("v1.vsm"))));
    Bytes expected = baseFields(Bytes().i32(2), 2).i16(0).text({}).text({}).text({});
    expected = mailboxRecord(mailboxRecord(expected, 0), 1);
    EXPECT_EQ(readFile(path(QStringLiteral("v1.vsm"))), expected.b);
    EXPECT_TRUE(logTexts().isEmpty());
}

TEST_F(ConfigStore, AllEmptyFilesHaveTheirDocumentedSizes)
{
    struct Row
    {
        qint32 version;
        int size;
    };
    for (const Row row : {Row {2, 34}, Row {1, 26}}) {
        SCOPED_TRACE(row.version);
        const QByteArray file = Bytes().i32(row.version).b + QByteArray(row.size - 4, '\0');
        writeFile(path(QStringLiteral("e.vsm")), file);
        loadSentinel();
        ASSERT_TRUE(LlegirConfiguracio(path(QStringLiteral("e.vsm"))));
        EXPECT_EQ(Configuracio, ConfiguracioRecord {});
        EXPECT_EQ(Busties, std::vector<Bustia>(1));
    }
    ASSERT_TRUE(GravarConfiguracio(path(QStringLiteral("e.vsm"))));
    EXPECT_EQ(readFile(path(QStringLiteral("e.vsm"))), Bytes().i32(2).b + QByteArray(30, '\0'));
}

TEST_F(ConfigStore, UnknownVersionsAreRefused)
{
    // 0x02000000 is version 2 written big-endian.
    for (const qint32 version : {0, 3, -1, 0x02000000}) {
        SCOPED_TRACE(version);
        QByteArray file = sampleFile(2, 1);
        file.replace(0, 4, Bytes().i32(version).b);
        writeFile(path(QStringLiteral("v.vsm")), file);
        loadSentinel();
        clearLog();
        EXPECT_FALSE(LlegirConfiguracio(path(QStringLiteral("v.vsm"))));
        expectRefusedWith(kFormat);
    }
}

TEST_F(ConfigStore, NoRegularFileAtThePathCountsAsMissing)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("dir.vsm")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path(QStringLiteral("fifo.vsm"))).constData(), 0600), 0);
    for (const char *name : {"absent.vsm", "dir.vsm", "fifo.vsm", ""}) {
        SCOPED_TRACE(name);
        loadSentinel();
        clearLog();
        const QString p = *name ? path(QString::fromLatin1(name)) : QString();
        EXPECT_FALSE(LlegirConfiguracio(p));
        expectRefusedWith(kMissing);
    }
}

TEST_F(ConfigStore, EveryTruncationIsRefusedAndChangesNothing)
{
    for (const qint32 version : {1, 2}) {
        const QByteArray full = sampleFile(version, 2);
        for (qsizetype n = 0; n < full.size(); ++n) {
            SCOPED_TRACE(testing::Message() << "version " << version << ", " << n << " bytes");
            writeFile(path(QStringLiteral("t.vsm")), full.left(n));
            loadSentinel();
            clearLog();
            EXPECT_FALSE(LlegirConfiguracio(path(QStringLiteral("t.vsm"))));
            expectRefusedWith(kFormat);
            if (HasFailure())
                return;
        }
    }
}

TEST_F(ConfigStore, MailboxCountDecidesWhatIsRead)
{
    struct Row
    {
        const char *name;
        qint16 count;
        int recordsInFile;
        bool ok;
        int loaded;
    };
    const Row rows[] = {
        {"zero", 0, 0, true, 0},
        {"negative", -1, 0, true, 0},
        {"most negative", -32768, 1, true, 0},
        {"fewer than in the file", 1, 3, true, 1},
        {"one record short", 3, 2, false, 0},
        {"huge, nothing behind", 30000, 0, false, 0},
        {"largest, one record behind", 32767, 1, false, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes f = spamFields(baseFields(Bytes().i32(2), row.count));
        for (int i = 0; i < row.recordsInFile; ++i)
            f = mailboxRecord(f, i);
        writeFile(path(QStringLiteral("n.vsm")), f.b);
        loadSentinel();
        clearLog();
        EXPECT_EQ(LlegirConfiguracio(path(QStringLiteral("n.vsm"))), row.ok);
        EXPECT_EQ(Configuracio.NumBusties, row.loaded);
        if (row.ok) {
            EXPECT_EQ(Configuracio, sampleRecord(row.loaded, true));
            EXPECT_EQ(Busties, row.loaded ? sampleMailboxes(row.loaded) : std::vector<Bustia>(1));
            EXPECT_TRUE(logTexts().isEmpty());
        } else {
            expectRefusedWith(kFormat);
        }
    }
}

TEST_F(ConfigStore, TextCountsAboveSignedRangeAreReadAsUnsigned)
{
    // 40,000 bytes do not fit a signed 16-bit count; a reader taking it as negative would
    // misread everything after it.
    const QByteArray longText(40000, 'a');
    Bytes f = baseFields(Bytes().i32(2), 1).i16(0).text(longText).text("/s/").text("m");
    writeFile(path(QStringLiteral("l.vsm")), mailboxRecord(f, 0).b);
    ASSERT_TRUE(LlegirConfiguracio(path(QStringLiteral("l.vsm"))));
    EXPECT_EQ(Configuracio.ProgramaSpam, QString::fromLatin1(longText));
    EXPECT_EQ(Configuracio.CarpetaSpam, QStringLiteral("/s/"));
    EXPECT_EQ(Busties, sampleMailboxes(1));

    writeFile(path(QStringLiteral("l.vsm")), f.b.left(f.b.size() - 30)); // count > bytes left
    EXPECT_FALSE(LlegirConfiguracio(path(QStringLiteral("l.vsm"))));
}

TEST_F(ConfigStore, TextsAboveTheWritableLimitRefuseTheSave)
{
    const QString p = path(QStringLiteral("big.vsm"));
    writeFile(p, sampleFile(2, 1));
    ASSERT_TRUE(LlegirConfiguracio(p));

    Configuracio.ProgramaSpam = QString(32767, u'x');
    ASSERT_TRUE(GravarConfiguracio(p));
    ASSERT_TRUE(LlegirConfiguracio(p));
    EXPECT_EQ(Configuracio.ProgramaSpam.size(), 32767);
    const QByteArray atLimit = readFile(p);

    for (int which = 0; which < 2; ++which) {
        Configuracio.ProgramaSpam = QString(32767, u'x');
        Busties[0].Contrassenya = QStringLiteral("pw");
        (which ? Busties[0].Contrassenya : Configuracio.ProgramaSpam) = QString(32768, u'y');
        EXPECT_FALSE(GravarConfiguracio(p)) << which;
        EXPECT_EQ(readFile(p), atLimit) << which;
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), (QStringList {QStringLiteral("big.vsm")}));
}

TEST_F(ConfigStore, CharactersOutsideTheCodePageComeBackAsQuestionMarks)
{
    Configuracio.UsuariSMTP = QStringLiteral("Ωmega 中 ç€");
    Configuracio.NumBusties = 1;
    Busties = {{QStringLiteral("pop"), 110, QStringLiteral("ŁukaszЖ"), {}, {}}};
    const QString p = path(QStringLiteral("cp.vsm"));
    ASSERT_TRUE(GravarConfiguracio(p));
    ASSERT_TRUE(LlegirConfiguracio(p));
    EXPECT_EQ(Configuracio.UsuariSMTP, QStringLiteral("?mega ? ç€"));
    EXPECT_EQ(Busties.at(0).Usuari, QStringLiteral("?ukasz?"));
}

TEST_F(ConfigStore, SavingFewerMailboxesLeavesNoOldBytes)
{
    const QString p = path(QStringLiteral("three.vsm"));
    writeFile(p, sampleFile(2, 3));
    ASSERT_TRUE(LlegirConfiguracio(p));
    ASSERT_EQ(Configuracio.NumBusties, 3);

    Busties.resize(1);
    Configuracio.NumBusties = 1;
    ASSERT_TRUE(GravarConfiguracio(p));
    EXPECT_EQ(readFile(p), sampleFile(2, 1));
    ASSERT_TRUE(LlegirConfiguracio(p));
    EXPECT_EQ(Busties, sampleMailboxes(1));
}

TEST_F(ConfigStore, CountNeverExceedsTheMailboxesWritten)
{
    Configuracio = sampleRecord(5, true); // a table out of step with its count
    Busties = sampleMailboxes(2);
    const QString p = path(QStringLiteral("c.vsm"));
    ASSERT_TRUE(GravarConfiguracio(p));
    EXPECT_EQ(readFile(p), sampleFile(2, 2));
}

TEST_F(ConfigStore, NewFileIsPrivateWhateverTheUmask)
{
    const mode_t old = ::umask(0);
    const bool saved = GravarConfiguracio(path(QStringLiteral("new.vsm")));
    ::umask(old);
    ASSERT_TRUE(saved);
    struct stat st
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(path(QStringLiteral("new.vsm"))).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ConfigStore, ExistingFileKeepsItsModeAndOwner)
{
    const bool root = ::geteuid() == 0;
    for (const mode_t mode : {0640, 0644, 0600, 0400}) {
        SCOPED_TRACE(mode);
        const QByteArray p = QFile::encodeName(path(QStringLiteral("m.vsm")));
        QFile::remove(QString::fromLocal8Bit(p));
        writeFile(QString::fromLocal8Bit(p), sampleFile(2, 3));
        ASSERT_EQ(::chmod(p.constData(), mode), 0);
        if (root) {
            ASSERT_EQ(::chown(p.constData(), 4242, 4343), 0);
        }
        ASSERT_TRUE(GravarConfiguracio(QString::fromLocal8Bit(p)));
        struct stat st
        {
        };
        ASSERT_EQ(::stat(p.constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (root) {
            EXPECT_EQ(st.st_uid, 4242u);
            EXPECT_EQ(st.st_gid, 4343u);
        }
        EXPECT_EQ(readFile(QString::fromLocal8Bit(p)).size(), 34);
    }
}

TEST_F(ConfigStore, SaveThroughSymlinkReplacesTheTarget)
{
    const QString real = path(QStringLiteral("real.vsm"));
    const QString link = path(QStringLiteral("link.vsm"));
    writeFile(real, sampleFile(2, 1));
    ASSERT_TRUE(QFile::link(real, link));
    ASSERT_TRUE(GravarConfiguracio(link));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readFile(real).size(), 34);
}

TEST_F(ConfigStore, UnwritablePathsMakeTheSaveFail)
{
    writeFile(path(QStringLiteral("plain")), "x");
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("dir.vsm/inside")));
    Configuracio = sampleRecord(1, true);
    Busties = sampleMailboxes(1);
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
    for (const QString &p :
         {path(QStringLiteral("plain/c.vsm")), path(QStringLiteral("absent/c.vsm")),
          path(QStringLiteral("dir.vsm")), QStringLiteral("/proc/vessamo-test.vsm")}) {
        SCOPED_TRACE(p.toStdString());
        EXPECT_FALSE(GravarConfiguracio(p));
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), before);
}

TEST_F(ConfigStore, ReadOnlyFolderMakesTheSaveFail)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    const QString sub = path(QStringLiteral("ro"));
    ASSERT_TRUE(QDir().mkdir(sub));
    writeFile(sub + QStringLiteral("/c.vsm"), sampleFile(2, 2));
    ASSERT_EQ(::chmod(QFile::encodeName(sub).constData(), 0555), 0);
    EXPECT_FALSE(GravarConfiguracio(sub + QStringLiteral("/c.vsm")));
    ::chmod(QFile::encodeName(sub).constData(), 0755);
    EXPECT_EQ(readFile(sub + QStringLiteral("/c.vsm")), sampleFile(2, 2));
}

TEST(ConfigurationFilePath, BesideTheExecutableUnlessOverridden)
{
    const QString beside
        = QCoreApplication::applicationDirPath() + QStringLiteral("/config_test.vsm");
    {
        ScopedEnv env("VESSAMO_CONFIG", QByteArray());
        EXPECT_EQ(configurationFilePath(), beside);
    }
    {
        ScopedEnv env("VESSAMO_CONFIG", "");
        EXPECT_EQ(configurationFilePath(), beside);
    }
    {
        ScopedEnv env("VESSAMO_CONFIG", "/etc/vessamo/altra.conf");
        EXPECT_EQ(configurationFilePath(), QStringLiteral("/etc/vessamo/altra.conf"));
    }
}

} // namespace
} // namespace vessamo::config
