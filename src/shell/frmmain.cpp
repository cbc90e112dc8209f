#include "shell/frmmain.h"

#include "config/configuracio.h"
#include "config/filetrust.h"
#include "config/loginfile.h"
#include "platform/eventlog.h"

namespace vessamo::shell {

frmMain::frmMain(platform::ServiceControl &service, TrayView &tray, MainHooks hooks,
                 config::Configuration configuration, QObject *parent)
    : QObject(parent)
    , service_(service)
    , tray_(tray)
    , hooks_(std::move(hooks))
    , configuration_(std::move(configuration))
{
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &frmMain::timerEnviar_Timer);
}

int frmMain::minuteMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("VESSAMO_MINUTE_MS", &ok);
    return ok && ms > 0 ? ms : 60000;
}

QString frmMain::tipText(int interval)
{
    return QStringLiteral("Vessamo\nInterval enrutament: ") + QString::number(interval)
        + QStringLiteral(" minuts");
}

void frmMain::showRunSummary(const QString &line)
{
    runSummary_ = line;
    tip_ = tipText(configuration_.Configuracio.Interval) + u'\n' + runSummary_;
}

bool frmMain::Arrencar()
{
    const QString path = config::configurationFilePath();
    config::ConfigurationLoad load = config::LlegirConfiguracio(path);
    configuration_ = std::move(load.configuration);
    if (!load.loaded()) {
        startDone_ = true;
        return false;
    }
    // Whoever can change the configuration chooses the program this process runs, and the
    // login file the token command it runs.
    for (const QString &file : {path, config::loginFilePath(path)}) {
        if (const std::optional<QString> why = config::writableByOthers(file, false)) {
            platform::logError(QStringLiteral("Arrencant: altres usuaris poden canviar la "
                                              "configuració (%1); només hi poden escriure root i "
                                              "l'usuari que l'executa")
                                   .arg(*why));
            startDone_ = true;
            return false;
        }
    }
    // A negative count loads as "no mailbox" too: starting would route nothing.
    const config::ConfiguracioRecord &record = configuration_.Configuracio;
    if (record.NumBusties < 1) {
        platform::logError(QStringLiteral("Arrencant: No hi ha cap bústia definida"));
        startDone_ = true;
        return false;
    }
    if (record.ServidorSMTP.trimmed().isEmpty()) {
        platform::logError(QStringLiteral("Arrencant: No s'ha definit el servidor SMTP"));
        startDone_ = true;
        return false;
    }
    minuteCounter_ = 0;
    timer_.setInterval(minuteMs());
    timer_.start();
    tip_ = tipText(record.Interval);
    tray_.add(tip_);
    startDone_ = true;
    return true;
}

void frmMain::timerEnviar_Timer()
{
    if (routing_ || configuring_ || stopping_)
        return;
    ++minuteCounter_;
    if (minuteCounter_ < configuration_.Configuracio.Interval)
        return;
    routing_ = true;
    tray_.remove();
    timer_.stop();
    if (hooks_.runRouting)
        hooks_.runRouting(configuration_);
    routing_ = false;
    minuteCounter_ = 0;
    // A close that arrived during the run ends the program instead.
    if (stopping_)
        return;
    timer_.start();
    tray_.add(tip_);
}

void frmMain::mnuEnrutarAra_Click()
{
    // Runs never overlap and none is queued.
    if (routing_ || configuring_ || stopping_)
        return;
    minuteCounter_ = configuration_.Configuracio.Interval;
    timerEnviar_Timer();
}

void frmMain::mnuConfiguracio_Click()
{
    if (routing_ || configuring_ || stopping_)
        return;
    const bool wasOn = timer_.isActive();
    timer_.stop();
    tray_.remove();
    configuring_ = true;
    if (hooks_.showConfiguration)
        hooks_.showConfiguration(configuration_);
    configuring_ = false;
    if (stopping_)
        return;
    tip_ = tipText(configuration_.Configuracio.Interval);
    if (!runSummary_.isEmpty())
        tip_ += u'\n' + runSummary_;
    tray_.add(tip_);
    if (wasOn)
        timer_.start();
}

void frmMain::mnuSobre_Click()
{
    if (hooks_.showAbout)
        hooks_.showAbout();
}

void frmMain::mnuTancar_Click()
{
    if (stopping_)
        return;
    tray_.remove();
    if (service_.Running()) {
        service_.StopService();
        return;
    }
    stopping_ = true;
    timer_.stop();
    if (hooks_.quit)
        hooks_.quit();
}

void frmMain::onStart(bool *success)
{
    *success = Arrencar();
}

void frmMain::onStop()
{
    stopping_ = true;
    timer_.stop();
    tray_.remove();
}

} // namespace vessamo::shell
