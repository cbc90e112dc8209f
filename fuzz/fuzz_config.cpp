// libFuzzer target for the configuration file reader: the input is written as a
// configuration file and loaded. A plain reading of the format written here says whether
// the file must load and what it holds; a refused file must leave no mailbox; a loaded
// one, saved and loaded again, must give the same record and mailbox table.
#include "config/configuracio.h"
#include "platform/ansi.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

// Every refused file is an event-log entry, and the event log goes to syslog: a fuzz run
// would write tens of thousands of them into the system log. This definition takes the
// place of the C library's for this program only.
extern "C" void syslog(int, const char *, ...) { }

namespace {

namespace config = vessamo::config;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Reads the file's fields in order: integers little-endian, texts as an unsigned 16-bit
// byte count and that many Windows-1252 bytes. Any field that runs past the end fails.
class Cursor
{
public:
    explicit Cursor(const QByteArray &bytes)
        : bytes_(bytes)
    {
    }

    std::optional<quint32> unsignedInt(int width)
    {
        if (pos_ + width > bytes_.size())
            return std::nullopt;
        quint32 v = 0;
        for (int i = width - 1; i >= 0; --i)
            v = (v << 8) | static_cast<quint8>(bytes_[pos_ + i]);
        pos_ += width;
        return v;
    }

    bool int16(qint16 &out)
    {
        const auto v = unsignedInt(2);
        out = v ? static_cast<qint16>(*v) : 0;
        return v.has_value();
    }

    bool text(QString &out)
    {
        const auto count = unsignedInt(2);
        if (!count || pos_ + qsizetype(*count) > bytes_.size())
            return false;
        out = vessamo::platform::fromAnsi(bytes_.mid(pos_, *count));
        pos_ += *count;
        return true;
    }

private:
    const QByteArray &bytes_;
    qsizetype pos_ = 0;
};

struct Contents
{
    config::ConfiguracioRecord record;
    std::vector<config::Bustia> table;
};

std::optional<Contents> readPlainly(const QByteArray &bytes)
{
    Cursor in(bytes);
    const auto version = in.unsignedInt(4);
    if (!version || (*version != 1 && *version != 2))
        return std::nullopt;
    Contents c;
    config::ConfiguracioRecord &r = c.record;
    bool ok = in.int16(r.Interval) && in.text(r.CarpetaCua) && in.text(r.CarpetaNoEnviats)
        && in.text(r.CarpetaSiEnviats) && in.int16(r.DiesArxiu) && in.text(r.ServidorSMTP)
        && in.int16(r.PortSMTP) && in.int16(r.AutentificacioSMTP) && in.text(r.UsuariSMTP)
        && in.text(r.ContrassenyaSMTP) && in.int16(r.NumBusties);
    // Version 1 has no spam filter fields: the filter is off.
    if (ok && *version == 2)
        ok = in.int16(r.FiltreSpam) && in.text(r.ProgramaSpam) && in.text(r.CarpetaSpam)
            && in.text(r.MarcaSpam);
    for (qint16 i = 0; ok && i < r.NumBusties; ++i) {
        config::Bustia b;
        ok = in.text(b.Servidor) && in.int16(b.Port) && in.text(b.Usuari) && in.text(b.Contrassenya)
            && in.text(b.EnviarA);
        c.table.push_back(b);
    }
    if (!ok)
        return std::nullopt;
    if (r.NumBusties < 1) {
        // No mailbox: the count reads as 0 and the table keeps one empty entry.
        r.NumBusties = 0;
        c.table.assign(1, config::Bustia {});
    }
    return c;
}

// A text too long for the 16-bit count of older readers cannot be saved.
bool savable(const Contents &c)
{
    const config::ConfiguracioRecord &r = c.record;
    QStringList texts
        = {r.CarpetaCua,       r.CarpetaNoEnviats, r.CarpetaSiEnviats, r.ServidorSMTP, r.UsuariSMTP,
           r.ContrassenyaSMTP, r.ProgramaSpam,     r.CarpetaSpam,      r.MarcaSpam};
    for (qsizetype i = 0; i < r.NumBusties; ++i) {
        const config::Bustia &b = c.table[std::size_t(i)];
        texts << b.Servidor << b.Usuari << b.Contrassenya << b.EnviarA;
    }
    return std::all_of(texts.begin(), texts.end(), [](const QString &t) {
        return vessamo::platform::toAnsi(t).size() <= 32767;
    });
}

// Files live in memory where there is a tmpfs, so the saves' syncs cost nothing.
QString folder()
{
    static const auto dir = [] {
        const QString shm = QStringLiteral("/dev/shm");
        return QDir(shm).exists()
            ? std::make_unique<QTemporaryDir>(shm + QStringLiteral("/vessamo-fuzz-XXXXXX"))
            : std::make_unique<QTemporaryDir>();
    }();
    check(dir->isValid());
    return dir->path();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString loadPath = folder() + QStringLiteral("/input.vsm");
    const QString savePath = folder() + QStringLiteral("/saved.vsm");
    {
        QFile file(loadPath);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
              && file.write(input) == input.size());
    }

    config::resetConfiguration();
    const std::optional<Contents> plain = readPlainly(input);
    const bool loaded = config::LlegirConfiguracio(loadPath);
    check(loaded == plain.has_value());
    if (!loaded) {
        check(config::Configuracio.NumBusties == 0 && config::Busties.size() == 1
              && config::Busties[0] == config::Bustia {});
        return 0;
    }
    check(config::Configuracio == plain->record && config::Busties == plain->table);

    const bool saved = config::GravarConfiguracio(savePath);
    check(saved == savable(*plain));
    if (!saved)
        return 0;
    config::resetConfiguration();
    check(config::LlegirConfiguracio(savePath));
    check(config::Configuracio == plain->record && config::Busties == plain->table);
    return 0;
}
