// One routing run, shown through a RoutingView. The run opens its view, does its work and
// closes the view; the caller gets control back when the run is over.
#pragma once

#include "routing/routingview.h"

namespace vessamo::routing {

class frmEnviarCorreu
{
public:
    explicit frmEnviarCorreu(RoutingView &view)
        : view_(view)
    {
    }
    // Carries out one whole run.
    void run();

private:
    RoutingView &view_;
};

} // namespace vessamo::routing
