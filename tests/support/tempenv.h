// Sets an environment variable for the life of a test and puts the old value back.
#pragma once

#include <QByteArray>

namespace vessamo::test {

class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
    bool had_;
    QByteArray old_;
};

} // namespace vessamo::test

#include <functional>

namespace vessamo::test {

// For conditions that no event announces (a file, /proc): re-tests every 10 ms while the
// event loop keeps running. True when the condition came true in time.
bool eventually(const std::function<bool()> &condition, int timeoutMs);

} // namespace vessamo::test
