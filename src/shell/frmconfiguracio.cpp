#include "shell/frmconfiguracio.h"

#include "shell/presenter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace vessamo::shell {

using namespace config;

namespace {

// Whenever a box gets the focus its whole text is selected: after the click that gave the
// focus has placed the cursor, so the selection survives it.
class SelectOnFocus : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::FocusIn) {
            if (auto *edit = qobject_cast<QLineEdit *>(watched))
                QTimer::singleShot(0, edit, &QLineEdit::selectAll);
        }
        return false;
    }
};

QLineEdit *newBox(QWidget *owner, bool password = false)
{
    auto *edit = new QLineEdit(owner);
    if (password)
        edit->setEchoMode(QLineEdit::Password);
    edit->installEventFilter(new SelectOnFocus(edit));
    return edit;
}

QToolButton *newButton(QWidget *owner, QStyle::StandardPixmap picture, const QString &text,
                       const QString &tip)
{
    auto *button = new QToolButton(owner);
    button->setIcon(owner->style()->standardIcon(picture));
    button->setText(text);
    button->setToolTip(tip);
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    return button;
}

QLabel *newLabel(const char *text, QWidget *owner)
{
    return new QLabel(QString::fromUtf8(text), owner);
}

void centre(QWidget *dialog)
{
    dialog->adjustSize();
    if (const QWidget *screen = dialog->parentWidget())
        dialog->move(screen->geometry().center() - dialog->rect().center());
}

constexpr int kTwipsPerPixel = 15;

// The login methods, each with its stored form as data; the choice shows `method`.
QComboBox *newLoginChoice(QWidget *owner, LoginUse use, const QString &method)
{
    auto *choice = new QComboBox(owner);
    for (const QString &m : loginMethods(use)) {
        const QString shown = !m.isEmpty() ? m
            : use == LoginUse::Smtp        ? QStringLiteral("Clàssic (AUTH LOGIN)")
                                           : QStringLiteral("Clàssic (USER/PASS)");
        choice->addItem(shown, m);
    }
    choice->setCurrentIndex(std::max(0, choice->findData(method)));
    return choice;
}

QString chosenMethod(const QComboBox *choice)
{
    return choice->currentData().toString();
}

// The token boxes count only for the methods that use a token: another method saves none.
bool takesToken(const QString &method)
{
    return method == u"auto" || method == u"XOAUTH2" || method == u"OAUTHBEARER";
}

void addLoginRows(QGridLayout *grid, QWidget *group, int row, QComboBox *choice, QLineEdit *account,
                  QLineEdit *command)
{
    grid->addWidget(newLabel("Mètode:", group), row, 0);
    grid->addWidget(choice, row, 1);
    grid->addWidget(newLabel("Compte vessamo-token:", group), row + 1, 0);
    grid->addWidget(account, row + 1, 1);
    grid->addWidget(newLabel("Ordre de testimoni:", group), row + 2, 0);
    grid->addWidget(command, row + 2, 1);
}

} // namespace

// ---- prompts ----

void DialogPrompts::refuse(QWidget *parent, const QString &text)
{
    QMessageBox::critical(parent, applicationTitle(), text, QMessageBox::Ok);
}

bool DialogPrompts::confirm(QWidget *parent, const QString &text)
{
    return QMessageBox::question(parent, applicationTitle(), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

QString DialogPrompts::chooseFolder(QWidget *parent, const QString &start)
{
    return QFileDialog::getExistingDirectory(parent, applicationTitle(), start);
}

QString DialogPrompts::chooseFile(QWidget *parent, const QString &start)
{
    return QFileDialog::getOpenFileName(parent, applicationTitle(), start,
                                        QStringLiteral("Tots els arxius (*)"));
}

QString unreadableNotice(const QString &error)
{
    return QStringLiteral("No s'ha pogut llegir la configuració (%1).\r\nEl diàleg mostra els "
                          "valors per defecte; si graveu, substituiran el fitxer.")
        .arg(error);
}

QString leaveQuestion()
{
    return QStringLiteral(
        "Hi ha canvis en la configuracio.\r\nSegur que vols sortir sense gravar?");
}

// ---- what both dialogs share ----

ConfigDialogBase::ConfigDialogBase(DialogPrompts &prompts, const QString &title, QWidget *parent)
    : QDialog(parent)
    , prompts_(prompts)
{
    setWindowTitle(title);
    setModal(true);
    cmbActualitzar = newButton(this, QStyle::SP_DialogSaveButton, QStringLiteral("Gravar"),
                               QStringLiteral("Gravar la configuració"));
    cmbSortir = newButton(this, QStyle::SP_DialogCloseButton, QStringLiteral("Sortir"),
                          QStringLiteral("Tancar aquesta pantalla"));
    connect(cmbActualitzar, &QToolButton::clicked, this, [this] { cmbActualitzar_Click(); });
    connect(cmbSortir, &QToolButton::clicked, this, &ConfigDialogBase::cmbSortir_Click);
}

QLayout *ConfigDialogBase::saveAndLeaveButtons()
{
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmbActualitzar);
    buttons->addWidget(cmbSortir);
    return buttons;
}

void ConfigDialogBase::watch(QLineEdit *box)
{
    connect(box, &QLineEdit::textChanged, this, [this] { changed_ = true; });
}

void ConfigDialogBase::refuse(const Refusal &refusal, QLineEdit *const *boxes)
{
    prompts_.refuse(this, refusal.message);
    if (refusal.box >= 0)
        boxes[refusal.box]->setFocus();
}

void ConfigDialogBase::cmbSortir_Click()
{
    if (changed_ && !prompts_.confirm(this, leaveQuestion()))
        return;
    QDialog::reject();
}

void ConfigDialogBase::reject()
{
    cmbSortir_Click();
}

// ---- the mailbox dialog ----

frmConfiguracioBustia::frmConfiguracioBustia(DialogPrompts &prompts,
                                             config::Configuration &configuration, int index,
                                             std::function<void()> saved, QWidget *parent)
    : ConfigDialogBase(prompts, QStringLiteral("Configuració bústia"), parent)
    , configuration_(configuration)
    , index_(index >= 0 && index < int(configuration.mailboxes().size()) ? index : -1)
    , saved_(std::move(saved))
{
    for (auto &box : txtFields)
        box = newBox(this, &box == &txtFields[kContrassenya] || &box == &txtFields[kConfirmacio]);

    auto *server = new QGroupBox(QStringLiteral("Servidor POP3"), this);
    auto *grid = new QGridLayout(server);
    const std::array<const char *, 5> labels
        = {"Servidor:", "Port:", "Usuari:", "Contrassenya:", "Confirmació:"};
    for (int i = 0; i < 5; ++i) {
        grid->addWidget(newLabel(labels[size_t(i)], server), i, 0);
        grid->addWidget(txtFields[size_t(i)], i, 1);
        if (i == kPort)
            grid->addWidget(newLabel("995: TLS", server), i, 2);
    }
    const MailboxForm form = newMode()
        ? MailboxForm::fresh()
        : MailboxForm::fromEntry(
            configuration_.mailboxes()[size_t(index_)],
            configuration_.loginFor(configuration_.mailboxes()[size_t(index_)]));
    cmbMetode = newLoginChoice(server, LoginUse::Pop3, form.login);
    addLoginRows(grid, server, 5, cmbMetode, txtFields[kCompteTestimoni],
                 txtFields[kOrdreTestimoni]);
    auto *forward = new QGroupBox(QStringLiteral("Enrutar a"), this);
    (new QVBoxLayout(forward))->addWidget(txtFields[kEnviarA]);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addWidget(forward);
    layout->addLayout(saveAndLeaveButtons());

    for (int i = 0; i < kMailboxBoxCount; ++i) {
        txtFields[size_t(i)]->setText(form.text[size_t(i)]);
        watch(txtFields[size_t(i)]);
    }
    connect(cmbMetode, &QComboBox::currentIndexChanged, this, [this] {
        changed_ = true;
        applyLoginRule();
    });
    applyLoginRule();
    changed_ = false;
    centre(this);
}

void frmConfiguracioBustia::applyLoginRule()
{
    const bool token = takesToken(chosenMethod(cmbMetode));
    txtFields[kCompteTestimoni]->setEnabled(token);
    txtFields[kOrdreTestimoni]->setEnabled(token);
}

void frmConfiguracioBustia::cmbActualitzar_Click()
{
    MailboxForm form;
    for (int i = 0; i < kMailboxBoxCount; ++i)
        form.text[size_t(i)] = txtFields[size_t(i)]->text();
    form.login = chosenMethod(cmbMetode);
    if (!takesToken(form.login))
        form.text[kCompteTestimoni] = form.text[kOrdreTestimoni] = QString();
    if (const std::optional<Refusal> refusal = saveMailboxForm(configuration_, form, index_)) {
        refuse(*refusal, txtFields.data());
        return;
    }
    changed_ = false;
    if (saved_)
        saved_();
}

// ---- the configuration dialog ----

frmConfiguracio::frmConfiguracio(DialogPrompts &prompts, Configuration configuration, QString path,
                                 QString programFolder, QWidget *parent)
    : ConfigDialogBase(prompts, QStringLiteral("Vessamo: Configuració"), parent)
    , configuration_(std::move(configuration))
    , path_(std::move(path))
    , programFolder_(std::move(programFolder))
{
    for (auto &box : txtFields)
        box = newBox(this,
                     &box == &txtFields[kContrassenyaSMTP] || &box == &txtFields[kConfirmacioSMTP]);
    chkFields = {new QCheckBox(this), new QCheckBox(this)};
    for (auto &chooser : cmbCarpeta) {
        chooser = new QToolButton(this);
        chooser->setText(QStringLiteral("..."));
    }

    // "Servidor SMTP"
    auto *smtp = new QGroupBox(QStringLiteral("Servidor SMTP"), this);
    auto *smtpGrid = new QGridLayout(smtp);
    smtpGrid->addWidget(newLabel("Servidor:", smtp), 0, 0);
    smtpGrid->addWidget(txtFields[kServidorSMTP], 0, 1);
    smtpGrid->addWidget(newLabel("Port:", smtp), 1, 0);
    smtpGrid->addWidget(txtFields[kPortSMTP], 1, 1);
    smtpGrid->addWidget(newLabel("465: TLS, 587: STARTTLS", smtp), 1, 2);
    smtpGrid->addWidget(newLabel("Autentificació:", smtp), 2, 0);
    smtpGrid->addWidget(chkFields[0], 2, 1);
    smtpGrid->addWidget(newLabel("Usuari:", smtp), 3, 0);
    smtpGrid->addWidget(txtFields[kUsuariSMTP], 3, 1);
    smtpGrid->addWidget(newLabel("Contrassenya:", smtp), 4, 0);
    smtpGrid->addWidget(txtFields[kContrassenyaSMTP], 4, 1);
    smtpGrid->addWidget(newLabel("Confirmació:", smtp), 5, 0);
    smtpGrid->addWidget(txtFields[kConfirmacioSMTP], 5, 1);
    cmbMetode = newLoginChoice(smtp, LoginUse::Smtp, configuration_.smtpLogin.method);
    addLoginRows(smtpGrid, smtp, 6, cmbMetode, txtFields[kCompteTestimoniSMTP],
                 txtFields[kOrdreTestimoniSMTP]);

    // "General"
    auto *general = new QGroupBox(QStringLiteral("General"), this);
    auto *generalGrid = new QGridLayout(general);
    const auto numberRow = [&](int row, const char *before, ConfigBox box, const char *after) {
        auto *line = new QHBoxLayout;
        line->addWidget(newLabel(before, general));
        txtFields[box]->setMaximumWidth(80);
        line->addWidget(txtFields[box]);
        line->addWidget(newLabel(after, general));
        line->addStretch();
        generalGrid->addLayout(line, row, 0, 1, 3);
    };
    const auto folderRow = [](QGridLayout *grid, QWidget *group, int row, const char *label,
                              QLineEdit *box, QToolButton *chooser) {
        grid->addWidget(newLabel(label, group), row, 0);
        // Wide enough for a whole path of the usual depth.
        box->setMinimumWidth(260);
        grid->addWidget(box, row, 1);
        grid->addWidget(chooser, row, 2);
    };
    numberRow(0, "Comprovar bústies cada", kInterval, "minuts");
    folderRow(generalGrid, general, 1, "Carpeta cua:", txtFields[kCarpetaCua], cmbCarpeta[0]);
    folderRow(generalGrid, general, 2,
              "Carpeta d'arxiu de correus enviats:", txtFields[kCarpetaSiEnviats], cmbCarpeta[1]);
    folderRow(generalGrid, general, 3,
              "Carpeta d'arxiu de correus amb errors:", txtFields[kCarpetaNoEnviats],
              cmbCarpeta[2]);
    numberRow(4, "Mantenir l'arxiu durant", kDiesArxiu, "dies");
    txtPostmaster = newBox(this, false);
    generalGrid->addWidget(newLabel("Adreça del postmaster:", general), 5, 0);
    generalGrid->addWidget(txtPostmaster, 5, 1);

    // "Filtre Anti-Spam"
    auto *spam = new QGroupBox(QStringLiteral("Filtre Anti-Spam"), this);
    auto *spamGrid = new QGridLayout(spam);
    spamGrid->addWidget(newLabel("Activar el filtre anti-spam:", spam), 0, 0);
    spamGrid->addWidget(chkFields[1], 0, 1);
    folderRow(spamGrid, spam, 1, "Programa de filtre anti-spam:", txtFields[kProgramaSpam],
              cmbCarpeta[3]);
    folderRow(spamGrid, spam, 2, "Carpeta d'arxiu de correu spam:", txtFields[kCarpetaSpam],
              cmbCarpeta[4]);
    spamGrid->addWidget(newLabel("Marca de correu spam:", spam), 3, 0);
    spamGrid->addWidget(txtFields[kMarcaSpam], 3, 1);

    // "Busties"
    auto *mailboxes = new QGroupBox(QStringLiteral("Busties"), this);
    grdBusties = new QTableWidget(0, 3, mailboxes);
    grdBusties->setHorizontalHeaderLabels(
        {QStringLiteral("Servidor"), QStringLiteral("Usuari"), QStringLiteral("Enviar a")});
    grdBusties->verticalHeader()->hide();
    grdBusties->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdBusties->setSelectionMode(QAbstractItemView::SingleSelection);
    grdBusties->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdBusties->horizontalHeader()->setStretchLastSection(true);
    const std::array<int, 3> twips = {1500, 2000, 2000};
    for (int c = 0; c < 3; ++c)
        grdBusties->setColumnWidth(c, twips[size_t(c)] / kTwipsPerPixel);
    cmbAfegir = newButton(this, QStyle::SP_FileDialogNewFolder, QStringLiteral("Afegir"),
                          QStringLiteral("Afegir una bústia"));
    cmbBorrar = newButton(this, QStyle::SP_TrashIcon, QStringLiteral("Eliminar"),
                          QStringLiteral("Eliminar una bústia"));
    auto *mailboxLayout = new QHBoxLayout(mailboxes);
    mailboxLayout->addWidget(grdBusties);
    auto *mailboxButtons = new QVBoxLayout;
    mailboxButtons->addWidget(cmbAfegir);
    mailboxButtons->addWidget(cmbBorrar);
    mailboxButtons->addStretch();
    mailboxLayout->addLayout(mailboxButtons);

    auto *columns = new QHBoxLayout;
    auto *left = new QVBoxLayout;
    left->addWidget(smtp);
    left->addWidget(spam);
    auto *right = new QVBoxLayout;
    right->addWidget(general);
    right->addWidget(mailboxes);
    columns->addLayout(left);
    columns->addLayout(right);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addLayout(saveAndLeaveButtons());

    connect(cmbAfegir, &QToolButton::clicked, this, &frmConfiguracio::cmbAfegir_Click);
    connect(cmbBorrar, &QToolButton::clicked, this, &frmConfiguracio::cmbBorrar_Click);
    connect(grdBusties, &QTableWidget::cellDoubleClicked, this,
            [this](int row) { editMailbox(row); });
    connect(chkFields[0], &QCheckBox::clicked, this, &frmConfiguracio::applyAuthRule);
    connect(cmbMetode, &QComboBox::currentIndexChanged, this, [this] {
        changed_ = true;
        applyAuthRule();
    });
    for (int i = 0; i < int(cmbCarpeta.size()); ++i)
        connect(cmbCarpeta[size_t(i)], &QToolButton::clicked, this, [this, i] { choose(i); });

    // Opening: the record with the dialog's defaults, then a clean changes flag.
    const ConfigForm opened = ConfigForm::fromConfiguration(configuration_, programFolder_);
    for (int i = 0; i < kConfigBoxCount; ++i) {
        txtFields[size_t(i)]->setText(opened.text[size_t(i)]);
        watch(txtFields[size_t(i)]);
    }
    txtPostmaster->setText(opened.postmaster);
    watch(txtPostmaster);
    chkFields[0]->setChecked(opened.autentificacio);
    chkFields[1]->setChecked(opened.filtreSpam);
    applyAuthRule();
    fillGrid();
    changed_ = false;
    centre(this);
}

void frmConfiguracio::warnUnreadable(const QString &error)
{
    prompts_.refuse(this, unreadableNotice(error));
}

ConfigForm frmConfiguracio::form() const
{
    ConfigForm f;
    for (int i = 0; i < kConfigBoxCount; ++i)
        f.text[size_t(i)] = txtFields[size_t(i)]->text();
    f.autentificacio = chkFields[0]->isChecked();
    f.filtreSpam = chkFields[1]->isChecked();
    f.login = chosenMethod(cmbMetode);
    f.postmaster = txtPostmaster->text();
    if (!takesToken(f.login))
        f.text[kCompteTestimoniSMTP] = f.text[kOrdreTestimoniSMTP] = QString();
    return f;
}

void frmConfiguracio::applyAuthRule()
{
    const bool on = chkFields[0]->isChecked();
    for (ConfigBox box : {kUsuariSMTP, kContrassenyaSMTP, kConfirmacioSMTP})
        txtFields[box]->setEnabled(on);
    cmbMetode->setEnabled(on);
    const bool token = on && takesToken(chosenMethod(cmbMetode));
    txtFields[kCompteTestimoniSMTP]->setEnabled(token);
    txtFields[kOrdreTestimoniSMTP]->setEnabled(token);
}

void frmConfiguracio::fillGrid()
{
    const std::span<const Bustia> table = configuration_.mailboxes();
    grdBusties->clearContents();
    grdBusties->setRowCount(int(table.size()));
    for (int r = 0; r < int(table.size()); ++r) {
        const Bustia &b = table[size_t(r)];
        const std::array<QString, 3> texts = {b.Servidor, b.Usuari, b.EnviarA};
        for (int c = 0; c < 3; ++c)
            grdBusties->setItem(r, c, new QTableWidgetItem(texts[size_t(c)]));
    }
}

void frmConfiguracio::cmbActualitzar_Click()
{
    ConfigForm f = form();
    const std::optional<Refusal> refusal = saveConfigForm(configuration_, f, path_);
    // Folder boxes show what their preparation made of them, even when a later check failed.
    for (ConfigBox box : {kCarpetaCua, kCarpetaSiEnviats, kCarpetaNoEnviats, kCarpetaSpam}) {
        if (txtFields[box]->text() != f.text[box])
            txtFields[box]->setText(f.text[box]);
    }
    if (refusal) {
        refuse(*refusal, txtFields.data());
        if (refusal->message.startsWith(QStringLiteral("Adreça del postmaster")))
            txtPostmaster->setFocus();
        return;
    }
    changed_ = false;
}

void frmConfiguracio::openMailbox(int index)
{
    frmConfiguracioBustia mailbox(
        prompts_, configuration_, index, [this] { changed_ = true; }, this);
    mailbox.exec();
    fillGrid();
}

void frmConfiguracio::cmbAfegir_Click()
{
    openMailbox(-1);
}

void frmConfiguracio::editMailbox(int row)
{
    // Only a row that shows a mailbox has one to edit.
    if (row < 0 || row >= grdBusties->rowCount())
        return;
    openMailbox(row);
}

void frmConfiguracio::cmbBorrar_Click()
{
    const QList<QTableWidgetItem *> selected = grdBusties->selectedItems();
    if (selected.isEmpty())
        return;
    const int row = selected.first()->row();
    const std::vector<Bustia> &table = configuration_.Busties;
    if (row < 0 || size_t(row) >= table.size())
        return;
    if (!prompts_.confirm(
            this,
            QStringLiteral("Segur que vols borrar la bústia %1?").arg(table[size_t(row)].Usuari)))
        return;
    if (deleteMailbox(configuration_, row))
        changed_ = true;
    fillGrid();
}

void frmConfiguracio::choose(int chooser)
{
    static constexpr std::array<ConfigBox, 5> boxes
        = {kCarpetaCua, kCarpetaSiEnviats, kCarpetaNoEnviats, kProgramaSpam, kCarpetaSpam};
    QLineEdit *box = txtFields[boxes[size_t(chooser)]];
    if (boxes[size_t(chooser)] == kProgramaSpam) {
        const QString file = prompts_.chooseFile(this, box->text());
        if (!isBlank(file))
            box->setText(file);
        return;
    }
    const QString folder
        = prompts_.chooseFolder(this, isBlank(box->text()) ? QString() : box->text());
    if (!isBlank(folder))
        box->setText(folder.endsWith(u'/') ? folder : folder + u'/');
}

void editConfiguration(DialogPrompts &prompts, Configuration &configuration, const QString &path,
                       const QString &programFolder)
{
    frmConfiguracio dialog(prompts, configuration, path, programFolder);
    dialog.exec();
    configuration = dialog.configuration();
}

} // namespace vessamo::shell
