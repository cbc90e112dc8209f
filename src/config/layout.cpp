#include "config/layout.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace vessamo::config {

namespace {

QString besideExecutable(const QString &executable)
{
    const QFileInfo exe(executable);
    return exe.absolutePath() + u'/' + exe.completeBaseName() + QStringLiteral(".vsm");
}

} // namespace

Layout layoutFor(const QString &executable, const QString &installedExecutable, bool besideExists)
{
    Layout layout;
    layout.installed
        = !installedExecutable.isEmpty() && executable == installedExecutable && !besideExists;
    if (layout.installed) {
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
    return layoutFor(executable, canonical, QFileInfo::exists(besideExecutable(executable)));
}

} // namespace vessamo::config
