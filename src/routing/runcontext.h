// The state one routing run shares with the steps it calls: the configuration it runs on,
// the stop request (the abort flag: safety timer, SIGTERM, "Tancar"), the safety timer's
// idle ticks, the counter of queued pairs, and the view with its status list.
#pragma once

#include "config/configuracio.h"
#include "platform/stopsource.h"
#include "routing/routingview.h"

#include <QString>

namespace vessamo::routing {

struct RunContext
{
    RunContext(RoutingView &v, const config::Configuration &c)
        : view(v)
        , configuration(c)
    {
    }
    // The run borrows the configuration: a temporary would be gone before the run ends.
    RunContext(RoutingView &, config::Configuration &&) = delete;

    // Adds one line to the status list; one final CR LF is dropped, nothing else.
    void AfegirEstat(QString text)
    {
        if (text.endsWith(QStringLiteral("\r\n")))
            text.chop(2);
        view.addStatus(text);
    }
    // A sign of progress for the safety timer.
    void progressed() { idleTicks = 0; }

    RoutingView &view;
    // As the shell loaded it; it does not change while the run lasts.
    const config::Configuration &configuration;
    // Every wait of the run ends on it.
    platform::StopSource abort;
    int idleTicks = 0;
    // Queued pairs created in this run.
    int runCounter = 0;
};

} // namespace vessamo::routing
