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
