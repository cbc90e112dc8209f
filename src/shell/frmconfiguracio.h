// The configuration dialog "Vessamo: Configuració" and the mailbox dialog "Configuració
// bústia". Both are views over the forms of config/configform.h, which hold every rule
// (checks, messages, folder preparation, the copy into the record); the dialogs only move
// texts between the boxes and the forms, keep the changes flag and ask their questions.
//
// The configuration dialog edits a copy of the configuration it is given: its save writes
// that copy with the boxes' record; a mailbox saved or deleted changes the copy's table at
// once. Whoever opened it takes the copy back when it closes.
//
// Questions, refusals and choosers go through DialogPrompts, so that tests answer them
// without a blocking message box.
#pragma once

#include "config/configform.h"

#include <QDialog>
#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTableWidget;
class QToolButton;

namespace vessamo::shell {

class DialogPrompts
{
public:
    virtual ~DialogPrompts() = default;
    // A refusal: stop icon, OK, the application's title.
    virtual void refuse(QWidget *parent, const QString &text);
    // Yes or No, question icon, No the default.
    virtual bool confirm(QWidget *parent, const QString &text);
    // Empty when nothing was chosen.
    virtual QString chooseFolder(QWidget *parent, const QString &start);
    virtual QString chooseFile(QWidget *parent, const QString &start);
};

// What the dialog says first when the configuration file is there but cannot be read.
QString unreadableNotice(const QString &error);

// The question asked on leaving with unsaved changes.
QString leaveQuestion();

// What both dialogs share: the changes flag, the save and leave buttons, the question on
// leaving with unsaved changes (also for Escape and the window's close button), and a
// refusal shown with the focus put on its box.
class ConfigDialogBase : public QDialog
{
    Q_OBJECT
public:
    bool changed() const { return changed_; }
    virtual void cmbActualitzar_Click() = 0;
    void cmbSortir_Click();

protected:
    ConfigDialogBase(DialogPrompts &prompts, const QString &title, QWidget *parent);
    void reject() override;
    // The two buttons, right-aligned, for the bottom of the dialog's layout.
    QLayout *saveAndLeaveButtons();
    // Every change of the box's text sets the changes flag.
    void watch(QLineEdit *box);
    void refuse(const config::Refusal &refusal, QLineEdit *const *boxes);

    DialogPrompts &prompts_;
    bool changed_ = false;
    QToolButton *cmbActualitzar = nullptr;
    QToolButton *cmbSortir = nullptr;
};

class frmConfiguracioBustia : public ConfigDialogBase
{
    Q_OBJECT
public:
    // Edits entry `index` of the table of `configuration`, which must outlive the dialog;
    // -1 (or any position outside the table) opens in new mode. `saved` is called after
    // every successful save (the configuration dialog sets its changes flag).
    frmConfiguracioBustia(DialogPrompts &prompts, config::Configuration &configuration, int index,
                          std::function<void()> saved, QWidget *parent = nullptr);

    bool newMode() const { return index_ < 0; }
    QLineEdit *box(config::MailboxBox b) const { return txtFields[b]; }
    QComboBox *loginChoice() const { return cmbMetode; }

    void cmbActualitzar_Click() override;

private:
    void applyLoginRule();

    config::Configuration &configuration_;
    int index_;
    std::function<void()> saved_;
    std::array<QLineEdit *, config::kMailboxBoxCount> txtFields {};
    QComboBox *cmbMetode = nullptr;
    // Not a box of the binary file: kept in the login file.
    QLineEdit *txtPostmaster = nullptr;
};

class frmConfiguracio : public ConfigDialogBase
{
    Q_OBJECT
public:
    // Edits a copy of `configuration`; saves to `path`. `programFolder` is where the
    // default folders go.
    frmConfiguracio(DialogPrompts &prompts, config::Configuration configuration, QString path,
                    QString programFolder, QWidget *parent = nullptr);

    // The copy as the dialog holds it: the last saved record, and the mailbox table as
    // changed.
    const config::Configuration &configuration() const { return configuration_; }

    QLineEdit *box(config::ConfigBox b) const { return txtFields[b]; }
    QCheckBox *check(int i) const { return chkFields[size_t(i)]; }
    QTableWidget *grid() const { return grdBusties; }
    QToolButton *chooser(int i) const { return cmbCarpeta[size_t(i)]; }
    QComboBox *loginChoice() const { return cmbMetode; }
    QLineEdit *postmasterBox() const { return txtPostmaster; }

    // Says, before the dialog is used, that the file could not be read (`error`) and that
    // saving will replace it with what the dialog shows.
    void warnUnreadable(const QString &error);

    void cmbActualitzar_Click() override;
    void cmbAfegir_Click();
    void cmbBorrar_Click();
    void editMailbox(int row);

private:
    void fillGrid();
    void applyAuthRule();
    void choose(int chooser);
    void openMailbox(int index);
    config::ConfigForm form() const;

    config::Configuration configuration_;
    QString path_;
    QString programFolder_;
    std::array<QLineEdit *, config::kConfigBoxCount> txtFields {};
    std::array<QCheckBox *, 2> chkFields {};
    std::array<QToolButton *, 5> cmbCarpeta {};
    QTableWidget *grdBusties = nullptr;
    QToolButton *cmbAfegir = nullptr;
    QToolButton *cmbBorrar = nullptr;
    QComboBox *cmbMetode = nullptr;
    // Not a box of the binary file: kept in the login file.
    QLineEdit *txtPostmaster = nullptr;
};

// The tray's "Configuració": the dialog on a copy of `configuration`, which then takes what
// the dialog leaves (the record as last saved, the mailbox table as changed, saved or not),
// for the next run to use.
void editConfiguration(DialogPrompts &prompts, config::Configuration &configuration,
                       const QString &path, const QString &programFolder);

} // namespace vessamo::shell
