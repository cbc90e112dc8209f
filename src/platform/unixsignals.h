// SIGTERM and SIGUSR1 turned into Qt signals on the main thread (self-pipe: the handler
// only writes one byte; the event loop reads it). One instance per process.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace vessamo::platform {

class UnixSignals : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignals(QObject *parent = nullptr);
    ~UnixSignals() override;

Q_SIGNALS:
    void terminateRequested();
    void readNowRequested();

private:
    void onReadable();
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace vessamo::platform
