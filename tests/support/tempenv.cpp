#include "support/tempenv.h"

#include <QtGlobal>

namespace vessamo::test {

ScopedEnv::ScopedEnv(const char *name, const QByteArray &value)
    : name_(name)
    , had_(qEnvironmentVariableIsSet(name))
    , old_(qgetenv(name))
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}

ScopedEnv::~ScopedEnv()
{
    if (had_)
        qputenv(name_, old_);
    else
        qunsetenv(name_);
}

} // namespace vessamo::test

#include "platform/wait.h"

namespace vessamo::test {

bool eventually(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (deadline.hasExpired())
            return false;
        platform::waitUntil([] { return false; }, QDeadlineTimer(10));
    }
}

} // namespace vessamo::test
