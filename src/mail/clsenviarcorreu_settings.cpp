// Remembered settings of the mail object: a per-user INI store (organisation and application
// "Postiera", group "Settings"), values kept as the texts the old store used: numbers in
// decimal with a blank in front of a non-negative one, flags as "-1" and "0", texts as they
// are. Values are written on assignment while remembering is on and read back only when an
// object is created. Failures of the store are ignored: an unreadable value gives its default.
//
// Every mail object reads the store, and QSettings checks each of its four files three
// times to do so. What was read is kept instead, with the files' identities (inode, size,
// change and modification times): an object reads it again only when a file is new,
// gone or different, so an edit between two objects (or two runs) is still seen.
#include "mail/clsenviarcorreu.h"

#include <QFile>
#include <QHash>
#include <QSettings>
#include <QStandardPaths>
#include <cerrno>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace vessamo::mail {

namespace {

const QString kOrganisation = QStringLiteral("Postiera");
const QString kApplication = QStringLiteral("Postiera");
const QString kGroup = QStringLiteral("Settings");

QSettings openStore()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
}

// The files QSettings reads for the store, in its order: the user's application and
// organisation files, then those of each system configuration folder.
QStringList storeFiles()
{
    const QString appFile = kOrganisation + u'/' + kApplication + QStringLiteral(".ini");
    const QString orgFile = kOrganisation + QStringLiteral(".ini");
    const QString user = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QStringList system = QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    if (!system.isEmpty())
        system.removeFirst(); // the user's folder
    QStringList files {user + u'/' + appFile, user + u'/' + orgFile};
    for (const QString &folder : std::as_const(system))
        files.append(folder + u'/' + appFile);
    for (const QString &folder : std::as_const(system))
        files.append(folder + u'/' + orgFile);
    return files;
}

// What tells one state of a file from another without reading it.
struct FileStamp
{
    int error = 0;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};
    timespec changed {};

    bool operator==(const FileStamp &o) const
    {
        return error == o.error && device == o.device && inode == o.inode && size == o.size
            && modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec
            && changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

FileStamp stampOf(const QString &path)
{
    struct stat st
    {
    };
    FileStamp stamp;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        stamp.error = errno;
        return stamp;
    }
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    stamp.changed = st.st_ctim;
    return stamp;
}

// The group's values as one reading of the store found them.
struct StoreReading
{
    QStringList files;
    std::vector<FileStamp> stamps;
    QSettings::Status status = QSettings::NoError;
    QHash<QString, QVariant> values;
};

std::optional<StoreReading> &keptReading()
{
    static std::optional<StoreReading> kept;
    return kept;
}

// The store as it is now: the kept reading while none of its files changed, else a new
// one. Null when the files QSettings uses are not the ones looked at here (a path set by
// hand): then nothing is kept and every value is read from the store.
const StoreReading *currentReading()
{
    std::optional<StoreReading> &kept = keptReading();
    const QStringList files = storeFiles();
    std::vector<FileStamp> stamps;
    stamps.reserve(std::size_t(files.size()));
    // Taken before reading: a file changed while it is read is read again next time.
    for (const QString &file : files)
        stamps.push_back(stampOf(file));
    if (kept && kept->files == files && kept->stamps == stamps)
        return &*kept;
    kept.reset();
    QSettings store = openStore();
    if (store.fileName() != files.first())
        return nullptr;
    StoreReading reading {files, std::move(stamps), store.status(), {}};
    store.beginGroup(kGroup);
    for (const QString &key : store.allKeys())
        reading.values.insert(key, store.value(key));
    kept = std::move(reading);
    return &*kept;
}

QString settingText(const QVariant &value, const QString &defaultValue)
{
    // A hand-edited value with an unquoted comma comes back as a list of texts.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.canConvert<QString>() ? value.toString() : defaultValue;
}

QString settingFrom(const StoreReading *reading, const QString &key, const QString &defaultValue)
{
    if (reading) {
        if (reading->status != QSettings::NoError)
            return defaultValue;
        const auto found = reading->values.constFind(key);
        return found == reading->values.cend() ? defaultValue : settingText(*found, defaultValue);
    }
    QSettings store = openStore();
    if (store.status() != QSettings::NoError)
        return defaultValue;
    store.beginGroup(kGroup);
    if (!store.contains(key))
        return defaultValue;
    return settingText(store.value(key), defaultValue);
}

} // namespace

QString clsEnviarCorreu::numberText(qint32 value)
{
    const QString digits = QString::number(value);
    return value < 0 ? digits : QStringLiteral(" ") + digits;
}

QString clsEnviarCorreu::flagText(bool value)
{
    return value ? QStringLiteral("-1") : QStringLiteral("0");
}

qint32 clsEnviarCorreu::numberFromText(const QString &text, qint32 fallback)
{
    bool ok = false;
    const qint32 value = text.trimmed().toInt(&ok, 10);
    return ok ? value : fallback;
}

bool clsEnviarCorreu::flagFromText(const QString &text, bool fallback)
{
    const QString t = text.trimmed();
    if (t.compare(u"True", Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(u"False", Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const qint64 value = t.toLongLong(&ok, 10);
    return ok ? value != 0 : fallback;
}

QString clsEnviarCorreu::ReadSetting(const QString &key, const QString &defaultValue) const
{
    return settingFrom(currentReading(), key, defaultValue);
}

void clsEnviarCorreu::WriteSetting(const QString &key, const QString &value) const
{
    if (persistentSettings_)
        storeSetting(key, value);
}

void clsEnviarCorreu::storeSetting(const QString &key, const QString &value)
{
    QSettings store = openStore();
    store.beginGroup(kGroup);
    store.setValue(key, value);
    store.endGroup();
    store.sync();
    // Our own write need not show in the files' times, which are coarser than a write.
    keptReading().reset();
}

void clsEnviarCorreu::loadSettings()
{
    // Loaded without the checks of assignment (no network at creation), but a remembered
    // number outside the range its property accepts gives the default: a hand-edited 0 as
    // port or time-out would otherwise make every session fail. One look at the store for
    // all of them.
    const StoreReading *reading = currentReading();
    const auto read = [reading](const QString &key, const QString &defaultValue) {
        return settingFrom(reading, key, defaultValue);
    };
    const auto number = [&read](const QString &key, qint32 fallback, qint32 low, qint32 high) {
        const qint32 value = numberFromText(read(key, numberText(fallback)), fallback);
        return value < low || value > high ? fallback : value;
    };
    const auto flag = [&read](const QString &key, bool fallback) {
        return flagFromText(read(key, flagText(fallback)), fallback);
    };
    const auto host = [&read](const QString &key) {
        QString value = read(key, QString());
        value.remove(QChar(u'\0'));
        return value.trimmed();
    };
    constexpr qint32 kAny = std::numeric_limits<qint32>::max();
    constexpr qint32 kAnyLow = std::numeric_limits<qint32>::min();

    from_ = read(settingskey::kFrom, QString()).trimmed();
    fromDisplayName_ = read(settingskey::kFromDisplayName, QString()).trimmed();
    pop3Host_ = host(settingskey::kPop3Host);
    smtpHost_ = host(settingskey::kRemoteHost);
    userName_ = read(settingskey::kUsername, QString());
    smtpPort_ = number(settingskey::kRemotePort, 25, 1, 65535);
    smtpHostValidation_ = number(settingskey::kSmtpHostValidation, 3, kAnyLow, kAny);
    emailAddressValidation_ = number(settingskey::kEmailValidation, 1, kAnyLow, kAny);
    // Loaded as stored: the session copes with any count or time, 0 and below included.
    connectTimeout_ = number(settingskey::kConnectTimeout, 30, kAnyLow, kAny);
    messageTimeout_ = number(settingskey::kMessageTimeout, 60, 0, kAny);
    connectRetry_ = number(settingskey::kConnectRetry, 4, kAnyLow, kAny);
    encodeType_ = number(settingskey::kEncodeType, 0, kAnyLow, kAny);
    useAuthentication_ = flag(settingskey::kUseAuthentication, false);
    usePopAuthentication_ = flag(settingskey::kUsePopAuthentication, false);
}

} // namespace vessamo::mail
