#include "config/layout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

namespace vessamo::config {

namespace {

// Root and the service user keep the installed program's system-wide files.
bool systemUser()
{
    const uid_t uid = ::geteuid();
    if (uid == 0)
        return true;
    const passwd *user = ::getpwuid(uid);
    return user && std::strcmp(user->pw_name, "vessamo") == 0;
}

QString besideExecutable(const QString &executable)
{
    const QFileInfo exe(executable);
    return exe.absolutePath() + u'/' + exe.completeBaseName() + QStringLiteral(".vsm");
}

} // namespace

Layout layoutFor(const QString &executable, const QString &installedExecutable, bool besideExists,
                 const QString &userConfig, const QString &userData)
{
    Layout layout;
    layout.installed
        = !installedExecutable.isEmpty() && executable == installedExecutable && !besideExists;
    layout.perUser = layout.installed && !userConfig.isEmpty() && !userData.isEmpty();
    if (layout.perUser) {
        layout.configurationFile = userConfig + QStringLiteral("/vessamo.vsm");
        layout.folderBase = userData;
    } else if (layout.installed) {
        layout.configurationFile = QString::fromUtf16(kSystemConfigurationFile);
        layout.folderBase = QString::fromUtf16(kSpoolFolder);
    } else {
        layout.configurationFile = besideExecutable(executable);
        layout.folderBase = QFileInfo(executable).absolutePath();
    }
    return layout;
}

Layout programLayout()
{
    return programLayout(QCoreApplication::applicationFilePath());
}

Layout programLayout(const QString &executable)
{
    // The compiled-in path may pass through a symbolic link (/bin on a merged /usr).
    const QFileInfo installed(QStringLiteral(VESSAMO_INSTALLED_EXECUTABLE));
    const QString canonical
        = installed.exists() ? installed.canonicalFilePath() : installed.absoluteFilePath();
    QString userConfig, userData;
    if (!systemUser()) {
        userConfig = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/vessamo");
        userData = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/vessamo");
    }
    return layoutFor(executable, canonical, QFileInfo::exists(besideExecutable(executable)),
                     userConfig, userData);
}

bool prepareUserFolders(const Layout &layout)
{
    if (!layout.perUser)
        return true;
    const QFileDevice::Permissions ownerOnly
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    for (const QString &folder :
         {QFileInfo(layout.configurationFile).absolutePath(), layout.folderBase}) {
        if (QFileInfo::exists(folder))
            continue;
        if (!QDir().mkpath(folder) || !QFile::setPermissions(folder, ownerOnly))
            return false;
    }
    return true;
}

} // namespace vessamo::config
