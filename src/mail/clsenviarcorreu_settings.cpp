// Remembered settings of the mail object: a per-user INI store (organisation and application
// "Postiera", group "Settings"), values kept as the texts the old store used: numbers in
// decimal with a blank in front of a non-negative one, flags as "-1" and "0", texts as they
// are. Values are written on assignment while remembering is on and read back only when an
// object is created. Failures of the store are ignored: an unreadable value gives its default.
#include "mail/clsenviarcorreu.h"

#include <QSettings>
#include <limits>

namespace vessamo::mail {

namespace {

const QString kOrganisation = QStringLiteral("Postiera");
const QString kApplication = QStringLiteral("Postiera");
const QString kGroup = QStringLiteral("Settings");

QSettings openStore()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
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
    QSettings store = openStore();
    if (store.status() != QSettings::NoError)
        return defaultValue;
    store.beginGroup(kGroup);
    if (!store.contains(key))
        return defaultValue;
    const QVariant value = store.value(key);
    // A hand-edited value with an unquoted comma comes back as a list of texts.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.canConvert<QString>() ? value.toString() : defaultValue;
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
}

void clsEnviarCorreu::loadSettings()
{
    // Loaded without the checks of assignment (no network at creation), but a remembered
    // number outside the range its property accepts gives the default: a hand-edited 0 as
    // port or time-out would otherwise make every session fail.
    const auto number = [this](const QString &key, qint32 fallback, qint32 low, qint32 high) {
        const qint32 value = numberFromText(ReadSetting(key, numberText(fallback)), fallback);
        return value < low || value > high ? fallback : value;
    };
    const auto flag = [this](const QString &key, bool fallback) {
        return flagFromText(ReadSetting(key, flagText(fallback)), fallback);
    };
    const auto host = [this](const QString &key) {
        QString value = ReadSetting(key, QString());
        value.remove(QChar(u'\0'));
        return value.trimmed();
    };
    constexpr qint32 kAny = std::numeric_limits<qint32>::max();
    constexpr qint32 kAnyLow = std::numeric_limits<qint32>::min();

    from_ = ReadSetting(settingskey::kFrom, QString()).trimmed();
    fromDisplayName_ = ReadSetting(settingskey::kFromDisplayName, QString()).trimmed();
    pop3Host_ = host(settingskey::kPop3Host);
    smtpHost_ = host(settingskey::kRemoteHost);
    userName_ = ReadSetting(settingskey::kUsername, QString());
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
