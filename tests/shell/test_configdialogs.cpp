// The configuration dialogs on the offscreen platform, driven as a user would: boxes typed,
// buttons clicked, questions answered by scripted prompts and the modal mailbox dialog
// worked from a timer. And `vessamo /C` without a display, through the built program.
#include "config/configuracio.h"
#include "platform/wait.h"
#include "shell/configcommand.h"
#include "shell/frmconfiguracio.h"
#include "support/fakesystemctl.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <cerrno>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::shell {
namespace {

using namespace config;

class ScriptedPrompts : public DialogPrompts
{
public:
    void refuse(QWidget *, const QString &text) override { refusals << text; }
    bool confirm(QWidget *, const QString &text) override
    {
        questions << text;
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QString chooseFolder(QWidget *, const QString &) override { return chosen; }
    QString chooseFile(QWidget *, const QString &) override { return chosen; }

    QStringList refusals;
    QStringList questions;
    std::deque<bool> answers;
    QString chosen;
};

class ConfigDialogs : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = QDir(dir.path()).canonicalPath();
        path = root + QStringLiteral("/vessamo.vsm");
    }

    // The dialog on `configuration`.
    std::unique_ptr<frmConfiguracio> open()
    {
        auto dialog = std::make_unique<frmConfiguracio>(prompts, configuration, path, root);
        dialog->show();
        return dialog;
    }
    // Works the mailbox dialog that the next action opens modally, then leaves it.
    void onMailboxDialog(std::function<void(frmConfiguracioBustia &)> work)
    {
        QTimer::singleShot(0, [work = std::move(work)] {
            auto *dialog = qobject_cast<frmConfiguracioBustia *>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            work(*dialog);
            if (dialog->isVisible())
                dialog->done(0);
        });
    }
    QString lastRefusal() const { return prompts.refusals.value(prompts.refusals.size() - 1); }

    // The built program on this configuration, without a display.
    QProcess *startProgram(const QStringList &arguments, const QByteArray &input = {},
                           const QStringList &before = {})
    {
        auto *process = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VESSAMO_CONFIG"), path);
        env.insert(QStringLiteral("VESSAMO_EVENTLOG"), root + QStringLiteral("/events"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process->setProcessEnvironment(env);
        const QString program
            = QCoreApplication::applicationDirPath() + QStringLiteral("/../../vessamo");
        if (before.isEmpty())
            process->start(program, arguments);
        else
            process->start(before.first(), before.sliced(1) + QStringList {program} + arguments);
        process->write(input);
        process->closeWriteChannel();
        return process;
    }
    // Its status (-1: it did not end) and what it wrote to standard output and error.
    std::pair<int, QString> runProgram(const QStringList &arguments, const QByteArray &input = {},
                                       const QStringList &before = {})
    {
        const std::unique_ptr<QProcess> process(startProgram(arguments, input, before));
        if (!process->waitForFinished(20000))
            return {-1, QString()};
        return {process->exitCode(),
                QString::fromUtf8(process->readAllStandardOutput()
                                  + process->readAllStandardError())};
    }
    // A configuration that passes every check, with its folders.
    QByteArray writeUsableConfiguration()
    {
        configuration = {};
        ConfiguracioRecord &record = configuration.Configuracio;
        record.ServidorSMTP = QStringLiteral("smtp.example.org");
        record.PortSMTP = 25;
        record.Interval = 5;
        record.DiesArxiu = 90;
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats"})
            EXPECT_TRUE(QDir(root).mkpath(QLatin1String(name)));
        record.CarpetaCua = root + QStringLiteral("/Cua/");
        record.CarpetaSiEnviats = root + QStringLiteral("/SiEnviats/");
        record.CarpetaNoEnviats = root + QStringLiteral("/NoEnviats/");
        record.NumBusties = 1;
        configuration.Busties.assign(1, Bustia {QStringLiteral("pop.example.org"), 110,
                                                QStringLiteral("ana"), QStringLiteral("pw"),
                                                QStringLiteral("ana@example.org")});
        EXPECT_TRUE(GravarConfiguracio(path, configuration));
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QString root;
    QString path;
    // What the dialog opens on; it starts empty.
    Configuration configuration;
    ScriptedPrompts prompts;
};

TEST_F(ConfigDialogs, AFreshInstallationIsSetUpThroughTheDialog)
{
    auto dialog = open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Vessamo: Configuració"));
    EXPECT_EQ(dialog->box(kInterval)->text(), QStringLiteral("5"));
    EXPECT_EQ(dialog->box(kCarpetaCua)->text(), root + QStringLiteral("/Cua/"));
    EXPECT_EQ(dialog->box(kContrassenyaSMTP)->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(dialog->changed());
    EXPECT_EQ(dialog->grid()->rowCount(), 0);

    // The checks in order, and the enabling rule of the authentication box.
    dialog->cmbActualitzar_Click();
    EXPECT_EQ(lastRefusal(), QStringLiteral("Servidor SMTP incorrecte"));
    dialog->box(kServidorSMTP)->setText(QStringLiteral("smtp.example.org"));
    EXPECT_TRUE(dialog->changed());
    dialog->cmbActualitzar_Click();
    EXPECT_EQ(lastRefusal(), QStringLiteral("Port SMTP incorrecte"));
    dialog->box(kPortSMTP)->setText(QStringLiteral("25"));
    EXPECT_FALSE(dialog->box(kUsuariSMTP)->isEnabled());
    dialog->check(0)->click();
    EXPECT_TRUE(dialog->box(kUsuariSMTP)->isEnabled());
    dialog->cmbActualitzar_Click();
    EXPECT_EQ(lastRefusal(), QStringLiteral("Usuari SMTP incorrecte"));
    dialog->check(0)->click();

    // A chooser fills its box; the folder's preparation shows in the box.
    prompts.chosen = root + QStringLiteral("/Cua2");
    dialog->chooser(0)->click();
    EXPECT_EQ(dialog->box(kCarpetaCua)->text(), root + QStringLiteral("/Cua2/"));
    dialog->box(kCarpetaSiEnviats)->setText(root + QStringLiteral("/Enviats"));
    dialog->box(kDiesArxiu)->setText(QStringLiteral("x"));
    dialog->cmbActualitzar_Click();
    EXPECT_EQ(lastRefusal(), QStringLiteral("Número de dies a mantenir l'arxiu incorrecte"));
    EXPECT_EQ(dialog->box(kCarpetaSiEnviats)->text(), root + QStringLiteral("/Enviats/"));
    EXPECT_FALSE(QFile::exists(path));
    dialog->box(kDiesArxiu)->setText(QStringLiteral("30"));

    // Two mailboxes through the grid: the first saved twice is still one entry.
    for (const char *user : {"ana", "joan"}) {
        onMailboxDialog([user](frmConfiguracioBustia &m) {
            EXPECT_TRUE(m.newMode());
            EXPECT_EQ(m.box(kPort)->text(), QStringLiteral("110"));
            m.box(kServidor)->setText(QStringLiteral("pop.example.org"));
            m.box(kUsuari)->setText(QString::fromUtf8(user));
            m.box(kContrassenya)->setText(QStringLiteral("pw"));
            m.cmbActualitzar_Click();
            m.box(kConfirmacio)->setText(QStringLiteral("pw"));
            m.cmbActualitzar_Click();
            m.box(kEnviarA)->setText(QStringLiteral("%1@example.net").arg(QString::fromUtf8(user)));
            m.cmbActualitzar_Click();
            m.cmbSortir_Click();
        });
        dialog->cmbAfegir_Click();
        EXPECT_EQ(lastRefusal(), QStringLiteral("Contrassenya POP3 incorrecte"));
    }
    ASSERT_EQ(dialog->grid()->rowCount(), 2);
    EXPECT_EQ(dialog->grid()->item(1, 2)->text(), QStringLiteral("joan@example.net"));

    dialog->cmbActualitzar_Click();
    EXPECT_FALSE(dialog->changed());
    const ConfigurationLoad load = LlegirConfiguracio(path);
    ASSERT_TRUE(load.loaded());
    const ConfiguracioRecord &saved = load.configuration.Configuracio;
    EXPECT_EQ(saved.ServidorSMTP, QStringLiteral("smtp.example.org"));
    EXPECT_EQ(saved.CarpetaCua, root + QStringLiteral("/Cua2/"));
    EXPECT_EQ(saved.DiesArxiu, 30);
    ASSERT_EQ(load.configuration.Busties.size(), 2u);
    EXPECT_EQ(load.configuration.Busties[0].EnviarA, QStringLiteral("ana@example.net"));
}

TEST_F(ConfigDialogs, MailboxesAreEditedAndDeletedInPlaceAndLeavingAsks)
{
    configuration.Configuracio.NumBusties = 3;
    for (const char *user : {"ana", "joan", "pere"})
        configuration.Busties.push_back(Bustia {QStringLiteral("pop"), 110,
                                                QString::fromUtf8(user), QStringLiteral("pw"),
                                                QString()});
    auto dialog = open();
    // The dialog's own copy, which its mailbox changes go to.
    const std::vector<Bustia> &table = dialog->configuration().Busties;
    ASSERT_EQ(dialog->grid()->rowCount(), 3);

    onMailboxDialog([](frmConfiguracioBustia &m) {
        EXPECT_FALSE(m.newMode());
        EXPECT_EQ(m.box(kConfirmacio)->text(), QStringLiteral("pw"));
        m.box(kPort)->setText(QStringLiteral("995"));
        m.cmbActualitzar_Click();
        m.cmbSortir_Click();
    });
    dialog->editMailbox(2);
    EXPECT_EQ(table[2].Port, 995);
    EXPECT_TRUE(dialog->changed());
    dialog->editMailbox(-1); // the header: nothing to edit, nothing opened

    // Delete asks about the row selected; No keeps it, Yes removes it.
    dialog->grid()->selectRow(1);
    prompts.answers = {false};
    dialog->cmbBorrar_Click();
    EXPECT_EQ(prompts.questions.last(), QStringLiteral("Segur que vols borrar la bústia joan?"));
    EXPECT_EQ(table.size(), 3u);
    dialog->grid()->selectRow(1);
    prompts.answers = {true};
    dialog->cmbBorrar_Click();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[1].Usuari, QStringLiteral("pere"));
    EXPECT_EQ(dialog->grid()->rowCount(), 2);

    // Unsaved changes: No stays, Yes leaves.
    prompts.answers = {false, true};
    dialog->cmbSortir_Click();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(prompts.questions.last(), leaveQuestion());
    dialog->cmbSortir_Click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(QFile::exists(path));
}

// The tray's dialog edits the configuration the program runs on: a mailbox added is there
// for the next run even when the dialog is then left without saving; the other fields change
// only with a save.
TEST_F(ConfigDialogs, TheTraysDialogLeavesItsChangesForTheNextRun)
{
    const QByteArray saved = writeUsableConfiguration();
    QTimer::singleShot(0, [this] {
        auto *dialog = qobject_cast<frmConfiguracio *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        onMailboxDialog([](frmConfiguracioBustia &m) {
            m.box(kServidor)->setText(QStringLiteral("pop2.example.org"));
            m.box(kUsuari)->setText(QStringLiteral("joan"));
            m.box(kContrassenya)->setText(QStringLiteral("pw"));
            m.box(kConfirmacio)->setText(QStringLiteral("pw"));
            m.cmbActualitzar_Click();
        });
        dialog->cmbAfegir_Click();
        dialog->box(kServidorSMTP)->setText(QStringLiteral("other.example.org"));
        prompts.answers = {true};
        dialog->cmbSortir_Click();
    });
    editConfiguration(prompts, configuration, path, root);
    ASSERT_EQ(configuration.mailboxes().size(), 2u);
    EXPECT_EQ(configuration.Busties[1].Usuari, QStringLiteral("joan"));
    EXPECT_EQ(configuration.Configuracio.ServidorSMTP, QStringLiteral("smtp.example.org"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), saved);
}

// `vessamo /C` without a display: print, apply, refuse with the dialog's message.
TEST_F(ConfigDialogs, WithoutADisplayTheCommandLineEditsAsText)
{
    // Should a path ever be read as a switch, no real service is installed.
    const test::FakeSystemctl systemctl;
    struct Row
    {
        QStringList arguments;
        const char *input;
        int status;
        const char *out; // a line that standard output or error must hold
    };
    const QList<Row> rows = {
        {{QStringLiteral("/C")}, "", 0, "smtp.port = 0"},
        {{QStringLiteral("/c"), QStringLiteral("--apply")},
         "smtp.server = smtp.example.org\nsmtp.port = 25\nmailbox.1.server = pop\n"
         "mailbox.1.user = ana\nmailbox.1.password = pw\nfolder.queue = Cua\n",
         1,
         "Carpeta cua incorrecte"},
        {{QStringLiteral("/C"), QStringLiteral("--set"), QStringLiteral("smtp.server=x"),
          QStringLiteral("smtp.port=99999")},
         "",
         1,
         "Port SMTP incorrecte"},
        {{QStringLiteral("/C"), QStringLiteral("--bogus")}, "", 2, "vessamo /C --apply"},
        // A path after the options never selects a switch (/tmp/Install... holds "/I").
        {{QStringLiteral("/C"), QStringLiteral("--apply"), root + QStringLiteral("/Input")},
         "",
         1,
         "no es pot llegir"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VESSAMO_CONFIG"), path);
        env.insert(QStringLiteral("VESSAMO_EVENTLOG"), root + QStringLiteral("/events"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../../vessamo"),
                      row.arguments);
        ASSERT_TRUE(process.waitForStarted()) << process.errorString().toStdString();
        process.write(row.input);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), row.status);
        const QString output
            = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        EXPECT_TRUE(output.contains(QString::fromUtf8(row.out))) << output.toStdString();
    }
    EXPECT_FALSE(QFile::exists(path));
}

// A file that is there but cannot be read: the dialog opens with the defaults, but says
// first that saving replaces the file. Its save waits for another editor's save (here a
// lock held by another process for a second) rather than writing over it.
TEST_F(ConfigDialogs, TheDialogSaysWhatItCannotReadAndSavesUnderTheLock)
{
    QFile damaged(path);
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write("\x02\0\0\0\x05");
    damaged.close();
    const ConfigurationLoad load = loadConfiguration(path);
    ASSERT_TRUE(load.failed());
    auto dialog = open();
    dialog->warnUnreadable(load.error);
    EXPECT_EQ(lastRefusal(), unreadableNotice(load.error));
    EXPECT_TRUE(lastRefusal().contains(path));
    EXPECT_TRUE(lastRefusal().contains(QStringLiteral("substituiran el fitxer")));
    EXPECT_EQ(dialog->box(kInterval)->text(), QStringLiteral("5"));

    dialog->box(kServidorSMTP)->setText(QStringLiteral("smtp.example.org"));
    dialog->box(kPortSMTP)->setText(QStringLiteral("25"));
    QProcess holder;
    holder.start(QStringLiteral("flock"),
                 {path + QStringLiteral(".lock"), QStringLiteral("sleep"), QStringLiteral("1")});
    ASSERT_TRUE(holder.waitForStarted());
    // Held once a second taker would fail.
    const auto lockFree = [&] {
        return QProcess::execute(QStringLiteral("flock"),
                                 {QStringLiteral("-n"), path + QStringLiteral(".lock"),
                                  QStringLiteral("true")})
            == 0;
    };
    ASSERT_TRUE(platform::waitUntil([&] { return !lockFree(); }, QDeadlineTimer(10000)));
    dialog->cmbActualitzar_Click();
    // The other holder is gone: the save waited for it.
    EXPECT_TRUE(lockFree()) << "saved while another save held the lock";
    EXPECT_FALSE(dialog->changed()) << lastRefusal().toStdString();
    EXPECT_TRUE(loadConfiguration(path).status == ConfigurationLoad::Status::Loaded);
    holder.waitForFinished();
}

// A save by another editor while the dialog is open is kept: the dialog's save, which
// would write what it read before over it, is refused and says why.
TEST_F(ConfigDialogs, AnotherEditorsSaveWhileTheDialogIsOpenIsKept)
{
    writeUsableConfiguration();
    auto dialog = open();
    const auto [status, output]
        = runProgram({QStringLiteral("/C"), QStringLiteral("--set"), QStringLiteral("interval=9")});
    ASSERT_EQ(status, 0) << output.toStdString();
    dialog->box(kServidorSMTP)->setText(QStringLiteral("other.example.org"));
    dialog->cmbActualitzar_Click();
    EXPECT_TRUE(dialog->changed());
    EXPECT_TRUE(lastRefusal().contains(QStringLiteral("Un altre editor")))
        << lastRefusal().toStdString();
    const QString printed = runProgram({QStringLiteral("/C")}).second;
    EXPECT_TRUE(printed.contains(QStringLiteral("interval = 9"))) << printed.toStdString();
    EXPECT_FALSE(printed.contains(QStringLiteral("other.example.org")));
}

// One argument of --set is one key and one value, and never a password (the command line
// is every local user's to read). A value the file cannot hold as typed (outside its code
// page, or with a control character) is refused with its box's message. Every refusal
// leaves the file as it was.
TEST_F(ConfigDialogs, TheTextInterfaceRefusesWhatTheFileCouldNotHoldAsGiven)
{
    const QByteArray saved = writeUsableConfiguration();
    struct Row
    {
        QStringList set; // --set arguments, or --apply - with `input`
        QByteArray input;
        int status;
        const char *out;
    };
    const QList<Row> rows = {
        {{QStringLiteral("mailbox.1.forward-to=a@b\nsmtp.server=attacker.example")},
         {},
         2,
         "--set"},
        {{QStringLiteral("smtp.user=a\rb")}, {}, 2, "--set"},
        {{QStringLiteral("spam.mark=X\x1b[2J")}, {}, 2, "--set"},
        {{QStringLiteral("interval=7"), QStringLiteral("smtp.password=secret")},
         {},
         2,
         "--apply -"},
        {{QStringLiteral("mailbox.1.password = secret")}, {}, 2, "--apply -"},
        {{QStringLiteral("smtp.server=почта.example")}, {}, 1, "Servidor SMTP incorrecte"},
        {{QStringLiteral("mailbox.1.user=山田")}, {}, 1, "Usuari POP3 incorrecte"},
        {{}, "smtp.auth = yes\nsmtp.user = u\nsmtp.password = пароль\n", 1,
         "Contrassenya SMTP incorrecte"},
        {{}, "mailbox.1.forward-to = \"a@b\\nX-Injected: 1\"\n", 1, "Enrutar a incorrecte"},
        {{}, "spam.mark = \"a\\tb\"\n", 1, "Marca de correu spam incorrecte"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE((row.set.join(u' ') + QString::fromUtf8(row.input)).toStdString());
        const QStringList arguments = row.set.isEmpty()
            ? QStringList {QStringLiteral("/C"), QStringLiteral("--apply"), QStringLiteral("-")}
            : QStringList {QStringLiteral("/C"), QStringLiteral("--set")} + row.set;
        const auto [status, output] = runProgram(arguments, row.input);
        EXPECT_EQ(status, row.status);
        EXPECT_TRUE(output.contains(QString::fromUtf8(row.out))) << output.toStdString();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), saved);
    }
    // What the code page holds is taken as given.
    const auto [status, output] = runProgram(
        {QStringLiteral("/C"), QStringLiteral("--set"), QStringLiteral("smtp.user=Jörg Çà €")});
    EXPECT_EQ(status, 0) << output.toStdString();
    EXPECT_TRUE(runProgram({QStringLiteral("/C"), QStringLiteral("--print")})
                    .second.contains(QStringLiteral("smtp.user = Jörg Çà €")));
}

// A configuration that is there but unusable is never replaced by defaults: every form of
// the text interface refuses it with the reason, and the file stays as it was.
TEST_F(ConfigDialogs, ADamagedConfigurationIsRefusedNotReplaced)
{
    const QByteArray damaged = writeUsableConfiguration().chopped(3);
    const QList<std::pair<QStringList, QByteArray>> forms = {
        {{QStringLiteral("/C")}, {}},
        {{QStringLiteral("/C"), QStringLiteral("--print")}, {}},
        {{QStringLiteral("/C"), QStringLiteral("--set"), QStringLiteral("interval=9")}, {}},
        {{QStringLiteral("/C"), QStringLiteral("--apply")}, "interval = 9\n"},
    };
    for (const QByteArray &content : {damaged, QByteArray("\x02\0\0")}) {
        for (const auto &[arguments, input] : forms) {
            SCOPED_TRACE(arguments.join(u' ').toStdString());
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(content);
            file.close();
            const auto [status, output] = runProgram(arguments, input);
            EXPECT_EQ(status, 1);
            EXPECT_TRUE(output.contains(QStringLiteral("Format de fitxer de configuració incorrecte")))
                << output.toStdString();
            EXPECT_FALSE(output.contains(QStringLiteral("smtp.port"))) << output.toStdString();
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), content);
        }
    }
    // A folder where the file should be cannot be read either.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkdir(path));
    const auto [status, output] = runProgram({QStringLiteral("/C"), QStringLiteral("--print")});
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(output.contains(path)) << output.toStdString();
}

// Saves at the same time each keep their change: each reads, checks and writes under the
// configuration's lock. Rounds of five, each setting a key of its own.
TEST_F(ConfigDialogs, ParallelSavesKeepEveryChange)
{
    writeUsableConfiguration();
    for (int round = 1; round <= 4; ++round) {
        SCOPED_TRACE(round);
        const QStringList settings = {
            QStringLiteral("smtp.server=s%1.example").arg(round),
            QStringLiteral("smtp.user=u%1").arg(round),
            QStringLiteral("spam.mark=M%1").arg(round),
            QStringLiteral("interval=%1").arg(10 + round),
            QStringLiteral("archive.days=%1").arg(20 + round),
        };
        std::vector<std::unique_ptr<QProcess>> processes;
        for (const QString &setting : settings)
            processes.emplace_back(startProgram({QStringLiteral("/C"), QStringLiteral("--set"),
                                                 setting}));
        for (const auto &process : processes) {
            ASSERT_TRUE(process->waitForFinished(20000));
            EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().constData();
        }
        const QString printed = runProgram({QStringLiteral("/C")}).second;
        for (QString setting : settings)
            EXPECT_TRUE(printed.contains(setting.replace(u'=', QStringLiteral(" = "))))
                << setting.toStdString() << "\n"
                << printed.toStdString();
    }
}

// A failed save says why, with the reason of the call that failed: here another user, who
// may read the configuration and its lock but not write its folder.
TEST_F(ConfigDialogs, AFailedSaveNamesItsReason)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as a second user";
    writeUsableConfiguration();
    const QByteArray folder = QFile::encodeName(root);
    ASSERT_EQ(::chmod(folder.constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    QFile lock(path + QStringLiteral(".lock"));
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.close();
    ASSERT_EQ(::chmod(QFile::encodeName(lock.fileName()).constData(), 0666), 0);
    const auto [status, output]
        = runProgram({QStringLiteral("/C"), QStringLiteral("--set"), QStringLiteral("interval=9")},
                     {},
                     {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                      QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                      QStringLiteral("--")});
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(output.contains(QString::fromLocal8Bit(std::strerror(EACCES))))
        << output.toStdString();
}

// Root's save of a user's own configuration leaves it usable by that user: the file keeps
// its owner, and so does the lock beside it, which the user's next save must open.
TEST_F(ConfigDialogs, AfterRootsSaveTheOwnerStillSaves)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as a second user";
    writeUsableConfiguration();
    const QStringList asOwner = {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                                 QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                                 QStringLiteral("--")};
    for (const QString &owned : {root, path})
        ASSERT_EQ(::chown(QFile::encodeName(owned).constData(), 65534, 65534), 0);
    const auto set = [](const char *setting) {
        return QStringList {QStringLiteral("/C"), QStringLiteral("--set"),
                            QString::fromUtf8(setting)};
    };
    auto [status, output] = runProgram(set("interval=9"));
    EXPECT_EQ(status, 0) << output.toStdString();
    std::tie(status, output) = runProgram(set("interval=11"), {}, asOwner);
    EXPECT_EQ(status, 0) << output.toStdString();
    EXPECT_TRUE(runProgram({QStringLiteral("/C")}).second.contains(QStringLiteral("interval = 11")));
}

// The login settings through the text interface: set, printed (never a password), refused
// with the dialogs' messages (leaving both files as they were), and gone with their mailbox.
TEST_F(ConfigDialogs, LoginSettingsThroughTheTextInterface)
{
    writeUsableConfiguration();
    const auto set = [this](const QStringList &settings) {
        return runProgram(QStringList {QStringLiteral("/C"), QStringLiteral("--set")} + settings);
    };
    auto [status, output] = set(
        {QStringLiteral("mailbox.2.server=pop2.example.org"), QStringLiteral("mailbox.2.user=joan"),
         QStringLiteral("mailbox.2.login=scram-sha-256"), QStringLiteral("smtp.login=XOAUTH2"),
         QStringLiteral("smtp.token-command=/bin/echo token")});
    // A new mailbox still needs its password: given on standard input.
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(output.contains(QStringLiteral("mailbox.2: Contrassenya POP3 incorrecte")))
        << output.toStdString();
    std::tie(status, output) = runProgram(
        {QStringLiteral("/C"), QStringLiteral("--apply"), QStringLiteral("-")},
        "mailbox.2.server = pop2.example.org\nmailbox.2.user = joan\nmailbox.2.password = pw\n"
        "smtp.login = XOAUTH2\nsmtp.token-command = /bin/echo token\n");
    ASSERT_EQ(status, 0) << output.toStdString();
    std::tie(status, output) = set({QStringLiteral("mailbox.2.login=SCRAM-SHA-256")});
    ASSERT_EQ(status, 0) << output.toStdString();
    QString printed = runProgram({QStringLiteral("/C"), QStringLiteral("--print")}).second;
    for (const char *line :
         {"smtp.login = XOAUTH2\n", "smtp.token-account = \n",
          "smtp.token-command = /bin/echo token\n", "mailbox.1.login = classic\n",
          "mailbox.2.login = SCRAM-SHA-256\n", "mailbox.2.token-command = \n"})
        EXPECT_TRUE(printed.contains(QString::fromUtf8(line))) << line << printed.toStdString();
    EXPECT_FALSE(printed.contains(QStringLiteral("= pw"))) << printed.toStdString();

    QFile binary(path), logins(path + QStringLiteral(".login"));
    ASSERT_TRUE(binary.open(QIODevice::ReadOnly) && logins.open(QIODevice::ReadOnly));
    const QByteArray savedBinary = binary.readAll(), savedLogins = logins.readAll();
    binary.close();
    logins.close();
    EXPECT_TRUE(savedLogins.contains("pop3.joan@pop2.example.org:110.login = SCRAM-SHA-256"))
        << savedLogins.constData();
    const std::pair<QStringList, const char *> refusals[] = {
        {{QStringLiteral("smtp.login=FOO")}, "Mètode d'autentificació SMTP incorrecte: FOO"},
        {{QStringLiteral("smtp.login=apop")}, "APOP només serveix per a les bústies POP3"},
        {{QStringLiteral("mailbox.1.login=XOAUTH2")},
         "mailbox.1: Testimoni POP3 incorrecte: XOAUTH2 necessita"},
        {{QStringLiteral("smtp.token-account=relay")}, "no tots dos"},
        {{QStringLiteral("mailbox.1.login=OAUTHBEARER"),
          QStringLiteral("mailbox.1.token-account=../x")},
         "Compte de vessamo-token POP3 incorrecte"},
        {{QStringLiteral("mailbox.1.login=auto"), QStringLiteral("mailbox.1.token-command=echo")},
         "Ordre de testimoni POP3 incorrecte"},
        // A file that is not a program.
        {{QStringLiteral("mailbox.1.login=auto"), QStringLiteral("mailbox.1.token-command=") + path},
         "Ordre de testimoni POP3 incorrecte"},
        {{QStringLiteral("mailbox.2.token-account=joan")}, "SCRAM-SHA-256 no fa servir cap"},
        {{QStringLiteral("mailbox.2.login=delete")}, "Mètode d'autentificació POP3 incorrecte"},
        {{QStringLiteral("mailbox.2=delete"), QStringLiteral("mailbox.2.login=PLAIN")},
         "una bústia esborrada no es pot canviar"},
    };
    for (const auto &[settings, message] : refusals) {
        SCOPED_TRACE(settings.join(u' ').toStdString());
        std::tie(status, output) = set(settings);
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(output.contains(QString::fromUtf8(message))) << output.toStdString();
        ASSERT_TRUE(binary.open(QIODevice::ReadOnly) && logins.open(QIODevice::ReadOnly));
        EXPECT_EQ(binary.readAll(), savedBinary);
        EXPECT_EQ(logins.readAll(), savedLogins);
        binary.close();
        logins.close();
    }

    // Deleting the first mailbox: the second, now first, keeps its own login; a new second
    // one at the old place starts classic. Deleting it drops its entry.
    std::tie(status, output) = set({QStringLiteral("mailbox.1=delete")});
    ASSERT_EQ(status, 0) << output.toStdString();
    printed = runProgram({QStringLiteral("/C")}).second;
    EXPECT_TRUE(printed.contains(QStringLiteral("mailbox.1.login = SCRAM-SHA-256\n")))
        << printed.toStdString();
    EXPECT_FALSE(printed.contains(QStringLiteral("mailbox.2.")));
    std::tie(status, output) = set({QStringLiteral("mailbox.1=delete")});
    ASSERT_EQ(status, 0) << output.toStdString();
    ASSERT_TRUE(logins.open(QIODevice::ReadOnly));
    EXPECT_FALSE(logins.readAll().contains("pop3."));
}

// The postmaster address through the text interface: set, printed, kept in the login file,
// refused with a reason when it is not one plain address (nothing changes), and switched
// off by an empty value.
TEST_F(ConfigDialogs, ThePostmasterThroughTheTextInterface)
{
    writeUsableConfiguration();
    const auto set = [this](const QString &setting) {
        return runProgram({QStringLiteral("/C"), QStringLiteral("--set"), setting});
    };
    const QString logins = path + QStringLiteral(".login");
    auto [status, output] = set(QStringLiteral("postmaster=admin@example.org"));
    ASSERT_EQ(status, 0) << output.toStdString();
    EXPECT_TRUE(runProgram({QStringLiteral("/C"), QStringLiteral("--print")})
                    .second.contains(QStringLiteral("\npostmaster = admin@example.org\n")));
    QFile file(logins);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    file.close();
    EXPECT_TRUE(saved.contains("\npostmaster = admin@example.org\n")) << saved.constData();
    for (const char *wrong : {"Admin <admin@example.org>", "admin", "@example.org", "admin@",
                              "a@b@example.org", "a@example.org;b@example.org",
                              "a b@example.org", "\xc3\xa8@example.org"}) {
        SCOPED_TRACE(wrong);
        std::tie(status, output) = set(QStringLiteral("postmaster=") + QString::fromUtf8(wrong));
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(output.contains(QStringLiteral("Adreça del postmaster incorrecte: ")))
            << output.toStdString();
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), saved);
        file.close();
    }
    std::tie(status, output) = set(QStringLiteral("postmaster="));
    ASSERT_EQ(status, 0) << output.toStdString();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("postmaster"));
    file.close();
    // Off, the file is not needed.
    ASSERT_TRUE(QFile::remove(logins));
    std::tie(status, output) = runProgram({QStringLiteral("/C"), QStringLiteral("--print")});
    EXPECT_EQ(status, 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("\npostmaster = \n"))) << output.toStdString();
}

// A login file that cannot be read as written is refused by every form of /C, and left as
// it was.
TEST_F(ConfigDialogs, ADamagedLoginFileIsRefusedNotReplaced)
{
    writeUsableConfiguration();
    QFile logins(path + QStringLiteral(".login"));
    ASSERT_TRUE(logins.open(QIODevice::WriteOnly));
    logins.write("smtp.login = SOMETHING\n");
    logins.close();
    for (const QStringList &arguments : {QStringList {QStringLiteral("/C")},
                                         QStringList {QStringLiteral("/C"), QStringLiteral("--set"),
                                                      QStringLiteral("smtp.login=auto")}}) {
        const auto [status, output] = runProgram(arguments);
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(output.contains(QStringLiteral("Format de fitxer d'autentificació incorrecte")))
            << output.toStdString();
        EXPECT_TRUE(output.contains(path + QStringLiteral(".login"))) << output.toStdString();
        ASSERT_TRUE(logins.open(QIODevice::ReadOnly));
        EXPECT_EQ(logins.readAll(), "smtp.login = SOMETHING\n");
        logins.close();
    }
}

// The dialogs' authentication choice: saved with the configuration into the login file; a
// token login needs no password; the token boxes count only for a method that uses one.
TEST_F(ConfigDialogs, TheAuthenticationChoiceIsSaved)
{
    writeUsableConfiguration();
    configuration.Configuracio.NumBusties = 2;
    configuration.Busties.push_back(Bustia {QStringLiteral("pop.example.org"), 995,
                                            QStringLiteral("joan"), QStringLiteral("pw"),
                                            QString()});
    configuration.setLoginFor(configuration.Busties[1],
                              LoginSettings {QStringLiteral("PLAIN"), {}, {}});
    auto dialog = open();
    // The mailbox that is second now keeps its login when the first is deleted.
    dialog->grid()->selectRow(0);
    prompts.answers = {true};
    dialog->cmbBorrar_Click();
    onMailboxDialog([](frmConfiguracioBustia &m) {
        QComboBox *choice = m.loginChoice();
        EXPECT_EQ(choice->currentData().toString(), QStringLiteral("PLAIN"));
        EXPECT_FALSE(m.box(kCompteTestimoni)->isEnabled());
        choice->setCurrentIndex(choice->findData(QStringLiteral("XOAUTH2")));
        EXPECT_TRUE(m.box(kCompteTestimoni)->isEnabled());
        m.box(kContrassenya)->clear();
        m.box(kConfirmacio)->clear();
        m.cmbActualitzar_Click();
        m.box(kCompteTestimoni)->setText(QStringLiteral("joan@example.org"));
        m.cmbActualitzar_Click();
        EXPECT_FALSE(m.changed());
    });
    dialog->editMailbox(0);
    EXPECT_EQ(lastRefusal(),
              QStringLiteral("Testimoni POP3 incorrecte: XOAUTH2 necessita un compte de "
                             "vessamo-token o una ordre de testimoni"));

    QComboBox *smtp = dialog->loginChoice();
    EXPECT_FALSE(smtp->isEnabled());
    dialog->check(0)->click();
    EXPECT_EQ(smtp->findData(QStringLiteral("APOP")), -1);
    smtp->setCurrentIndex(smtp->findData(QStringLiteral("SCRAM-SHA-1")));
    dialog->box(kUsuariSMTP)->setText(QStringLiteral("relay"));
    dialog->box(kContrassenyaSMTP)->setText(QStringLiteral("pw"));
    dialog->box(kConfirmacioSMTP)->setText(QStringLiteral("pw"));
    dialog->box(kOrdreTestimoniSMTP)->setText(QStringLiteral("left over"));
    dialog->cmbActualitzar_Click();
    EXPECT_FALSE(dialog->changed()) << lastRefusal().toStdString();

    const ConfigurationLoad load = loadConfiguration(path);
    ASSERT_TRUE(load.loaded()) << load.error.toStdString();
    ASSERT_EQ(load.configuration.mailboxes().size(), 1u);
    EXPECT_EQ(load.configuration.smtpLogin,
              (LoginSettings {QStringLiteral("SCRAM-SHA-1"), {}, {}}));
    EXPECT_EQ(load.configuration.loginFor(load.configuration.Busties[0]),
              (LoginSettings {QStringLiteral("XOAUTH2"), QStringLiteral("joan@example.org"), {}}));
    EXPECT_TRUE(load.configuration.Busties[0].Contrassenya.isEmpty());
}

// The postmaster's box: shown as saved, refused with its reason, saved into the login file,
// and emptied to switch the notices off.
TEST_F(ConfigDialogs, ThePostmasterBoxIsSaved)
{
    writeUsableConfiguration();
    configuration.postmaster = QStringLiteral("admin@example.org");
    auto dialog = open();
    QLineEdit *box = dialog->postmasterBox();
    EXPECT_EQ(box->text(), QStringLiteral("admin@example.org"));
    box->setText(QStringLiteral("Admin <admin@example.org>"));
    dialog->cmbActualitzar_Click();
    EXPECT_TRUE(lastRefusal().startsWith(QStringLiteral("Adreça del postmaster incorrecte: ")))
        << lastRefusal().toStdString();
    EXPECT_TRUE(dialog->changed());
    box->setText(QStringLiteral("postmaster@example.net"));
    dialog->cmbActualitzar_Click();
    EXPECT_FALSE(dialog->changed()) << lastRefusal().toStdString();
    EXPECT_EQ(loadConfiguration(path).configuration.postmaster,
              QStringLiteral("postmaster@example.net"));
    box->clear();
    dialog->cmbActualitzar_Click();
    EXPECT_TRUE(loadConfiguration(path).configuration.postmaster.isEmpty());
}

// The folders the service's sandbox does not let it write, for the installed program's
// warning.
TEST(ServiceFolders, OnlyTheSpoolAndTheStateFolderAreWritable)
{
    ConfiguracioRecord record;
    record.CarpetaCua = QStringLiteral("/var/spool/vessamo/Cua/");
    record.CarpetaSiEnviats = QStringLiteral("/srv/vessamo/SiEnviats/");
    record.CarpetaNoEnviats = QStringLiteral("/var/lib/vessamo/NoEnviats/");
    record.CarpetaSpam = QStringLiteral("/var/spool/vessamo-other/SPam/");
    EXPECT_EQ(foldersOutsideServicePaths(record),
              QStringList {QStringLiteral("/srv/vessamo/SiEnviats/")});
    record.FiltreSpam = -1;
    EXPECT_EQ(foldersOutsideServicePaths(record),
              (QStringList {QStringLiteral("/srv/vessamo/SiEnviats/"),
                            QStringLiteral("/var/spool/vessamo-other/SPam/")}));
}

} // namespace
} // namespace vessamo::shell
