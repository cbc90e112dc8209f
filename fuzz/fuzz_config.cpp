// libFuzzer target for the configuration file reader: the input is loaded as a
// configuration file. A refused file leaves no mailbox; a loaded one holds as many
// mailboxes as its count says and, saved and loaded again, gives the same record and table.
#include "config/configuracio.h"
#include "fuzzcheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// Every refused file is an event-log entry, and the event log goes to syslog: this
// definition keeps a fuzz run out of the system log.
extern "C" void syslog(int, const char *, ...) { }

namespace config = vessamo::config;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // In memory where there is a tmpfs, so that the saves' syncs cost nothing.
    static const QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                       ? QStringLiteral("/dev/shm/vessamo-fuzz-XXXXXX")
                                       : QDir::tempPath() + QStringLiteral("/vessamo-fuzz-XXXXXX"));
    const QString loadPath = dir.filePath(QStringLiteral("input.vsm"));
    const QString savePath = dir.filePath(QStringLiteral("saved.vsm"));
    {
        QFile file(loadPath);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
              && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    }
    const config::ConfigurationLoad load = config::LlegirConfiguracio(loadPath);
    const config::Configuration &loaded = load.configuration;
    if (!load.loaded()) {
        check(loaded.Configuracio.NumBusties == 0 && loaded.Busties.size() == 1
              && loaded.Busties[0] == config::Bustia {});
        return 0;
    }
    // A count below one means no mailbox; otherwise the table holds as many as it says.
    const config::ConfiguracioRecord &record = loaded.Configuracio;
    check(record.NumBusties >= 0
          && loaded.Busties.size() == std::size_t(qMax<qint16>(record.NumBusties, 1)));
    // A save fails only for a text too long for older readers (the unit tests see to that).
    if (config::GravarConfiguracio(savePath, loaded)) {
        const config::ConfigurationLoad again = config::LlegirConfiguracio(savePath);
        check(again.loaded() && again.configuration == loaded);
    }
    return 0;
}
