#include "shell/routingwindow.h"

#include "shell/logo.h"

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QVBoxLayout>

namespace vessamo::shell {

RoutingWindow::RoutingWindow(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Enrutant Correu"));
    setWindowIcon(logoIcon());
    setWindowModality(Qt::ApplicationModal);
    // Owned by the dialog through Qt's parent tree.
    lstStatus = new QListWidget(this);
    lstStatus->setObjectName(QStringLiteral("lstStatus"));
    lblRebent = new QLabel(this);
    lblRebent->setObjectName(QStringLiteral("lblRebent"));
    pbProgres = new QProgressBar(this);
    pbProgres->setObjectName(QStringLiteral("pbProgres"));
    pbProgres->setRange(0, 100);
    pbProgres->setValue(0);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lstStatus);
    layout->addWidget(lblRebent);
    layout->addWidget(pbProgres);
    resize(480, 320);
}

void RoutingWindow::open()
{
    show();
}

void RoutingWindow::close()
{
    hide();
}

void RoutingWindow::addStatus(const QString &line)
{
    lstStatus->addItem(line);
    lstStatus->scrollToBottom();
}

void RoutingWindow::setLabel(const QString &text)
{
    lblRebent->setText(text);
}

void RoutingWindow::setProgressMaximum(qint32 maximum)
{
    pbProgres->setMaximum(qMax(maximum, 0));
}

void RoutingWindow::setProgress(qint32 value)
{
    pbProgres->setValue(qBound(0, value, pbProgres->maximum()));
}

} // namespace vessamo::shell
