// The process-wide configuration record `Configuracio`, the mailbox table `Busties`, and
// the binary file that holds them (versions 1 and 2, little-endian, texts in Windows-1252
// with a 16-bit byte count).
//
// Loaded once at start; written only by the configuration dialog's save. Loading checks
// every length against the bytes that are really there: a truncated or damaged file is
// refused and leaves no mailbox. Saving writes a temporary file beside the old one,
// flushes it and renames it over the name, so a crash never leaves half a configuration
// and a link planted at the name is replaced, never followed.
#pragma once

#include <QString>
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

    bool operator==(const ConfiguracioRecord &) const = default;
};

// The file format version this program writes.
inline qint32 VersioConfiguracio = 0;
inline ConfiguracioRecord Configuracio;
// Holds NumBusties meaningful entries, in the order the run visits them.
inline std::vector<Bustia> Busties;

// True when the record (and the mailbox table) was read. Failures go to the event log.
bool LlegirConfiguracio(const QString &path);
// True when the file was written and is safely on disk.
bool GravarConfiguracio(const QString &path);

// The load as the editors need it: a missing file is a new configuration, while a file
// that is there but cannot be read or is damaged must not be replaced by defaults
// unawares. Nothing goes to the event log.
struct ConfigurationLoad
{
    enum class Status { Loaded, Missing, Unreadable, Damaged };
    Status status = Status::Missing;
    // What went wrong, for the person at the keyboard.
    QString error;

    bool failed() const { return status == Status::Unreadable || status == Status::Damaged; }
};
ConfigurationLoad loadConfiguration(const QString &path);

// Why the last GravarConfiguracio failed (the step and the system's reason).
QString lastSaveError();

// Whether the file at `path` was saved by someone else since this process last read it
// (loadConfiguration) or wrote it; false when it has done neither with that path.
bool changedSinceRead(const QString &path);

// $VESSAMO_CONFIG, else the layout's file: /etc/vessamo/vessamo.vsm for the installed
// program, else beside the executable, its name without extension + ".vsm".
QString configurationFilePath();
QString configurationFilePath(const Layout &layout);

// Back to the state before the first load (for tests).
void resetConfiguration();

} // namespace vessamo::config
