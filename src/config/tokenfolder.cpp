#include "config/tokenfolder.h"

#include "config/configuracio.h"

#include <QFileInfo>

namespace vessamo::config {

QString tokenFolder(const Layout &layout, const QString &configurationFile)
{
    if (layout.installed && !layout.perUser)
        return QString::fromUtf16(kSystemTokenFolder);
    return QFileInfo(configurationFile).absolutePath() + QStringLiteral("/tokens");
}

QString tokenFolder(const Layout &layout)
{
    return tokenFolder(layout, configurationFilePath(layout));
}

QString stateFolder(const Layout &layout, const QString &configurationFile)
{
    if (layout.installed && !layout.perUser)
        return QString::fromUtf16(kSystemStateFolder);
    return QFileInfo(configurationFile).absolutePath();
}

} // namespace vessamo::config
