// What a routing run shows: its status list, the label of the mailbox being read and a
// progress bar. A window when there is a display, standard output otherwise.
#pragma once

#include <QString>

namespace vessamo::routing {

class RoutingView
{
public:
    virtual ~RoutingView() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    // One line of `lstStatus`.
    virtual void addStatus(const QString &line) = 0;
    // `lblRebent`.
    virtual void setLabel(const QString &text) = 0;
    // `pbProgres`, 0 to 100.
    virtual void setProgress(int percent) = 0;
};

} // namespace vessamo::routing
