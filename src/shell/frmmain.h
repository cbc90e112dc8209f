// The hidden main window: the start routine `Arrencar`, the routing timer `timerEnviar`
// with its minute counter, and the icon menu's actions. It holds the configuration the
// program runs on (`Configuracio` and `Busties`, the one loaded instance): each run is given
// it, and the configuration dialog edits it. A routing run, the configuration dialog and
// the about box are reached through hooks, so the timing logic runs and is tested without
// a display.
//
// Life cycle: Arrencar loads the configuration, arms the timer and adds the icon; every
// `Interval` ticks (or at once on read-now) the icon goes, the timer stops, the run is shown
// modally, and then the count restarts and the icon comes back. Runs never overlap.
#pragma once

#include "config/configuracio.h"
#include "platform/servicecontrol.h"
#include "shell/trayview.h"

#include <QObject>
#include <QTimer>
#include <functional>

namespace vessamo::shell {

struct MainHooks
{
    // Shows the routing run modally, on the configuration given.
    std::function<void(const config::Configuration &)> runRouting;
    // Shows the configuration dialog modally; it leaves the configuration as the dialog
    // left it (saved, and its mailbox table as changed).
    std::function<void(config::Configuration &)> showConfiguration;
    std::function<void()> showAbout; // shows the about box modally
    std::function<void()> quit; // ends the program
};

class frmMain : public QObject
{
    Q_OBJECT
public:
    // `configuration` is what the window works with until Arrencar loads the file.
    frmMain(platform::ServiceControl &service, TrayView &tray, MainHooks hooks,
            config::Configuration configuration = {}, QObject *parent = nullptr);

    // Reads the configuration, refuses to start without a mailbox or an SMTP server,
    // arms the timer and adds the icon. Sets start done on every path.
    bool Arrencar();
    bool startDone() const { return startDone_; }

    // One tick of `timerEnviar`.
    void timerEnviar_Timer();
    // "Llegir ara les busties" and a double-click on the icon.
    void mnuEnrutarAra_Click();
    // "Configuració".
    void mnuConfiguracio_Click();
    // "Sobre...".
    void mnuSobre_Click();
    // "Tancar".
    void mnuTancar_Click();

    // The service control's notifications.
    void onStart(bool *success);
    void onStop();

    // "Vessamo", a line break, "Interval enrutament: " + Interval + " minuts".
    static QString tipText(int interval);
    // Puts the last run's summary line under the tooltip's text.
    void showRunSummary(const QString &line);

    int minuteCounter() const { return minuteCounter_; }
    bool routing() const { return routing_; }
    bool stopping() const { return stopping_; }
    QTimer &timerEnviar() { return timer_; }

    // Length of one tick: $VESSAMO_MINUTE_MS, default one minute.
    static int minuteMs();

    const config::Configuration &configuration() const { return configuration_; }

private:
    platform::ServiceControl &service_;
    TrayView &tray_;
    MainHooks hooks_;
    // `Configuracio` and `Busties`: filled by Arrencar, changed only by the dialog.
    config::Configuration configuration_;
    QTimer timer_;
    QString tip_;
    QString runSummary_;
    // Wider than the 16 bits of old so that read-now with the largest Interval cannot
    // overflow.
    int minuteCounter_ = 0;
    bool startDone_ = false;
    bool routing_ = false;
    bool configuring_ = false;
    bool stopping_ = false;
};

} // namespace vessamo::shell
