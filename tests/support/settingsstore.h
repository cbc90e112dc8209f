// A private per-user settings store for the life of a test, so that no test reads or
// writes the real one. QSettings keeps the first path it computes, hence the explicit
// setPath besides $XDG_CONFIG_HOME; the old path comes back afterwards.
#pragma once

#include "support/tempenv.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

namespace vessamo::test {

class ScopedSettingsStore
{
public:
    ScopedSettingsStore()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home_.path());
    }
    ~ScopedSettingsStore()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                           QDir::homePath() + QStringLiteral("/.config"));
    }
    QString path() const { return home_.path(); }

private:
    QTemporaryDir home_;
    ScopedEnv env_ {"XDG_CONFIG_HOME", home_.path().toLocal8Bit()};
};

} // namespace vessamo::test
