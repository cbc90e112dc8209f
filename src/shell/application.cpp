#include "shell/application.h"

#include "config/configuracio.h"
#include "config/filetrust.h"
#include "config/layout.h"
#include "config/tokenfolder.h"
#include "platform/routerpid.h"
#include "platform/servicecontrol.h"
#include "platform/tls.h"
#include "platform/unixsignals.h"
#include "platform/wait.h"
#include "routing/frmenviarcorreu.h"
#include "routing/queue.h"
#include "routing/textview.h"
#include "shell/administracio.h"
#include "shell/commandline.h"
#include "shell/configcommand.h"
#include "shell/console.h"
#include "shell/frmabout.h"
#include "shell/frmconfiguracio.h"
#include "shell/frmmain.h"
#include "shell/health.h"
#include "shell/logo.h"
#include "shell/presenter.h"
#include "shell/qttray.h"
#include "shell/queuecommands.h"
#include "shell/routingwindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace vessamo::shell {

namespace {

constexpr int kServiceStartWaitMs = 120000;

void printError(const QString &text)
{
    print(stderr, text + u'\n');
}

std::unique_ptr<TrayView> makeTray(bool gui)
{
    if (!gui)
        return std::make_unique<NullTray>();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        printError(QStringLiteral(
            "Vessamo: no hi ha safata del sistema; el programa funciona sense icona."));
        return std::make_unique<NullTray>();
    }
    return std::make_unique<QtTray>();
}

// Runs the router until it is closed or stopped.
int runRouter(Switch sw, bool gui, platform::ServiceControl &service, Presenter &presenter)
{
    std::unique_ptr<TrayView> tray = makeTray(gui);
    MainHooks hooks;
    // The run in progress, so that a stop request can end it early.
    QPointer<routing::frmEnviarCorreu> currentRun;
    // Set once the main window exists, before any run.
    frmMain *mainWindow = nullptr;
    hooks.runRouting = [gui, &currentRun, &mainWindow](const config::Configuration &configuration) {
        std::unique_ptr<routing::RoutingView> view;
        if (gui)
            view = std::make_unique<RoutingWindow>();
        else
            view = std::make_unique<routing::TextView>();
        routing::frmEnviarCorreu form(*view, configuration);
        // Tests scale the safety timer down so that time-outs come in seconds.
        bool tickSet = false;
        const int tickMs = qEnvironmentVariableIntValue("VESSAMO_SAFETY_TICK_MS", &tickSet);
        if (tickSet && tickMs > 0)
            form.setSafetyTickMs(tickMs);
        currentRun = &form;
        form.run();
        const QString line = recordRun(
            form.summary(), configuration.Configuracio.Interval,
            config::stateFolder(config::programLayout(), config::configurationFilePath()));
        if (mainWindow)
            mainWindow->showRunSummary(line);
    };
    hooks.showConfiguration = [gui](config::Configuration &configuration) {
        if (!gui)
            return;
        DialogPrompts prompts;
        editConfiguration(prompts, configuration, config::configurationFilePath(),
                          config::programLayout().folderBase);
    };
    hooks.showAbout = [gui] {
        if (!gui)
            return;
        frmAbout about;
        about.exec();
    };
    hooks.quit = [] { QCoreApplication::exit(0); };

    frmMain main(service, *tray, std::move(hooks));
    mainWindow = &main;
    if (auto *qtTray = dynamic_cast<QtTray *>(tray.get())) {
        QObject::connect(qtTray, &QtTray::configurationRequested, &main,
                         &frmMain::mnuConfiguracio_Click);
        QObject::connect(qtTray, &QtTray::readNowRequested, &main, &frmMain::mnuEnrutarAra_Click);
        QObject::connect(qtTray, &QtTray::aboutRequested, &main, &frmMain::mnuSobre_Click);
        QObject::connect(qtTray, &QtTray::closeRequested, &main, &frmMain::mnuTancar_Click);
    }

    platform::UnixSignals signalWatcher;
    QObject::connect(&signalWatcher, &platform::UnixSignals::readNowRequested, &main,
                     &frmMain::mnuEnrutarAra_Click);
    QObject::connect(&signalWatcher, &platform::UnixSignals::terminateRequested, &main,
                     [&service, &main, &currentRun] {
                         // A run in progress stops at its next check of the abort flag;
                         // whatever it had not yet stored safely is fetched again later.
                         if (currentRun)
                             currentRun->context().abort.request();
                         if (service.Running()) {
                             service.deliverStop();
                             QCoreApplication::exit(0);
                         } else {
                             main.mnuTancar_Click();
                         }
                     });
    QObject::connect(&service, &platform::ServiceControl::Stop, &main, &frmMain::onStop);
    // Held while the router lives, so that "vessamo --flush" finds it; claimed only once
    // SIGUSR1 is handled, which it sends. Another router on the same configuration keeps
    // it; this one then cannot be woken that way.
    const platform::UniqueFd pidFile = platform::claimRouterPidFile(
        config::stateFolder(config::programLayout(), config::configurationFilePath()) + u'/'
        + QString::fromUtf16(platform::kRouterPidFileName));

    if (sw == Switch::Standalone) {
        if (!main.Arrencar())
            return 1;
        return QCoreApplication::exec();
    }

    QObject::connect(&service, &platform::ServiceControl::Start, &main, &frmMain::onStart);
    bool dispatched = false;
    QObject::connect(&service, &platform::ServiceControl::dispatcherFinished, &main,
                     [&dispatched] { dispatched = true; });
    service.StartService();
    platform::waitUntil([&] { return main.startDone() || dispatched; },
                        QDeadlineTimer(kServiceStartWaitMs));
    if (!service.Running()) {
        if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
            printError(QStringLiteral(
                "Vessamo: no l'ha arrencat el gestor de serveis (systemd). Per executar-lo "
                "sense servei, feu servir /E."));
        return 1;
    }
    Q_UNUSED(presenter);
    return QCoreApplication::exec();
}

} // namespace

bool displayAvailable()
{
    const QByteArray platformName = qgetenv("QT_QPA_PLATFORM");
    if (platformName.startsWith("offscreen") || platformName.startsWith("minimal"))
        return false;
    return !platformName.isEmpty() || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int run(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine line = parseCommandLine(arguments);
    // Answered before anything else exists: no application object, no configuration, no log.
    switch (line.request) {
    case Request::Help:
        print(stdout, helpText());
        return 0;
    case Request::Version:
        print(stdout, versionText());
        return 0;
    case Request::UsageError:
        print(stderr, usageText(line.unknown));
        return 2;
    case Request::Run:
    case Request::ListPairs:
    case Request::Status:
    case Request::Check:
    case Request::Requeue:
    case Request::Delete:
    case Request::Flush:
        break;
    }
    const Switch sw = line.sw;
    // Nothing is drawn in service mode, nor where no display can be opened.
    const bool gui = sw != Switch::Service && displayAvailable();

    std::unique_ptr<QCoreApplication> app;
    if (gui) {
        app = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setWindowIcon(logoIcon());
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("Vessamo"));

    std::unique_ptr<Presenter> presenter;
    if (gui)
        presenter = std::make_unique<WindowPresenter>();
    else
        presenter = std::make_unique<ConsolePresenter>();

    // A desktop user's own files of the installed program: their folders exist before the
    // first save (which says so when they could not be made).
    const config::Layout layout = config::programLayout();
    config::prepareUserFolders(layout);
    platform::ServiceControl service;
    describeService(service, QCoreApplication::applicationFilePath(), layout);
    // Certificates the administrator trusts for TLS, beside the configuration by default.
    const QString configurationFile = config::configurationFilePath(layout);
    platform::setExtraCaFile(platform::extraCaFilePath(configurationFile));
    // Root saving the installed program's configuration (with /C, or the tray's dialog)
    // saves it for the service: the file stays root's, which the service may read, and new
    // folders become the service's.
    if (layout.installed && !layout.perUser && ::geteuid() == 0)
        config::setServiceAccount(QStringLiteral("vessamo"));

    if (line.request == Request::ListPairs)
        return listQueue(line, configurationFile);
    if (line.request == Request::Requeue || line.request == Request::Delete)
        return runQueueAction(line, configurationFile);
    if (line.request == Request::Flush)
        return flushRouter(configurationFile, config::stateFolder(layout, configurationFile));
    if (line.request == Request::Status || line.request == Request::Check) {
        const QString folder = config::stateFolder(layout, configurationFile);
        return line.request == Request::Status ? printStatus(folder)
                                               : runCheck(line.options.sliced(1), folder);
    }

    switch (sw) {
    case Switch::Install:
        return installService(service, *presenter);
    case Switch::Remove:
        return removeService(service, *presenter);
    case Switch::Toggle:
        return toggleService(service, *presenter);
    case Switch::Configure: {
        const bool forService = layout.installed && !layout.perUser;
        // The default folders: under /var/spool/vessamo installed, else beside the program.
        const ConfigurationPlace place {configurationFile, layout.folderBase, forService};
        if (!gui || wantsConfigurationText(line.options))
            return configureAsText(line.options, place);
        // Without a file this is a fresh installation: the dialog shows its defaults. A file
        // that is there but unreadable is said so first, since saving replaces it.
        const config::ConfigurationLoad load = config::loadConfiguration(place.path);
        // The dialog's defaults would replace the configuration beside a login file that
        // cannot be read: refused, as /C refuses it.
        if (load.failed() && load.file != place.path) {
            presenter->messageBox(load.error + QStringLiteral("; no s'ha canviat res"),
                                  BoxIcon::Stop);
            return 1;
        }
        DialogPrompts prompts;
        frmConfiguracio dialog(prompts, load.configuration, place.path, place.programFolder);
        if (load.failed())
            dialog.warnUnreadable(load.error);
        dialog.exec();
        return 0;
    }
    case Switch::Standalone:
    case Switch::Service:
        return runRouter(sw, gui, service, *presenter);
    }
    return 1;
}

} // namespace vessamo::shell
