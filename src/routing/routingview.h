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
    // `pbProgres`: octets received against the mailbox size during retrieval, a
    // percentage (maximum untouched) during forwarding.
    virtual void setProgressMaximum(qint32 maximum) = 0;
    virtual void setProgress(qint32 value) = 0;
};

} // namespace vessamo::routing
