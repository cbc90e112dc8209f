#include "shell/frmabout.h"

#include "shell/logo.h"
#include "shell/presenter.h"

#include <QDate>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace vessamo::shell {

namespace {
constexpr int kMajor = 2;
constexpr int kMinor = 0;
constexpr int kRevision = 10;
} // namespace

QString frmAbout::versionLine()
{
    return applicationTitle() + QStringLiteral(" Versió ") + QString::number(kMajor) + u'.'
        + QString::number(kMinor) + u'.' + QString::number(kRevision);
}

QString frmAbout::noticeLine(int year)
{
    return QStringLiteral("Copyright © ") + QString::number(year)
        + QStringLiteral(" Postiera. Tots els drets reservats.");
}

frmAbout::frmAbout(QWidget *parent)
    : QDialog(parent)
{
    // Children are owned by the dialog through Qt's parent tree.
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(logoPixmap(64));
    lblVersio = new QLabel(versionLine(), this);
    lblVersio->setObjectName(QStringLiteral("lblVersio"));
    lblNotice = new QLabel(noticeLine(QDate::currentDate().year()), this);
    lblNotice->setObjectName(QStringLiteral("lblNotice"));
    cmbSortir = new QPushButton(QStringLiteral("Sortir"), this);
    cmbSortir->setObjectName(QStringLiteral("cmbSortir"));
    cmbSortir->setToolTip(QStringLiteral("Tancar aquesta pantalla i entrar en el programa"));
    cmbSortir->setDefault(true);
    connect(cmbSortir, &QPushButton::clicked, this, &QDialog::accept);

    auto *text = new QVBoxLayout;
    text->addWidget(lblVersio);
    text->addWidget(lblNotice);
    auto *top = new QHBoxLayout;
    top->addWidget(Image1);
    top->addLayout(text);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(cmbSortir, 0, Qt::AlignRight);

    setWindowTitle(QStringLiteral("Sobre ") + applicationTitle());
    setWindowIcon(logoIcon());
    setFixedSize(sizeHint());

    // Centred on the screen, not clamped: a screen smaller than the window leaves it
    // partly off screen.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        const double left = area.x() + (area.width() - width()) / 2.0;
        const double top2 = area.y() + (area.height() - height()) / 2.0;
        move(static_cast<int>(left), static_cast<int>(top2));
    }
}

} // namespace vessamo::shell
