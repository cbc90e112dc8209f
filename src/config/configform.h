// The rules of the configuration and mailbox dialogs without their widgets: what the boxes
// show on opening, the numeric reading of a number box, the save checks in their order and
// their messages, the preparation of folder boxes, and the copy into the record. The
// dialogs and the text interface for machines without a display both edit through these
// forms, so the two can never disagree.
#pragma once

#include "config/configuracio.h"

#include <QString>
#include <array>
#include <optional>

namespace vessamo::config {

// The leading number of a text: blanks, tabs and line feeds are ignored wherever they
// stand; then an optional sign and a decimal number (digits, point, fraction, exponent),
// or a hexadecimal or octal number after "&H" or "&O". A text without one reads 0.
struct NumericReading
{
    double value = 0;
    // The number was all the text held (blanks aside): nothing trailed it.
    bool wholeText = false;
};
NumericReading readNumber(QStringView text);

// The value a number box stores: its reading when that is a whole number within
// [minimum, maximum] and nothing trails it; otherwise nothing. Ports take 1 to 65,535 and
// are stored in 16 bits as the engine reads them back (unsigned).
std::optional<qint16> numberBoxValue(QStringView text, int minimum, int maximum);

// Empty or made only of space characters.
bool isBlank(QStringView text);

// Why a save was refused: the message shown, and the box it is about.
struct Refusal
{
    int box = -1;
    QString message;
};

// ---- the configuration dialog ----

enum ConfigBox {
    kServidorSMTP,
    kPortSMTP,
    kUsuariSMTP,
    kContrassenyaSMTP,
    kConfirmacioSMTP,
    kInterval,
    kCarpetaCua,
    kCarpetaSiEnviats,
    kCarpetaNoEnviats,
    kDiesArxiu,
    kProgramaSpam,
    kCarpetaSpam,
    kMarcaSpam,
    kCompteTestimoniSMTP,
    kOrdreTestimoniSMTP,
    kConfigBoxCount
};

struct ConfigForm
{
    std::array<QString, kConfigBoxCount> text;
    bool autentificacio = false;
    bool filtreSpam = false;
    // The SMTP login's method as chosen or typed ("" or "classic": classic).
    QString login;
    // Where notices of failed mail go ("": none).
    QString postmaster;

    // What the dialog shows on opening: the record, with "5" and "90" for a zero interval
    // and zero days and the folders under `programFolder` where the record has none.
    static ConfigForm fromRecord(const ConfiguracioRecord &record, const QString &programFolder);
    // The same, with the SMTP login's settings and the postmaster.
    static ConfigForm fromConfiguration(const Configuration &configuration,
                                        const QString &programFolder);
};

// The SMTP login the form asks for (the method in its stored form when it is one).
LoginSettings smtpLoginFromForm(const ConfigForm &form);

// Runs the save checks in order; the first that fails is returned. Folder boxes are
// prepared on the way (a "/" appended to the box's text, the last level created), so a
// later failure leaves the earlier folders prepared.
std::optional<Refusal> checkConfigForm(ConfigForm &form);
// The record with the boxes copied in (texts as typed); the mailbox count is `base`'s.
ConfiguracioRecord recordFromForm(const ConfigForm &form, const ConfiguracioRecord &base);
// Checks, and writes the file with the form's record and SMTP login and `configuration`'s
// mailbox table and mailbox logins;
// once it is written, `configuration` holds what was saved. On any refusal, including a
// file that cannot be written, `configuration` is left as it was.
std::optional<Refusal> saveConfigForm(Configuration &configuration, ConfigForm &form,
                                      const QString &path);

// ---- the mailbox dialog ----

enum MailboxBox {
    kServidor,
    kPort,
    kUsuari,
    kContrassenya,
    kConfirmacio,
    kEnviarA,
    kCompteTestimoni,
    kOrdreTestimoni,
    kMailboxBoxCount
};

struct MailboxForm
{
    std::array<QString, kMailboxBoxCount> text;
    // The login's method as chosen or typed ("" or "classic": classic).
    QString login;

    // New mode: empty boxes, port "110" and a classic login.
    static MailboxForm fresh();
    // Edit mode: the entry, its password in both password boxes, and its login.
    static MailboxForm fromEntry(const Bustia &entry, const LoginSettings &login = {});
};

std::optional<Refusal> checkMailboxForm(const MailboxForm &form);
// Only for a form that passed the checks.
Bustia mailboxFromForm(const MailboxForm &form);
LoginSettings mailboxLoginFromForm(const MailboxForm &form);
// Checks and stores into the configuration's mailbox table, with its login under the
// entry's identity: appended when `index` is outside the table (new mode; `index` then
// becomes the new entry's), else entry `index` replaced in place (an identity it no longer
// has, and no other mailbox has, loses its login entry).
std::optional<Refusal> saveMailboxForm(Configuration &configuration, const MailboxForm &form,
                                       int &index);
// Removes entry `index` (0-based), the later ones moving up, and its login entry unless
// another mailbox has the same identity; false when there is none.
bool deleteMailbox(Configuration &configuration, int index);

} // namespace vessamo::config
