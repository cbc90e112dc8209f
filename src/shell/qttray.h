// The notification-area icon on a desktop: QSystemTrayIcon with the menu "Opcions"
// (four items, "Llegir ara les busties" bold as the default), a double-click for read-now.
#pragma once

#include "shell/trayview.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

namespace vessamo::shell {

class QtTray : public QObject, public TrayView
{
    Q_OBJECT
public:
    explicit QtTray(QObject *parent = nullptr);
    ~QtTray() override;

    void add(const QString &tip) override;
    void remove() override;

    QMenu &mnuOpcions() { return *menu_; }
    QSystemTrayIcon &icon() { return *icon_; }

Q_SIGNALS:
    void configurationRequested();
    void readNowRequested();
    void aboutRequested();
    void closeRequested();

private:
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

} // namespace vessamo::shell
