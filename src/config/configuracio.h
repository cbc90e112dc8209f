// The configuration as a value: the record `ConfiguracioRecord`, the table of mailboxes
// (`Bustia`), and the binary file that holds them (versions 1 and 2, little-endian, texts
// in Windows-1252 with a 16-bit byte count).
//
// The shell loads one value at start (its `Configuracio` and `Busties`) and hands it, or the
// part each needs, to the run, the session and the dialogs; nothing else holds one for the
// process. The editors change a copy and save the value they hold. Loading checks every
// length against the bytes that are really there: a truncated or damaged file is refused
// and leaves no mailbox. Saving writes a temporary file beside the old one, flushes it and
// renames it over the name, so a crash never leaves half a configuration and a link
// planted at the name is replaced, never followed.
//
// The logins the binary file cannot hold (loginsettings.h) come from the login file beside
// it (loginfile.h), which a load reads and a save writes with the same care, under the same
// lock: a missing login file means every login is classic, as before it existed; a damaged
// one is refused like a damaged configuration.
#pragma once

#include "config/loginsettings.h"

#include <QString>
#include <map>
#include <span>
#include <vector>

namespace vessamo::config {

struct Layout;

struct Bustia
{
    QString Servidor;
    qint16 Port = 0;
    QString Usuari;
    QString Contrassenya;
    QString EnviarA;

    // The file keeps the port in 16 bits: ports above 32767 are stored negative.
    quint16 port() const { return static_cast<quint16>(Port); }

    bool operator==(const Bustia &) const = default;
};

struct ConfiguracioRecord
{
    qint16 Interval = 0;
    QString CarpetaCua;
    QString CarpetaNoEnviats;
    QString CarpetaSiEnviats;
    qint16 DiesArxiu = 0;
    QString ServidorSMTP;
    qint16 PortSMTP = 0;
    qint16 AutentificacioSMTP = 0;
    QString UsuariSMTP;
    QString ContrassenyaSMTP;
    qint16 NumBusties = 0;
    qint16 FiltreSpam = 0;
    QString ProgramaSpam;
    QString CarpetaSpam;
    QString MarcaSpam;

    // The file keeps the port in 16 bits: ports above 32767 are stored negative.
    quint16 smtpPort() const { return static_cast<quint16>(PortSMTP); }
    // Flags hold -1 for true; any value but 0 reads as true.
    bool smtpAuthentication() const { return AutentificacioSMTP != 0; }
    bool spamFilter() const { return FiltreSpam != 0; }

    bool operator==(const ConfiguracioRecord &) const = default;
};

// The file format version this program writes; version 1 files are still read.
inline constexpr qint32 VersioConfiguracio = 2;

// The record and the mailbox table, as one file holds them.
struct Configuration
{
    Configuration() = default;
    // The record and the table, with classic logins (as a configuration without a login
    // file has them).
    Configuration(ConfiguracioRecord record, std::vector<Bustia> mailboxTable)
        : Configuracio(std::move(record))
        , Busties(std::move(mailboxTable))
    {
    }

    ConfiguracioRecord Configuracio;
    // Holds NumBusties meaningful entries, in the order the run visits them.
    std::vector<Bustia> Busties;
    // How the SMTP session logs in (used when AutentificacioSMTP is on).
    LoginSettings smtpLogin;
    // How each mailbox logs in, by its identity: entries for mailboxes of the table only.
    std::map<MailboxIdentity, LoginSettings> mailboxLogins;
    // Where a notice goes when a message is filed as failed; empty: no notices. Kept in the
    // login file (checkPostmaster() says what it may be).
    QString postmaster;

    // The login of a mailbox (classic when it has no entry). Mailboxes with the same
    // server, port and user share one.
    const LoginSettings &loginFor(const Bustia &mailbox) const;
    // Sets it (a classic login removes the entry).
    void setLoginFor(const Bustia &mailbox, const LoginSettings &login);
    // Drops the entries of identities that no mailbox of the table has.
    void dropUnusedLogins();

    // The meaningful entries: the first NumBusties (none when it is negative), never more
    // than the table holds.
    std::span<const Bustia> mailboxes() const;

    bool operator==(const Configuration &) const = default;
};

// What a load gives. A missing file is a new configuration, while a file that is there but
// cannot be read or is damaged must not be replaced by defaults unawares.
struct ConfigurationLoad
{
    enum class Status { Loaded, Missing, Unreadable, Damaged };
    Status status = Status::Missing;
    // What went wrong, for the person at the keyboard.
    QString error;
    // The file that went wrong: the configuration, or the login file beside it.
    QString file;
    // Loaded: the file's record and mailbox table, and the login file's settings. Otherwise the
    // configuration the load started from with no mailbox (a count of 0, one empty entry): nothing
    // half-read replaces its other fields.
    Configuration configuration;

    bool loaded() const { return status == Status::Loaded; }
    bool failed() const { return status == Status::Unreadable || status == Status::Damaged; }
};

// The load as the editors need it. Nothing goes to the event log.
ConfigurationLoad loadConfiguration(const QString &path, Configuration start = {});
// The start routine's load: the same, with a failure logged to the event log.
ConfigurationLoad LlegirConfiguracio(const QString &path, Configuration start = {});
// Writes `configuration`: the login file (when it has settings or was there) and then the
// binary file, each replaced whole; true when both were written and are safely on disk.
bool GravarConfiguracio(const QString &path, const Configuration &configuration);

// Why the last GravarConfiguracio failed (the step and the system's reason).
QString lastSaveError();

// Whether the file at `path` was saved by someone else since this process last read it
// (loadConfiguration) or wrote it; false when it has done neither with that path.
bool changedSinceRead(const QString &path);

// $VESSAMO_CONFIG, else the layout's file: /etc/vessamo/vessamo.vsm for the installed
// program, else beside the executable, its name without extension + ".vsm".
QString configurationFilePath();
QString configurationFilePath(const Layout &layout);

} // namespace vessamo::config
