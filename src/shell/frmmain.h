// The hidden main window: the start routine `Arrencar`, the routing timer `timerEnviar`
// with its minute counter, and the icon menu's actions. A routing run, the configuration
// dialog and the about box are reached through hooks, so the timing logic runs and is
// tested without a display.
//
// Life cycle: Arrencar arms the timer and adds the icon; every `Interval` ticks (or at
// once on read-now) the icon goes, the timer stops, the run is shown modally, and then the
// count restarts and the icon comes back. Runs never overlap.
#pragma once

#include "platform/servicecontrol.h"
#include "shell/trayview.h"

#include <QObject>
#include <QTimer>
#include <functional>

namespace vessamo::shell {

struct MainHooks
{
    std::function<void()> runRouting; // shows the routing run modally
    std::function<void()> showConfiguration; // shows the configuration dialog modally
    std::function<void()> showAbout; // shows the about box modally
    std::function<void()> quit; // ends the program
};

class frmMain : public QObject
{
    Q_OBJECT
public:
    frmMain(platform::ServiceControl &service, TrayView &tray, MainHooks hooks,
            QObject *parent = nullptr);

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

    int minuteCounter() const { return minuteCounter_; }
    bool routing() const { return routing_; }
    bool stopping() const { return stopping_; }
    QTimer &timerEnviar() { return timer_; }

    // Length of one tick: $VESSAMO_MINUTE_MS, default one minute.
    static int minuteMs();

private:
    platform::ServiceControl &service_;
    TrayView &tray_;
    MainHooks hooks_;
    QTimer timer_;
    QString tip_;
    // Wider than the 16 bits of old so that read-now with the largest Interval cannot
    // overflow.
    int minuteCounter_ = 0;
    bool startDone_ = false;
    bool routing_ = false;
    bool configuring_ = false;
    bool stopping_ = false;
};

} // namespace vessamo::shell
