// A stop request: set by whoever must end the work in progress (the routing run's safety
// timer, SIGTERM, the "Tancar" action) and read by every wait and retry loop inside that
// work, so that no wait outlives the request by more than the step in progress.
//
// One thread: the request is set from an event handler and seen by the wait that handled
// the event, so a plain flag is enough.
#pragma once

namespace vessamo::platform {

class StopSource
{
public:
    void request() { requested_ = true; }
    bool requested() const { return requested_; }
    // A new run starts with no request pending.
    void reset() { requested_ = false; }

private:
    bool requested_ = false;
};

} // namespace vessamo::platform
