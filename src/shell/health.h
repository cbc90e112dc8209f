// Health at a glance: after every run the router keeps a small state file (status.json,
// owner-only, written atomically) with the run's summary and the counters that outlive
// runs, tells systemd a one-line summary (STATUS=), and writes a metrics file in the
// Prometheus text format when $VESSAMO_METRICS_FILE names one. `vessamo --status` prints
// the state, `vessamo --check` judges it as a monitoring plugin does.
#pragma once

#include "routing/runsummary.h"

#include <QDateTime>
#include <QJsonObject>
#include <QStringList>
#include <optional>

namespace vessamo::shell {

inline constexpr char16_t kStateFileName[] = u"status.json";

// The state after `run`, from the state before it (empty the first time).
QJsonObject updatedState(const QJsonObject &previous, const routing::RunSummary &run,
                         int intervalMinutes);
// One line: when the last run ended, what it did, the queue, the failing mailboxes.
QString summaryLine(const QJsonObject &state);

struct CheckThresholds
{
    int warnAgeMinutes = 60; // the queue's oldest pair
    int critIntervals = 3; // intervals without a finished run
    int critFailingMinutes = 60; // a mailbox failing in every run
};
// Nothing and `error` set when an option is not understood.
std::optional<CheckThresholds> parseCheckOptions(const QStringList &options, QString *error);

struct CheckResult
{
    int code = 3; // 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
    QString line; // with the performance data after "|"
};
CheckResult checkHealth(const QJsonObject &state, const QDateTime &now,
                        const CheckThresholds &thresholds);

// The Prometheus text format (node exporter's textfile collector).
QByteArray metricsText(const QJsonObject &state);

struct StateRead
{
    std::optional<QJsonObject> state; // nothing: missing or unreadable
    QString error; // why it could not be read; empty when only missing
};
StateRead readState(const QString &folder);

// After each run: keeps the state, tells systemd, writes the metrics file when one is
// named. Returns the summary line (for the tray icon's tooltip).
QString recordRun(const routing::RunSummary &run, int intervalMinutes, const QString &stateFolder);

// `vessamo --status` and `vessamo --check`: the exit status.
int printStatus(const QString &stateFolder);
int runCheck(const QStringList &options, const QString &stateFolder);

} // namespace vessamo::shell
