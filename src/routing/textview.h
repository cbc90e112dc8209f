// The headless view of a routing run: each status line and label text becomes one line
// of standard output, CR and LF escaped.
#pragma once

#include "routing/routingview.h"

#include <cstdio>

namespace vessamo::routing {

class TextView : public RoutingView
{
public:
    explicit TextView(std::FILE *out = stdout)
        : out_(out)
    {
    }
    void open() override { }
    void close() override { }
    void addStatus(const QString &line) override;
    void setLabel(const QString &text) override;
    void setProgressMaximum(qint32) override { }
    void setProgress(qint32) override { }

private:
    void write(const QString &line);
    std::FILE *out_;
    QString lastLabel_;
};

} // namespace vessamo::routing
