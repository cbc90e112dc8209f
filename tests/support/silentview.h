// A routing view that shows nothing, for tests that run a step of the routing engine
// without looking at what it displays.
#pragma once

#include "routing/routingview.h"

namespace vessamo::test {

class SilentView : public routing::RoutingView
{
public:
    void open() override { }
    void close() override { }
    void addStatus(const QString &) override { }
    void setLabel(const QString &) override { }
    void setProgressMaximum(qint32) override { }
    void setProgress(qint32) override { }
};

} // namespace vessamo::test
