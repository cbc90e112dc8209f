// The routing run's window "Enrutant Correu": the status list `lstStatus`, the label
// `lblRebent` and the progress bar `pbProgres`. Shown application-modal while a run lasts.
#pragma once

#include "routing/routingview.h"

#include <QDialog>

class QLabel;
class QListWidget;
class QProgressBar;

namespace vessamo::shell {

class RoutingWindow : public QDialog, public routing::RoutingView
{
    Q_OBJECT
public:
    explicit RoutingWindow(QWidget *parent = nullptr);

    void open() override;
    void close() override;
    void addStatus(const QString &line) override;
    void setLabel(const QString &text) override;
    void setProgressMaximum(qint32 maximum) override;
    void setProgress(qint32 value) override;

    QListWidget *lstStatus;
    QLabel *lblRebent;
    QProgressBar *pbProgres;
};

} // namespace vessamo::shell
