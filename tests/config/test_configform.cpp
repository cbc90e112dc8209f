// The rules the configuration dialogs and the text interface share: the numeric reading of
// number boxes, the save checks in their order, folder preparation, and saves that leave
// the record in memory alone when they fail.
#include "config/configform.h"
#include "config/configtext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>

namespace vessamo::config {
namespace {

TEST(ConfigForm, NumericReading)
{
    struct Row
    {
        const char *text;
        double value;
        bool whole;
    };
    const Row rows[] = {
        {"25", 25, true},   {"25x", 25, false},        {"x", 0, false},     {"", 0, false},
        {"&H1F", 31, true}, {"&h1f", 31, true},        {"&O17", 15, true},  {"&O8", 0, false},
        {" 1 2", 12, true}, {"1\t2\n", 12, true},      {"1e3", 1000, true}, {"1E+2", 100, true},
        {"1e", 1, false},   {"-5", -5, true},          {"+.5", 0.5, true},  {"1.5.2", 1.5, false},
        {"&H", 0, false},   {"1e400", HUGE_VAL, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        const NumericReading r = readNumber(QString::fromUtf8(row.text));
        EXPECT_EQ(r.value, row.value);
        EXPECT_EQ(r.wholeText, row.whole);
    }
}

TEST(ConfigForm, NumberBoxesStoreOnlyWholeNumbersInRange)
{
    struct Row
    {
        const char *text;
        int maximum;
        std::optional<qint16> stored;
    };
    const Row rows[] = {
        {"25", 65535, 25},    {"&H1F", 65535, 31},     {"65535", 65535, qint16(-1)},
        {"65536", 65535, {}}, {"0", 65535, {}},        {"-25", 65535, {}},
        {"25x", 65535, {}},   {"2.5", 65535, {}},      {"1e400", 65535, {}},
        {"40000", 32767, {}}, {"32767", 32767, 32767}, {" 1 0 ", 32767, 10},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(numberBoxValue(QString::fromUtf8(row.text), 1, row.maximum), row.stored);
    }
}

// A form that passes every check, its folders under a temporary folder.
class ConfigFormSave : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = QDir(dir.path()).canonicalPath();
        program = root + QStringLiteral("/filtre");
        QFile file(program);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        form = ConfigForm::fromRecord(ConfiguracioRecord {}, root);
        form.text[kServidorSMTP] = QStringLiteral("smtp.example.org");
        form.text[kPortSMTP] = QStringLiteral("25");
        form.text[kProgramaSpam] = program + QStringLiteral(" %i %o");
        form.text[kMarcaSpam] = QStringLiteral("X-Spam: yes");
    }
    QString message()
    {
        const std::optional<Refusal> refusal = checkConfigForm(form);
        return refusal ? refusal->message : QString();
    }

    QTemporaryDir dir;
    QString root;
    QString program;
    ConfigForm form;
    // What the editor holds; it starts empty.
    Configuration configuration;
};

TEST_F(ConfigFormSave, OpeningAFreshInstallationShowsTheDefaults)
{
    const ConfigForm fresh
        = ConfigForm::fromRecord(ConfiguracioRecord {}, QStringLiteral("/opt/v"));
    EXPECT_EQ(fresh.text[kInterval], QStringLiteral("5"));
    EXPECT_EQ(fresh.text[kDiesArxiu], QStringLiteral("90"));
    EXPECT_EQ(fresh.text[kPortSMTP], QStringLiteral("0"));
    EXPECT_EQ(fresh.text[kCarpetaCua], QStringLiteral("/opt/v/Cua/"));
    EXPECT_EQ(fresh.text[kCarpetaSpam], QStringLiteral("/opt/v/SPam/"));
    form = fresh;
    EXPECT_EQ(message(), QStringLiteral("Servidor SMTP incorrecte"));
    form.text[kServidorSMTP] = QStringLiteral("smtp");
    EXPECT_EQ(message(), QStringLiteral("Port SMTP incorrecte"));
}

// Each row breaks one box of a good form; the first failing check in order gives the
// message, whatever later boxes hold.
TEST_F(ConfigFormSave, EachCheckRefusesWithItsMessage)
{
    struct Row
    {
        const char *name;
        std::function<void(ConfigForm &)> edit;
        const char *message;
    };
    const auto set = [](ConfigBox box, const char *text) {
        return [box, text](ConfigForm &f) { f.text[box] = QString::fromUtf8(text); };
    };
    const auto withAuth = [](ConfigBox box, const char *text) {
        return [box, text](ConfigForm &f) {
            f.autentificacio = true;
            f.text[kUsuariSMTP] = QStringLiteral("ana");
            f.text[kContrassenyaSMTP] = f.text[kConfirmacioSMTP] = QStringLiteral("Secret");
            f.text[box] = QString::fromUtf8(text);
        };
    };
    const auto withSpam = [](ConfigBox box, QString text) {
        return [box, text](ConfigForm &f) {
            f.filtreSpam = true;
            f.text[box] = text;
        };
    };
    const QList<Row> rows = {
        {"blank server", set(kServidorSMTP, "   "), "Servidor SMTP incorrecte"},
        {"port 65536 does not wrap to 0", set(kPortSMTP, "65536"), "Port SMTP incorrecte"},
        {"auth off: user and password unchecked", set(kUsuariSMTP, ""), ""},
        {"auth, blank user", withAuth(kUsuariSMTP, " "), "Usuari SMTP incorrecte"},
        {"auth, confirmation differs in case", withAuth(kConfirmacioSMTP, "secret"),
         "Contrassenya SMTP incorrecte"},
        {"interval 40000 does not turn negative", set(kInterval, "40000"),
         "Interval de comprovació de bústies incorrecte"},
        {"blank queue folder", set(kCarpetaCua, ""), "Carpeta cua incorrecte"},
        {"relative queue folder", set(kCarpetaCua, "Cua"), "Carpeta cua incorrecte"},
        {"sent folder whose parent is missing", set(kCarpetaSiEnviats, "/nonexistent/a/b"),
         "Carpeta arxiu incorrecte"},
        {"failed folder blank", set(kCarpetaNoEnviats, " "), "Carpeta errors incorrecte"},
        {"days with a fraction", set(kDiesArxiu, "1.5"),
         "Número de dies a mantenir l'arxiu incorrecte"},
        {"filter off: spam boxes unchecked", set(kProgramaSpam, ""), ""},
        {"program without %o", withSpam(kProgramaSpam, program + QStringLiteral(" %i")),
         "Programa de filtre anti-spam incorrecte"},
        {"placeholders but no blank", withSpam(kProgramaSpam, program + QStringLiteral("%i%o")),
         "Programa de filtre anti-spam incorrecte"},
        {"a program path with a blank in it",
         withSpam(kProgramaSpam, root + QStringLiteral("/my filter %i %o")),
         "Programa de filtre anti-spam incorrecte"},
        {"spam folder blank", withSpam(kCarpetaSpam, QString()), "Carpeta spam incorrecte"},
        {"spam mark blank", withSpam(kMarcaSpam, QStringLiteral(" ")),
         "Marca de correu spam incorrecte"},
        {"everything right, filter on", withSpam(kMarcaSpam, QStringLiteral("SPAM")), ""},
    };
    const ConfigForm good = form;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        form = good;
        row.edit(form);
        EXPECT_EQ(message(), QString::fromUtf8(row.message));
    }
}

TEST_F(ConfigFormSave, FoldersArePreparedEvenWhenALaterCheckFails)
{
    form.text[kCarpetaCua] = root + QStringLiteral("/Cua");
    form.text[kDiesArxiu] = QStringLiteral("0");
    EXPECT_EQ(message(), QStringLiteral("Número de dies a mantenir l'arxiu incorrecte"));
    EXPECT_EQ(form.text[kCarpetaCua], root + QStringLiteral("/Cua/"));
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/Cua")).isDir());
    EXPECT_EQ(QFileInfo(root + QStringLiteral("/Cua")).permissions() & QFile::ReadOther,
              QFile::Permissions());
}

TEST_F(ConfigFormSave, ASaveThatCannotBeWrittenLeavesTheRecordAlone)
{
    // A folder at the name: the lock beside it is taken, the file's rename fails.
    const QString folder = root + QStringLiteral("/folder.vsm");
    ASSERT_TRUE(QDir().mkdir(folder));
    configuration.Configuracio.ServidorSMTP = QStringLiteral("old.example.org");
    EXPECT_TRUE(saveConfigForm(configuration, form, folder).has_value());
    EXPECT_EQ(configuration.Configuracio.ServidorSMTP, QStringLiteral("old.example.org"));

    const QString path = root + QStringLiteral("/vessamo.vsm");
    ASSERT_FALSE(saveConfigForm(configuration, form, path).has_value());
    const ConfiguracioRecord saved = configuration.Configuracio;
    EXPECT_EQ(saved.PortSMTP, 25);
    EXPECT_EQ(saved.ProgramaSpam, form.text[kProgramaSpam]);
    EXPECT_EQ(saved.FiltreSpam, 0); // copied even with the filter off
    const ConfigurationLoad load = LlegirConfiguracio(path);
    ASSERT_TRUE(load.loaded());
    EXPECT_TRUE(load.configuration.Configuracio == saved);
}

TEST(MailboxForm, ChecksSavesAndDeletesByPosition)
{
    Configuration configuration;
    struct Row
    {
        MailboxBox box;
        const char *text;
        const char *message;
    };
    const Row rows[] = {
        {kServidor, " ", "Servidor POP3 incorrecte"},
        {kPort, "pop", "Port POP3 incorrecte"},
        {kPort, "0", "Port POP3 incorrecte"},
        {kUsuari, "", "Usuari POP3 incorrecte"},
        {kConfirmacio, "SECRET", "Contrassenya POP3 incorrecte"},
        {kPort, "995", ""},
        {kEnviarA, "", ""},
    };
    MailboxForm good = MailboxForm::fresh();
    EXPECT_EQ(good.text[kPort], QStringLiteral("110"));
    good.text[kServidor] = QStringLiteral("pop.example.org");
    good.text[kUsuari] = QStringLiteral("ana");
    good.text[kContrassenya] = good.text[kConfirmacio] = QStringLiteral("secret");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        MailboxForm form = good;
        form.text[row.box] = QString::fromUtf8(row.text);
        const std::optional<Refusal> refusal = checkMailboxForm(form);
        EXPECT_EQ(refusal ? refusal->message : QString(), QString::fromUtf8(row.message));
    }

    // New mode: the first save appends, the next updates the same entry.
    for (const char *user : {"ana", "joan", "pere"}) {
        int index = -1;
        MailboxForm form = good;
        form.text[kUsuari] = QString::fromUtf8(user);
        ASSERT_FALSE(saveMailboxForm(configuration, form, index));
        form.text[kEnviarA] = QStringLiteral("%1@example.net").arg(form.text[kUsuari]);
        ASSERT_FALSE(saveMailboxForm(configuration, form, index));
        EXPECT_EQ(index, configuration.Configuracio.NumBusties - 1);
    }
    const std::vector<Bustia> &table = configuration.Busties;
    ASSERT_EQ(configuration.Configuracio.NumBusties, 3);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[2].EnviarA, QStringLiteral("pere@example.net"));

    // Editing keeps the position; deleting moves the later entries up.
    int third = 2;
    MailboxForm edited = MailboxForm::fromEntry(table[2]);
    edited.text[kPort] = QStringLiteral("995");
    ASSERT_FALSE(saveMailboxForm(configuration, edited, third));
    EXPECT_EQ(table[2].Port, 995);
    EXPECT_TRUE(deleteMailbox(configuration, 1));
    EXPECT_FALSE(deleteMailbox(configuration, 2));
    ASSERT_EQ(configuration.Configuracio.NumBusties, 2);
    EXPECT_EQ(table[1].Usuari, QStringLiteral("pere"));
    EXPECT_EQ(table[1].Port, 995);
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The text interface: print, apply, refuse; the file is the only stored form.
TEST_F(ConfigFormSave, TextPrintsWithoutPasswordsAndAppliesBackToTheSameFile)
{
    const QString path = root + QStringLiteral("/vessamo.vsm");
    const QString setup = QStringLiteral("# two mailboxes\n"
                                         "smtp.server = smtp.example.org\n"
                                         "smtp.port = 587\n"
                                         "smtp.auth = yes\n"
                                         "smtp.user = relay\n"
                                         "smtp.password = Relay-Secret\n"
                                         "spam.mark = \"  X-Spam: yes \\\"quoted\\\" \"\n"
                                         "mailbox.1.server = pop.example.org\n"
                                         "mailbox.1.user = ana\n"
                                         "mailbox.1.password = Pop-Secret-1\n"
                                         "mailbox.1.forward-to = ana@example.net\n"
                                         "mailbox.2.server = pop2.example.org\r\n"
                                         "mailbox.2.port = 995\n"
                                         "mailbox.2.user = joan\n"
                                         "mailbox.2.password = Pop-Secret-2\n");
    ASSERT_EQ(applyConfigurationText(configuration, setup, path, root), std::nullopt);
    ASSERT_EQ(configuration.Configuracio.NumBusties, 2);
    EXPECT_EQ(configuration.Configuracio.MarcaSpam, QStringLiteral("  X-Spam: yes \"quoted\" "));
    EXPECT_EQ(configuration.Busties[1].Port, 995);
    EXPECT_EQ(configuration.Busties[0].Port, 110);
    const QByteArray saved = fileBytes(path);

    const QString printed = configurationText(configuration, path, root);
    for (const char *secret : {"Secret", "Pop-Secret"})
        EXPECT_FALSE(printed.contains(QLatin1String(secret))) << printed.toStdString();
    EXPECT_TRUE(printed.contains(QStringLiteral("mailbox.2.port = 995\n")));
    ConfigurationLoad load = LlegirConfiguracio(path);
    ASSERT_TRUE(load.loaded());
    configuration = load.configuration;
    ASSERT_EQ(applyConfigurationText(configuration, printed, path, root), std::nullopt);
    EXPECT_EQ(fileBytes(path), saved);

    // Refusals change nothing, in memory or on disk.
    struct Row
    {
        const char *text;
        const char *refusal;
    };
    const Row rows[] = {
        {"smtp.server =   \n", "Servidor SMTP incorrecte"},
        {"smtp.port = 65536\n", "Port SMTP incorrecte"},
        {"mailbox.1 = delete\nsmtp.port = 0\n", "Port SMTP incorrecte"},
        {"mailbox.2.port = pop\n", "mailbox.2: Port POP3 incorrecte"},
        {"mailbox.3.server = pop3.example.org\n", "mailbox.3: Usuari POP3 incorrecte"},
        {"mailbox.4.server = x\n", "mailbox.4: la bústia nova ha de ser la 3"},
        {"mailbox.3 = delete\n",
         "línia 1: només es pot esborrar una bústia que existeix: "
         "mailbox.3 = delete"},
        {"smtp.auth = maybe\n", "línia 1: smtp.auth ha de ser yes o no"},
        {"\nsmtp.colour = blue\n", "línia 2: clau desconeguda: smtp.colour"},
        {"smtp.server\n", "línia 1: s'esperava clau = valor"},
        {"spam.mark = \"open\n", "línia 1: valor entre cometes mal tancat"},
    };
    const ConfiguracioRecord record = configuration.Configuracio;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(applyConfigurationText(configuration, QString::fromUtf8(row.text), path, root),
                  QString::fromUtf8(row.refusal));
        EXPECT_TRUE(configuration.Configuracio == record);
        EXPECT_EQ(configuration.Busties.size(), 2u);
        EXPECT_EQ(fileBytes(path), saved);
    }

    // Added, changed and removed by position; the rest of the table keeps its order.
    ASSERT_EQ(applyConfigurationText(configuration,
                                     QStringLiteral("mailbox.1 = delete\n"
                                                    "mailbox.3.server = pop3.example.org\n"
                                                    "mailbox.3.user = pere\n"
                                                    "mailbox.3.password = p\n"
                                                    "mailbox.2.forward-to = joan@example.net\n"),
                                     path, root),
              std::nullopt);
    load = LlegirConfiguracio(path);
    ASSERT_TRUE(load.loaded());
    const std::vector<Bustia> &table = load.configuration.Busties;
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].Usuari, QStringLiteral("joan"));
    EXPECT_EQ(table[0].EnviarA, QStringLiteral("joan@example.net"));
    EXPECT_EQ(table[0].Contrassenya, QStringLiteral("Pop-Secret-2"));
    EXPECT_EQ(table[1].Usuari, QStringLiteral("pere"));
}

} // namespace
} // namespace vessamo::config
