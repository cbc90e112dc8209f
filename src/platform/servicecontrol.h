// The service control: registration with systemd, the start and stop notifications, and
// the event log.
//
// Install writes vessamo.service (Type=notify, sandboxed, from the template in
// packaging/vessamo.service.in that the package ships too) into the unit folder ($VESSAMO_UNIT_DIR
// or /etc/systemd/system) and enables it through systemctl, found on PATH. Started by systemd
// ($NOTIFY_SOCKET set), StartService delivers the start notification from the event loop;
// its success sends READY=1. SIGTERM in service mode is the stop notification (STOPPING=1).
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace vessamo::platform {

class ServiceControl : public QObject
{
    Q_OBJECT
public:
    explicit ServiceControl(QObject *parent = nullptr);

    QString DisplayName;
    QString ServiceName;
    qint32 StartMode = 0;
    bool Interactive = false;
    qint32 ControlsAccepted = 0;

    // Absolute path written as ExecStart.
    void setExecutablePath(const QString &path) { executable_ = path; }
    // The folders the sandboxed service may write (its queue, archives, configuration).
    void setWritablePaths(const QStringList &paths) { writable_ = paths; }
    // The configuration file; the service is not started while it is missing.
    void setConfigurationPath(const QString &path) { configuration_ = path; }

    bool Install();
    bool Uninstall();

    // Returns at once. Under systemd the start notification follows from the event loop;
    // otherwise dispatcherFinished() follows, telling the waiting caller nothing will come.
    void StartService();
    bool Running() const { return running_; }
    // Asks systemd to stop the service; the stop notification follows as SIGTERM.
    void StopService();
    // Called on SIGTERM in service mode.
    void deliverStop();

    void LogEvent(int type, int id, const QString &text);

    QString unitFileName() const { return ServiceName.toLower() + QStringLiteral(".service"); }
    static QString unitDirectory();
    QString unitText() const;

Q_SIGNALS:
    void Start(bool *success);
    void Stop();
    void dispatcherFinished();

private:
    QString executable_;
    QStringList writable_;
    QString configuration_;
    bool running_ = false;
};

} // namespace vessamo::platform
