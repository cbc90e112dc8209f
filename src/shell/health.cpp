#include "shell/health.h"

#include "platform/eventlog.h"
#include "platform/privatefile.h"
#include "platform/sdnotify.h"
#include "shell/console.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <cstdio>

namespace vessamo::shell {

namespace {

constexpr qint64 kMaxStateBytes = 1 << 20;

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime timeOf(const QJsonValue &value)
{
    return value.isString() ? QDateTime::fromString(value.toString(), Qt::ISODateWithMs)
                            : QDateTime();
}

qint64 integer(const QJsonObject &object, const char *key)
{
    return qint64(object.value(QLatin1String(key)).toDouble());
}

QJsonObject previousMailbox(const QJsonObject &previous, const QString &name)
{
    for (const QJsonValue &value : previous.value(u"mailboxes").toArray()) {
        if (value.toObject().value(u"name").toString() == name)
            return value.toObject();
    }
    return {};
}

QString minutes(qint64 seconds)
{
    return QString::number(seconds / 60) + QStringLiteral(" min");
}

// A label value: backslash, double quote and line feed escaped.
QByteArray labelValue(const QString &text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

QJsonObject updatedState(const QJsonObject &previous, const routing::RunSummary &run,
                         int intervalMinutes)
{
    QJsonObject state = previous;
    state[u"intervalMinutes"] = intervalMinutes;
    state[u"started"] = isoTime(run.started);
    state[u"ended"] = isoTime(run.ended);
    state[u"ran"] = run.ran;
    // A run left out (no network, the queue held elsewhere) tried no mailbox: the rest
    // stays as the last run that did left it.
    if (!run.ran)
        return state;
    const double duration = double(run.started.msecsTo(run.ended)) / 1000.0;
    state[u"completed"] = isoTime(run.ended);
    state[u"durationSeconds"] = duration;
    state[u"forwarded"] = run.forwarded;
    state[u"failed"] = run.failed;
    state[u"spam"] = run.spam;
    state[u"queueSize"] = run.queueSize;
    state[u"oldestAgeSeconds"] = double(run.oldestAgeSeconds);

    QJsonArray mailboxes;
    for (const routing::MailboxSummary &mailbox : run.mailboxes) {
        const QJsonObject before = previousMailbox(previous, mailbox.name);
        QJsonObject entry;
        entry[u"name"] = mailbox.name;
        entry[u"fetched"] = mailbox.fetched;
        entry[u"fetchedTotal"] = double(integer(before, "fetchedTotal") + mailbox.fetched);
        entry[u"lastError"] = mailbox.lastError;
        // The first failure of the current streak; a run that reads it cleanly ends it.
        if (!mailbox.lastError.isEmpty())
            entry[u"failingSince"] = before.value(u"failingSince").isString()
                ? before.value(u"failingSince")
                : QJsonValue(isoTime(run.ended));
        mailboxes.append(entry);
    }
    state[u"mailboxes"] = mailboxes;

    QJsonObject totals = previous.value(u"totals").toObject();
    totals[u"forwarded"] = double(integer(totals, "forwarded") + run.forwarded);
    totals[u"failed"] = double(integer(totals, "failed") + run.failed);
    totals[u"spam"] = double(integer(totals, "spam") + run.spam);
    totals[u"runs"] = double(integer(totals, "runs") + 1);
    totals[u"runSeconds"] = totals.value(u"runSeconds").toDouble() + duration;
    state[u"totals"] = totals;

    const QString today = run.ended.date().toString(Qt::ISODate);
    const qint64 failedBefore
        = previous.value(u"failedDay").toString() == today ? integer(previous, "failedToday") : 0;
    state[u"failedDay"] = today;
    state[u"failedToday"] = double(failedBefore + run.failed);
    return state;
}

QString summaryLine(const QJsonObject &state)
{
    const QDateTime ended = timeOf(state.value(u"ended")).toLocalTime();
    QString line
        = QStringLiteral("Darrera execució %1").arg(ended.toString(u"yyyy-MM-dd HH:mm:ss"));
    if (!state.value(u"ran").toBool())
        line += QStringLiteral(" (omesa)");
    qint64 fetched = 0;
    QStringList failing;
    for (const QJsonValue &value : state.value(u"mailboxes").toArray()) {
        const QJsonObject mailbox = value.toObject();
        fetched += integer(mailbox, "fetched");
        if (!mailbox.value(u"lastError").toString().isEmpty())
            failing << mailbox.value(u"name").toString();
    }
    line += QStringLiteral(": %1 rebuts, %2 reenviats, %3 no enviats, %4 spam; cua %5")
                .arg(fetched)
                .arg(integer(state, "forwarded"))
                .arg(integer(state, "failed"))
                .arg(integer(state, "spam"))
                .arg(integer(state, "queueSize"));
    if (integer(state, "queueSize") > 0)
        line += QStringLiteral(" (la més antiga de %1)")
                    .arg(minutes(integer(state, "oldestAgeSeconds")));
    if (!failing.isEmpty())
        line += QStringLiteral("; errors a ") + failing.join(QStringLiteral(", "));
    return line;
}

std::optional<CheckThresholds> parseCheckOptions(const QStringList &options, QString *error)
{
    CheckThresholds thresholds;
    for (qsizetype i = 0; i < options.size(); ++i) {
        int *target = nullptr;
        if (options[i] == u"--warn-age")
            target = &thresholds.warnAgeMinutes;
        else if (options[i] == u"--crit-intervals")
            target = &thresholds.critIntervals;
        else if (options[i] == u"--crit-failing")
            target = &thresholds.critFailingMinutes;
        if (!target) {
            *error = QStringLiteral("opció desconeguda: ") + options[i];
            return std::nullopt;
        }
        bool ok = false;
        const int value = i + 1 < options.size() ? options[i + 1].toInt(&ok) : 0;
        if (!ok || value < 1) {
            *error = options[i] + QStringLiteral(" espera un nombre positiu");
            return std::nullopt;
        }
        *target = value;
        ++i;
    }
    return thresholds;
}

CheckResult checkHealth(const QJsonObject &state, const QDateTime &now,
                        const CheckThresholds &thresholds)
{
    const qint64 interval = std::max<qint64>(integer(state, "intervalMinutes"), 1);
    const QDateTime completed = timeOf(state.value(u"completed"));
    const QDateTime ended = timeOf(state.value(u"ended"));
    const qint64 sinceRun = completed.isValid() ? completed.secsTo(now) : -1;
    const qint64 queueSize = integer(state, "queueSize");
    // The oldest pair has aged since the run measured it.
    const qint64 oldest = queueSize > 0 ? integer(state, "oldestAgeSeconds")
            + (ended.isValid() ? std::max<qint64>(ended.secsTo(now), 0) : 0)
                                        : 0;
    const bool failedToday
        = state.value(u"failedDay").toString() == now.date().toString(Qt::ISODate)
        && integer(state, "failedToday") > 0;
    const qint64 critRunSeconds = interval * 60 * thresholds.critIntervals;

    QStringList critical, warning;
    if (sinceRun < 0 || sinceRun > critRunSeconds)
        critical
            << QStringLiteral("cap execució acabada en %1 intervals").arg(thresholds.critIntervals);
    for (const QJsonValue &value : state.value(u"mailboxes").toArray()) {
        const QJsonObject mailbox = value.toObject();
        const QDateTime since = timeOf(mailbox.value(u"failingSince"));
        if (since.isValid() && since.secsTo(now) >= qint64(thresholds.critFailingMinutes) * 60)
            critical << QStringLiteral("%1 falla des de fa %2")
                            .arg(mailbox.value(u"name").toString(), minutes(since.secsTo(now)));
    }
    if (oldest > qint64(thresholds.warnAgeMinutes) * 60)
        warning << QStringLiteral("la cua té un missatge de fa %1").arg(minutes(oldest));
    if (failedToday)
        warning << QStringLiteral("%1 missatges als no enviats avui")
                       .arg(integer(state, "failedToday"));

    CheckResult result;
    QStringList reasons;
    if (!critical.isEmpty()) {
        result.code = 2;
        reasons = critical + warning;
    } else if (!warning.isEmpty()) {
        result.code = 1;
        reasons = warning;
    } else {
        result.code = 0;
        reasons << summaryLine(state);
    }
    static const char *const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    result.line = QStringLiteral("VESSAMO %1 - %2 | last_run=%3s;;%4 queue=%5 oldest_age=%6s;%7 "
                                 "failed_today=%8;0")
                      .arg(QLatin1String(names[result.code]), reasons.join(QStringLiteral("; ")))
                      .arg(std::max<qint64>(sinceRun, 0))
                      .arg(critRunSeconds)
                      .arg(queueSize)
                      .arg(oldest)
                      .arg(qint64(thresholds.warnAgeMinutes) * 60)
                      .arg(failedToday ? integer(state, "failedToday") : 0);
    return result;
}

QByteArray metricsText(const QJsonObject &state)
{
    QByteArray out;
    const auto family = [&out](const char *name, const char *type, const char *help) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    const auto sample = [&out](const QByteArray &name, double value) {
        out += name + ' ' + QByteArray::number(value, 'g', 17) + '\n';
    };
    const QJsonObject totals = state.value(u"totals").toObject();
    family("vessamo_messages_fetched_total", "counter", "Messages fetched from a mailbox.");
    for (const QJsonValue &value : state.value(u"mailboxes").toArray()) {
        const QJsonObject mailbox = value.toObject();
        sample("vessamo_messages_fetched_total{mailbox=\""
                   + labelValue(mailbox.value(u"name").toString()) + "\"}",
               mailbox.value(u"fetchedTotal").toDouble());
    }
    family("vessamo_messages_forwarded_total", "counter", "Messages a server accepted.");
    sample("vessamo_messages_forwarded_total", totals.value(u"forwarded").toDouble());
    family("vessamo_messages_failed_total", "counter", "Messages filed in the failed archive.");
    sample("vessamo_messages_failed_total", totals.value(u"failed").toDouble());
    family("vessamo_messages_spam_total", "counter", "Messages filed as spam.");
    sample("vessamo_messages_spam_total", totals.value(u"spam").toDouble());
    family("vessamo_run_duration_seconds", "summary", "Duration of the routing runs.");
    sample("vessamo_run_duration_seconds_sum", totals.value(u"runSeconds").toDouble());
    sample("vessamo_run_duration_seconds_count", totals.value(u"runs").toDouble());
    family("vessamo_last_run_duration_seconds", "gauge", "Duration of the last routing run.");
    sample("vessamo_last_run_duration_seconds", state.value(u"durationSeconds").toDouble());
    family("vessamo_last_run_timestamp_seconds", "gauge", "When the last routing run ended.");
    sample("vessamo_last_run_timestamp_seconds",
           double(timeOf(state.value(u"completed")).toSecsSinceEpoch()));
    family("vessamo_queue_size", "gauge", "Pairs in the queue after the last run.");
    sample("vessamo_queue_size", state.value(u"queueSize").toDouble());
    family("vessamo_queue_oldest_age_seconds", "gauge", "Age of the oldest queued pair.");
    sample("vessamo_queue_oldest_age_seconds", state.value(u"oldestAgeSeconds").toDouble());
    return out;
}

StateRead readState(const QString &folder)
{
    StateRead result;
    const platform::PrivateRead read
        = platform::readPrivateFile(folder, QString::fromUtf16(kStateFileName), kMaxStateBytes);
    if (!read.bytes) {
        result.error = read.error;
        return result;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*read.bytes, &parseError);
    if (!document.isObject()) {
        result.error = folder + u'/' + QString::fromUtf16(kStateFileName)
            + QStringLiteral(": no és JSON vàlid");
        return result;
    }
    result.state = document.object();
    return result;
}

QString recordRun(const routing::RunSummary &run, int intervalMinutes, const QString &stateFolder)
{
    const StateRead before = readState(stateFolder);
    const QJsonObject state
        = updatedState(before.state.value_or(QJsonObject()), run, intervalMinutes);
    const QString line = summaryLine(state);
    // One assignment per line in the notify protocol: a line break in a mailbox's name
    // must not start another.
    platform::sdNotify("STATUS=" + platform::escapeLine(line).toUtf8());
    const QString error
        = platform::writePrivateFile(stateFolder, QString::fromUtf16(kStateFileName),
                                     QJsonDocument(state).toJson(QJsonDocument::Indented));
    if (!error.isEmpty())
        platform::logError(QStringLiteral("Estat: ") + error);
    const QString metrics = qEnvironmentVariable("VESSAMO_METRICS_FILE");
    if (!metrics.isEmpty()) {
        // Written whole beside the name and renamed over it: the collector never reads
        // half a file.
        QSaveFile file(metrics);
        if (!file.open(QIODevice::WriteOnly) || file.write(metricsText(state)) < 0
            || !file.commit())
            platform::logError(QStringLiteral("Estat: no s'ha pogut escriure %1: %2")
                                   .arg(metrics, file.errorString()));
    }
    return line;
}

int printStatus(const QString &stateFolder)
{
    QString service = QStringLiteral("desconegut (no hi ha systemctl)");
    // The system's own only: a PATH another user can write to must not choose what root runs.
    const QString systemctl = QStandardPaths::findExecutable(
        QStringLiteral("systemctl"), {QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    if (!systemctl.isEmpty()) {
        QProcess process;
        process.start(systemctl, {QStringLiteral("is-active"), QStringLiteral("vessamo.service")});
        const QString answer = process.waitForFinished(10000)
            ? QString::fromUtf8(process.readAllStandardOutput()).trimmed()
            : QString();
        service = answer.isEmpty() ? QStringLiteral("desconegut") : answer;
    }
    print(stdout, QStringLiteral("Servei vessamo.service: %1\n").arg(service));
    const StateRead read = readState(stateFolder);
    if (!read.state) {
        print(stdout,
              read.error.isEmpty() ? QStringLiteral("Encara no s'ha acabat cap execució.\n")
                                   : read.error + u'\n');
        return read.error.isEmpty() ? 0 : 1;
    }
    print(stdout, summaryLine(*read.state) + u'\n');
    for (const QJsonValue &value : read.state->value(u"mailboxes").toArray()) {
        const QJsonObject mailbox = value.toObject();
        QString text = QStringLiteral("  %1: %2 rebuts")
                           .arg(mailbox.value(u"name").toString())
                           .arg(integer(mailbox, "fetched"));
        if (!mailbox.value(u"lastError").toString().isEmpty())
            text += QStringLiteral("; error: ")
                + platform::escapeLine(mailbox.value(u"lastError").toString());
        print(stdout, text + u'\n');
    }
    return 0;
}

int runCheck(const QStringList &options, const QString &stateFolder)
{
    QString error;
    const std::optional<CheckThresholds> thresholds = parseCheckOptions(options, &error);
    if (!thresholds) {
        print(stdout, QStringLiteral("VESSAMO UNKNOWN - ") + error + u'\n');
        return 3;
    }
    const StateRead read = readState(stateFolder);
    if (!read.state) {
        print(stdout,
              QStringLiteral("VESSAMO UNKNOWN - ")
                  + (read.error.isEmpty() ? QStringLiteral("encara no s'ha acabat cap execució")
                                          : platform::escapeLine(read.error))
                  + u'\n');
        return 3;
    }
    const CheckResult result = checkHealth(*read.state, QDateTime::currentDateTime(), *thresholds);
    print(stdout, result.line + u'\n');
    return result.code;
}

} // namespace vessamo::shell
