// Environment variables for the life of a test, and waiting for conditions that no event
// announces (a file, /proc).
#pragma once

#include "platform/wait.h"

#include <QByteArray>
#include <QTimer>

namespace vessamo::test {

// Sets an environment variable (unsets it for a null value) and puts the old value back.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : name_(name)
        , had_(qEnvironmentVariableIsSet(name))
        , old_(qgetenv(name))
    {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedEnv() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
    bool had_;
    QByteArray old_;
};

// Re-tests the condition every 10 ms while the event loop keeps running. True when it
// came true in time.
inline bool eventually(const std::function<bool()> &condition, int timeoutMs)
{
    QTimer tick; // its events wake the wait
    tick.start(10);
    bool met = false; // the wait tests its condition once more at the end
    platform::waitUntil([&] { return met = met || condition(); }, QDeadlineTimer(timeoutMs));
    return met;
}

} // namespace vessamo::test
