// A fake systemctl for tests: a script put first on PATH that records its arguments, one
// call a line, answers is-active from a state that start and stop change, and takes the
// exit code of start and stop from a file. Install and remove use $VESSAMO_UNIT_DIR,
// pointed at a temporary folder.
#pragma once

#include "support/tempenv.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace vessamo::test {

class FakeSystemctl
{
public:
    FakeSystemctl();

    QString unitDir() const { return dir_.filePath(QStringLiteral("units")); }
    // The calls so far, each the arguments joined by blanks.
    QStringList calls() const;
    // Exit code for start and stop.
    void setRequestExitCode(int code);

private:
    QTemporaryDir dir_;
    std::unique_ptr<ScopedEnv> path_;
    std::unique_ptr<ScopedEnv> unitDir_;
};

} // namespace vessamo::test
