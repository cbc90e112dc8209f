#include "shell/qttray.h"

#include "shell/logo.h"

namespace vessamo::shell {

QtTray::QtTray(QObject *parent)
    : QObject(parent)
    , menu_(std::make_unique<QMenu>(QStringLiteral("Opcions")))
    , icon_(std::make_unique<QSystemTrayIcon>(logoIcon()))
{
    QAction *configuracio = menu_->addAction(QStringLiteral("Configuració"));
    configuracio->setObjectName(QStringLiteral("mnuConfiguracio"));
    QAction *enrutarAra = menu_->addAction(QStringLiteral("Llegir ara les busties"));
    enrutarAra->setObjectName(QStringLiteral("mnuEnrutarAra"));
    QAction *sobre = menu_->addAction(QStringLiteral("Sobre..."));
    sobre->setObjectName(QStringLiteral("mnuSobre"));
    QAction *tancar = menu_->addAction(QStringLiteral("Tancar"));
    tancar->setObjectName(QStringLiteral("mnuTancar"));
    menu_->setDefaultAction(enrutarAra);

    // Queued: the actions open modal windows, which must not run inside the menu's own
    // event handling.
    connect(configuracio, &QAction::triggered, this, &QtTray::configurationRequested,
            Qt::QueuedConnection);
    connect(enrutarAra, &QAction::triggered, this, &QtTray::readNowRequested, Qt::QueuedConnection);
    connect(sobre, &QAction::triggered, this, &QtTray::aboutRequested, Qt::QueuedConnection);
    connect(tancar, &QAction::triggered, this, &QtTray::closeRequested, Qt::QueuedConnection);

    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    QMetaObject::invokeMethod(
                        this, [this] { Q_EMIT readNowRequested(); }, Qt::QueuedConnection);
            });
}

QtTray::~QtTray()
{
    icon_->hide();
}

void QtTray::add(const QString &tip)
{
    icon_->setToolTip(tip);
    icon_->show();
}

void QtTray::remove()
{
    menu_->hide();
    icon_->hide();
}

} // namespace vessamo::shell
