#include "shell/administracio.h"

#include "platform/process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace vessamo::shell {

void describeService(platform::ServiceControl &service, const QString &executable,
                     const config::Layout &layout)
{
    service.DisplayName = QStringLiteral("Postiera Vessamo a SMTP.");
    service.ServiceName = QStringLiteral("Vessamo");
    service.StartMode = 2;
    service.Interactive = true;
    service.ControlsAccepted = 1;
    service.setExecutablePath(executable);
    service.setConfigurationPath(layout.configurationFile);
    // The configuration stays read-only to the service, installed or not: whoever can
    // write it chooses what root runs.
    service.setWritablePaths({layout.folderBase});
}

int installService(platform::ServiceControl &service, Presenter &presenter)
{
    if (service.Install()) {
        presenter.messageBox(service.DisplayName + QStringLiteral(" instal·lat correctament."),
                             BoxIcon::None);
        return 0;
    }
    presenter.messageBox(service.DisplayName + QStringLiteral(" no instal·lat correctament."),
                         BoxIcon::None);
    return 1;
}

int removeService(platform::ServiceControl &service, Presenter &presenter)
{
    if (service.Uninstall()) {
        presenter.messageBox(service.DisplayName + QStringLiteral(" desinstal·lat correctament."),
                             BoxIcon::None);
        return 0;
    }
    presenter.messageBox(service.DisplayName + QStringLiteral(" no desinstal·lat correctament."),
                         BoxIcon::None);
    return 1;
}

int toggleService(platform::ServiceControl &service, Presenter &presenter)
{
    // Without systemctl there is nothing to talk to: the counterpart of a failed
    // connection to the management interface, reported as number and description.
    const QString systemctl = platform::findOnPath(QStringLiteral("systemctl"));
    if (systemctl.isEmpty()) {
        presenter.messageBox(QStringLiteral("2 No s'ha trobat el programa systemctl"),
                             BoxIcon::None);
        return 1;
    }
    const QString unit = service.unitFileName();
    const platform::ProcessResult query
        = platform::runProgram(systemctl, {QStringLiteral("is-active"), unit});
    const QString activeState = QString::fromLocal8Bit(query.output).trimmed();
    const bool started
        = activeState == u"active" || activeState == u"activating" || activeState == u"reloading";
    const bool installed
        = started || QFile::exists(QDir(platform::ServiceControl::unitDirectory()).filePath(unit));
    if (!installed) {
        presenter.messageBox(QStringLiteral("El servei no està instal·lat"), BoxIcon::Stop);
        return 1;
    }

    const platform::ProcessResult request = platform::runProgram(
        systemctl, {started ? QStringLiteral("stop") : QStringLiteral("start"), unit});
    const int result = request.started ? request.exitCode : -1;
    if (result != 0) {
        presenter.messageBox(QStringLiteral("Codi d'error al intentar ")
                                 + (started ? QStringLiteral("aturar") : QStringLiteral("arrencar"))
                                 + QStringLiteral(" el servei: ") + QString::number(result),
                             BoxIcon::Stop);
        return 1;
    }
    presenter.messageBox(QStringLiteral("Intent d'")
                             + (started ? QStringLiteral("aturada") : QStringLiteral("arrencada"))
                             + QStringLiteral(" correcte."),
                         BoxIcon::Information);
    return 0;
}

} // namespace vessamo::shell
