// A stop request: set by whoever must end the work in progress (the routing run's safety
// timer, SIGTERM, the "Tancar" action) and read by every wait and retry loop inside that
// work, so that no wait outlives the request by more than the step in progress.
//
// One thread: the request is set from an event handler and seen by the wait that handled
// the event, so a plain flag is enough.
//
// A step that cannot be cut without harm (the reply to a message whose end of data has
// gone out: cut off, the message goes out again on the next run) may run on after the
// request for at most the grace the owner sets.
#pragma once

namespace vessamo::platform {

class StopSource
{
public:
    void request() { requested_ = true; }
    bool requested() const { return requested_; }
    // A new run starts with no request pending.
    void reset() { requested_ = false; }

    // How long, in milliseconds, a step that must not be cut may go on after a request.
    void setGraceMs(int ms) { graceMs_ = ms > 0 ? ms : 0; }
    int graceMs() const { return graceMs_; }

private:
    bool requested_ = false;
    int graceMs_ = 0;
};

} // namespace vessamo::platform
