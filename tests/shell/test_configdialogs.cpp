// The configuration dialogs on the offscreen platform, driven as a user would: boxes typed,
// buttons clicked, questions answered by scripted prompts and the modal mailbox dialog
// worked from a timer. And `vessamo /C` without a display, through the built program.
#include "config/configuracio.h"
#include "platform/wait.h"
#include "shell/frmconfiguracio.h"
#include "support/fakesystemctl.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <deque>
#include <gtest/gtest.h>

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
        resetConfiguration();
        root = QDir(dir.path()).canonicalPath();
        path = root + QStringLiteral("/vessamo.vsm");
    }
    void TearDown() override { resetConfiguration(); }

    std::unique_ptr<frmConfiguracio> open()
    {
        auto dialog = std::make_unique<frmConfiguracio>(prompts, path, root);
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

    QTemporaryDir dir;
    QString root;
    QString path;
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
    resetConfiguration();
    ASSERT_TRUE(LlegirConfiguracio(path));
    EXPECT_EQ(Configuracio.ServidorSMTP, QStringLiteral("smtp.example.org"));
    EXPECT_EQ(Configuracio.CarpetaCua, root + QStringLiteral("/Cua2/"));
    EXPECT_EQ(Configuracio.DiesArxiu, 30);
    ASSERT_EQ(Busties.size(), 2u);
    EXPECT_EQ(Busties[0].EnviarA, QStringLiteral("ana@example.net"));
}

TEST_F(ConfigDialogs, MailboxesAreEditedAndDeletedInPlaceAndLeavingAsks)
{
    Configuracio.NumBusties = 3;
    for (const char *user : {"ana", "joan", "pere"})
        Busties.push_back(Bustia {QStringLiteral("pop"), 110, QString::fromUtf8(user),
                                  QStringLiteral("pw"), QString()});
    auto dialog = open();
    ASSERT_EQ(dialog->grid()->rowCount(), 3);

    onMailboxDialog([](frmConfiguracioBustia &m) {
        EXPECT_FALSE(m.newMode());
        EXPECT_EQ(m.box(kConfirmacio)->text(), QStringLiteral("pw"));
        m.box(kPort)->setText(QStringLiteral("995"));
        m.cmbActualitzar_Click();
        m.cmbSortir_Click();
    });
    dialog->editMailbox(2);
    EXPECT_EQ(Busties[2].Port, 995);
    EXPECT_TRUE(dialog->changed());
    dialog->editMailbox(-1); // the header: nothing to edit, nothing opened

    // Delete asks about the row selected; No keeps it, Yes removes it.
    dialog->grid()->selectRow(1);
    prompts.answers = {false};
    dialog->cmbBorrar_Click();
    EXPECT_EQ(prompts.questions.last(), QStringLiteral("Segur que vols borrar la bústia joan?"));
    EXPECT_EQ(Busties.size(), 3u);
    dialog->grid()->selectRow(1);
    prompts.answers = {true};
    dialog->cmbBorrar_Click();
    ASSERT_EQ(Busties.size(), 2u);
    EXPECT_EQ(Busties[1].Usuari, QStringLiteral("pere"));
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

} // namespace
} // namespace vessamo::shell
