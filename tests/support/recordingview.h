// A routing view that records what a run shows, in order.
#pragma once

#include "routing/routingview.h"

#include <QList>
#include <QStringList>

namespace vessamo::test {

class RecordingView : public routing::RoutingView
{
public:
    void open() override { ++opened; }
    void close() override { ++closed; }
    void addStatus(const QString &line) override { statuses << line; }
    void setLabel(const QString &text) override { labels << text; }
    void setProgressMaximum(qint32 maximum) override { maxima << maximum; }
    void setProgress(qint32 value) override { values << value; }

    int opened = 0;
    int closed = 0;
    QStringList statuses;
    QStringList labels;
    QList<qint32> maxima;
    QList<qint32> values;
};

} // namespace vessamo::test
